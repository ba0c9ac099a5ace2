// A document: where it is, and for a document waiting for validation its dictation (played
// in the page), its transcription, its attachments and the author's three decisions.
// Showing it costs two Guichet requests ("stages" for the document, "attachments" for
// its files) and one of the front end's own (/typed: the typed .doc or .rtf, which
// "attachments" never lists). Each decision asks for confirmation, makes sure the
// document still waits for validation, sends the command and reads back where the
// document went.
import { cafVersWav } from '../caf.js';
import { creeLecteur } from '../player.js';
import { dateLisible, pastilleEtape } from './documents.js';

const DECISIONS = {
  valider: {
    commande: 'finished', bouton: 'Valider', classe: 'principal', attendue: 'Publications',
    question: 'Valider ce document ? Il sera publié puis archivé dans le dossier du patient.',
    fait: 'Document validé : il est publié.',
  },
  renvoyer: {
    commande: 'invalidated', bouton: 'Renvoyer en transcription', classe: '', attendue: 'Transcriptions',
    question: 'Renvoyer ce document en transcription ? Il ne sera plus à valider tant qu’il n’aura pas été repris.',
    fait: 'Document renvoyé : il est de nouveau en transcription.',
  },
  supprimer: {
    commande: 'cancelled', bouton: 'Supprimer', classe: 'danger', attendue: 'RecycleBin',
    question: 'Supprimer ce document ? Il sera placé dans la corbeille.',
    fait: 'Document supprimé : il est dans la corbeille.',
  },
};

const EXPLICATIONS = {
  ToMove: 'La dictée est reçue ; elle part en transcription dans quelques secondes.',
  Transcriptions: 'La dictée est en cours de transcription. Vous pourrez la valider ensuite.',
  Validations: '',
  Publications: 'Le document est validé et publié ; il rejoindra les archives du patient.',
  RecycleBin: 'Le document a été supprimé (corbeille).',
};

function el(nom, classe, texte) {
  const e = document.createElement(nom);
  if (classe) e.className = classe;
  if (texte !== undefined) e.textContent = texte;
  return e;
}

function taille(octets) {
  if (octets < 1024) return `${octets} o`;
  if (octets < 1024 * 1024) return `${(octets / 1024).toFixed(1).replace('.', ',')} Ko`;
  return `${(octets / 1024 / 1024).toFixed(1).replace('.', ',')} Mo`;
}

// A file's name as the author knows it: no "[20]" for spaces.
function nomLisible(nom) {
  return nom.replace(/\[([0-9a-f]{2})\]/gi, (m, h) => String.fromCharCode(parseInt(h, 16)));
}

// The modal confirmation of the WAI-ARIA dialog pattern: resolves true or false.
export function confirme(main, titre, question, bouton, classe) {
  return new Promise((resoudre) => {
    const dialog = el('dialog');
    dialog.id = 'confirmation';
    dialog.setAttribute('aria-labelledby', 'confirmation-titre');
    dialog.setAttribute('aria-describedby', 'confirmation-texte');
    const h = el('h2', '', titre);
    h.id = 'confirmation-titre';
    const p = el('p', '', question);
    p.id = 'confirmation-texte';
    const actions = el('div', 'actions');
    const non = el('button', '', 'Annuler');
    non.type = 'button';
    non.id = 'confirmation-non';
    const oui = el('button', classe, bouton);
    oui.type = 'button';
    oui.id = 'confirmation-oui';
    actions.append(non, oui);
    dialog.append(h, p, actions);
    main.append(dialog);
    const ferme = (reponse) => {
      dialog.close();
      dialog.remove();
      resoudre(reponse);
    };
    non.addEventListener('click', () => ferme(false));
    oui.addEventListener('click', () => ferme(true));
    dialog.addEventListener('cancel', (e) => { e.preventDefault(); ferme(false); });
    dialog.showModal();
    non.focus();
  });
}

function fiche(d) {
  const dl = el('dl', 'fiche');
  const ajoute = (terme, valeur) => {
    dl.append(el('dt', '', terme));
    const dd = el('dd');
    if (typeof valeur === 'string') dd.textContent = valeur;
    else dd.append(valeur);
    dl.append(dd);
  };
  ajoute('Patient / document', d.nom || 'Sans nom');
  ajoute('Type', d.libelle || 'Non précisé');
  ajoute('Dictée du', dateLisible(d.date));
  const etape = el('span');
  etape.id = 'etape';
  etape.dataset.etape = d.etape;
  etape.append(pastilleEtape(d));
  ajoute('Étape', etape);
  if (d.urgent) ajoute('Urgence', el('span', 'urgent', 'Urgent'));
  return dl;
}

let lecteurCourant = null;

function arreteLecteur() {
  if (lecteurCourant) lecteurCourant.detruit();
  lecteurCourant = null;
}

async function lecteur(section, piece, app) {
  const etat = el('p', 'aide', 'Chargement de la dictée…');
  section.append(etat);
  try {
    const reponse = await app.api.fichier(piece.chemin);
    const { wav, duree } = cafVersWav(await reponse.arrayBuffer());
    etat.remove();
    if (!section.isConnected) return;
    arreteLecteur();
    lecteurCourant = creeLecteur(section, wav, duree);
    app.enQuittant(arreteLecteur);
  } catch (e) {
    if (e instanceof app.api.SessionExpiree) throw e;
    etat.textContent = `La dictée ne peut pas être lue : ${e.message}`;
    etat.className = 'annonce-erreur';
  }
}

// `tapes`: the typed documents of /typed, where a .doc or .rtf comes from ("attachments"
// never lists them).
async function transcription(section, pieces, tapes, numero, app) {
  const texte = pieces.find((p) => p.extension === 'txt');
  const pdf = pieces.find((p) => p.extension === 'pdf');
  const traitement = tapes.filter((p) => p.extension === 'doc' || p.extension === 'rtf');
  if (!texte && !pdf && traitement.length === 0) {
    section.append(el('p', 'vide', 'Aucune transcription n’est jointe à ce document.'));
    return;
  }
  if (texte) {
    const pre = el('pre', 'transcription-texte');
    pre.id = 'transcription';
    pre.tabIndex = 0;
    pre.setAttribute('aria-label', 'Texte de la transcription');
    section.append(pre);
    try {
      const reponse = await app.api.fichier(texte.chemin);
      pre.textContent = app.api.decode1252(await reponse.arrayBuffer());
    } catch (e) {
      if (e instanceof app.api.SessionExpiree) throw e;
      pre.textContent = `Le texte ne peut pas être lu : ${e.message}`;
    }
  }
  if (pdf) {
    const cadre = el('iframe', 'transcription-pdf');
    cadre.src = app.api.urlFichier(pdf.chemin);
    cadre.title = 'Transcription (PDF)';
    section.append(cadre);
    const lien = el('a', '', 'Ouvrir le PDF dans un nouvel onglet');
    lien.href = app.api.urlFichier(pdf.chemin);
    lien.target = '_blank';
    lien.rel = 'noopener';
    const para = el('p');
    para.append(lien);
    section.append(para);
  }
  for (const p of traitement) {
    const lien = el('a', 'bouton', `Télécharger la transcription (${p.extension.toUpperCase()})`);
    lien.href = app.api.urlTape(numero, p.extension);
    lien.id = `transcription-${p.extension}`;
    lien.download = p.nom;
    const para = el('p');
    para.append(lien);
    section.append(para);
  }
}

function listePieces(pieces, app) {
  const ul = el('ul', 'liste-pieces');
  ul.id = 'pieces';
  for (const p of pieces) {
    const li = el('li');
    const a = el('a', '', nomLisible(p.nom));
    a.href = app.api.urlFichier(p.chemin);
    if (!['txt', 'pdf', 'png', 'jpg', 'bmp'].includes(p.extension)) a.download = nomLisible(p.nom);
    li.append(a, ` (${taille(p.taille)})`);
    ul.append(li);
  }
  return ul;
}

// Where the document is now: its rows in "stages" (none when it is nowhere).
async function ouEst(app, numero) {
  return app.occupe(app.api.documents(numero), 'Vérification…');
}

async function decide(main, numero, cle, app, boutons) {
  const decision = DECISIONS[cle];
  const ok = await confirme(main, `${decision.bouton} le document n° ${numero}`, decision.question,
    decision.bouton, decision.classe);
  if (!ok) return;
  boutons.forEach((b) => { b.disabled = true; });
  try {
    // The document must still wait for validation: a decision on a document that left
    // (decided elsewhere, taken back by the transcription) would act on nothing.
    const avant = await ouEst(app, numero);
    if (!avant.some((d) => d.etape === 'Validations')) {
      app.annoncer(avant.length === 0
        ? `Le document n° ${numero} est introuvable : il a été déplacé ou supprimé entre-temps. Rien n’a été fait.`
        : `Le document n° ${numero} n’est plus à valider (${avant[0].libelleEtape.toLowerCase()}). Rien n’a été fait.`,
      'erreur');
      await dessine(main, numero, app, avant);
      main.querySelector('h1').tabIndex = -1;
      main.querySelector('h1').focus();
      return;
    }
    await app.occupe(app.api.commande(decision.commande, '', numero), 'Envoi…');
    const apres = await ouEst(app, numero);
    if (apres.some((d) => d.etape === decision.attendue) && !apres.some((d) => d.etape === 'Validations')) {
      app.annoncer(`N° ${numero} : ${decision.fait}`, 'succes');
    } else if (apres.length === 0) {
      app.annoncer(`Le document n° ${numero} est introuvable après l’envoi : vérifiez la liste de vos documents.`, 'erreur');
    } else {
      const ou = [...new Set(apres.map((d) => d.libelleEtape.toLowerCase()))].join(' et ');
      app.annoncer(`Le document n° ${numero} n’est pas arrivé où il devait : il est ${ou}. Réessayez ou prévenez le secrétariat.`, 'erreur');
    }
    await dessine(main, numero, app, apres);
    const titre = main.querySelector('h1');
    titre.tabIndex = -1;
    titre.focus();
  } catch (e) {
    boutons.forEach((b) => { b.disabled = false; });
    throw e;
  }
}

// Draws the view; `lignes`, when given, are the document's rows just read.
async function dessine(main, numero, app, lignes) {
  const rows = lignes || await app.occupe(app.api.documents(numero));
  arreteLecteur();
  const titre = el('h1', '', `Document n° ${numero}`);
  const retour = el('a', '', '← Mes documents');
  retour.href = '#/documents';
  const cadre = [el('p', '', ''), titre];
  cadre[0].append(retour);
  if (rows.length === 0) {
    const manque = el('p', 'annonce-erreur', 'Ce document est introuvable : il a peut-être été supprimé, publié et archivé, ou son numéro est erroné.');
    manque.id = 'introuvable';
    main.replaceChildren(...cadre, manque);
    return;
  }
  const d = rows.find((r) => r.etape === 'Validations') || rows[0];
  if (d.nom) titre.textContent = `Document n° ${numero} — ${d.nom}`;
  const carte = el('section', 'carte');
  carte.setAttribute('aria-label', 'Fiche du document');
  carte.append(fiche(d));
  if (rows.length > 1) {
    carte.append(el('p', 'annonce-erreur', `Ce document se trouve à deux endroits à la fois (${rows.map((r) => r.libelleEtape.toLowerCase()).join(', ')}) : un déplacement est en cours ou s’est arrêté.`));
  }
  if (EXPLICATIONS[d.etape]) carte.append(el('p', 'aide', EXPLICATIONS[d.etape]));
  main.replaceChildren(...cadre, carte);
  if (d.etape !== 'Validations') return;

  // The typed .doc/.rtf come from the front end's own list; a failure there leaves the
  // rest of the view as it is.
  const [pieces, tapes] = await app.occupe(Promise.all([app.api.pieces(numero),
    app.api.tapes(numero).catch((e) => {
      if (e instanceof app.api.SessionExpiree) throw e;
      return [];
    })]));
  if (pieces.length === 0) {
    main.append(el('p', 'annonce-erreur', 'Les fichiers de ce document ne sont plus disponibles : il vient peut-être de changer d’étape. Actualisez la page.'));
    return;
  }
  const sDictee = el('section', 'carte');
  sDictee.setAttribute('aria-labelledby', 'titre-dictee');
  const hDictee = el('h2', '', 'Dictée');
  hDictee.id = 'titre-dictee';
  sDictee.append(hDictee);
  const sTexte = el('section', 'carte');
  sTexte.setAttribute('aria-labelledby', 'titre-transcription');
  const hTexte = el('h2', '', 'Transcription');
  hTexte.id = 'titre-transcription';
  sTexte.append(hTexte);
  const sActions = el('section', 'carte');
  sActions.setAttribute('aria-labelledby', 'titre-decision');
  const hActions = el('h2', '', 'Décision');
  hActions.id = 'titre-decision';
  const actions = el('div', 'actions');
  const boutons = [];
  for (const [cle, decision] of Object.entries(DECISIONS)) {
    const b = el('button', decision.classe, decision.bouton);
    b.type = 'button';
    b.id = `action-${cle}`;
    b.addEventListener('click', () => decide(main, numero, cle, app, boutons).catch(app.echec));
    boutons.push(b);
    actions.append(b);
  }
  sActions.append(hActions, actions);
  const sPieces = el('section', 'carte');
  sPieces.setAttribute('aria-labelledby', 'titre-pieces');
  const hPieces = el('h2', '', 'Pièces jointes');
  hPieces.id = 'titre-pieces';
  const archives = el('a', '', 'Voir le dossier du patient (archives)');
  archives.href = `#/archives/${encodeURIComponent(numero)}`;
  sPieces.append(hPieces, listePieces(pieces, app), el('p'));
  sPieces.lastChild.append(archives);
  main.append(sDictee, sTexte, sActions, sPieces);

  const caf = pieces.find((p) => p.extension === 'caf');
  const travaux = [transcription(sTexte, pieces, tapes, numero, app)];
  if (caf) travaux.push(lecteur(sDictee, caf, app));
  else sDictee.append(el('p', 'vide', 'Aucune dictée n’est jointe à ce document.'));
  await app.occupe(Promise.all(travaux), 'Chargement de la dictée…');
}

export async function render(main, params, app) {
  await dessine(main, params.numero, app);
}
