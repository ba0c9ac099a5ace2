// A document on the transcription desk. Opening the page claims the document for this
// session (another transcriber holding it is named, and it can be taken over); the
// dictation plays in the page with the desk's function keys, which work while typing;
// the dictation and the templates download; the typed document is sent as a file or
// typed here as text, and the patient/document name set; "Terminé" hands the document to
// its author's validation. Leaving the page lets the document go.
import { dureeWav } from '../caf.js';
import { el } from '../element.js';
import { creeLecteur } from '../player.js';
import { toWindows1252 } from '../upload.js';
import { confirme } from './document.js';
import { dateLisible } from './documents.js';

const VITESSES = [0.5, 0.75, 1, 1.25, 1.5, 1.75, 2];

// Texts typed in the page and not yet sent, by document, kept (in memory only) when the
// page goes: a session that expires, a click on the queue, come back to their box.
const brouillons = new Map();
const SAUT = 3;
const ACCEPTES = '.pdf,.doc,.rtf,.txt';
const GENRES = { audio: 'Dictée', template: 'Modèle', typed: 'Document tapé', other: 'Autre' };
const ORDRE = { audio: 0, other: 1, typed: 2, template: 3 };

// What a file of the family is, in the transcriber's words.
function genre(f) {
  if (f.kind === 'other' && /\.(caf|spx)$/i.test(f.name)) return 'Dictée (format d’origine)';
  return GENRES[f.kind] || GENRES.other;
}
const LIBELLES_TAPES = { pdf: 'PDF', doc: 'Word', rtf: 'RTF', txt: 'Texte' };

function taille(octets) {
  if (octets < 1024) return `${octets} o`;
  if (octets < 1024 * 1024) return `${(octets / 1024).toFixed(1).replace('.', ',')} Ko`;
  return `${(octets / 1024 / 1024).toFixed(1).replace('.', ',')} Mo`;
}

function extensionDe(nom) {
  return ((/\.([^.]+)$/.exec(nom) || ['', ''])[1]).toLowerCase();
}

// The characters of `texte` that windows-1252 cannot hold (the typed text is stored in
// it, as every text of the site), each once.
export function horsWindows1252(texte) {
  const retour = new TextDecoder('windows-1252').decode(toWindows1252(texte));
  const manquants = new Set();
  const a = [...texte];
  const b = [...retour];
  a.forEach((c, i) => { if (c !== b[i]) manquants.add(c); });
  return [...manquants];
}

// A text file's bytes as the site keeps them: a UTF-8 file (as today's editors write)
// with accents becomes windows-1252, so the author's page and the archive read it right.
// Returns {octets, converti}; a file that is not UTF-8 is taken as windows-1252 already.
export function texteWindows1252(octets) {
  let texte;
  try {
    texte = new TextDecoder('utf-8', { fatal: true, ignoreBOM: false }).decode(octets);
  } catch (e) {
    return { octets, converti: false };
  }
  const bom = octets.length >= 3 && octets[0] === 0xef && octets[1] === 0xbb && octets[2] === 0xbf;
  if (!bom && !/[^\x00-\x7f]/.test(texte)) return { octets, converti: false };
  const manquants = horsWindows1252(texte);
  if (manquants.length) {
    throw new Error(`Ce texte contient des caractères que le site ne peut pas enregistrer : ${manquants.join(' ')}`);
  }
  return { octets: toWindows1252(texte), converti: true };
}

function section(id, titre) {
  const h = el('h2', { id: `titre-${id}`, text: titre });
  return el('section', { class: 'carte', id: `section-${id}`, 'aria-labelledby': h.id }, h);
}

export async function render(main, params, app) {
  const { auteur, numero } = params;
  const api = app.api;
  // A desk page left while its close is still on the way: the queue waits for it.
  if (app.fermetureBureau) await app.fermetureBureau;
  const titre = el('h1', { text: `Document n° ${numero} de ${auteur}` });
  const retour = el('p', {}, el('a', { href: '#/bureau', text: '← File d’attente' }));
  main.append(retour, titre);

  let ouvert;
  try {
    ouvert = await app.occupe(api.ouvreBureau(auteur, numero), 'Ouverture du document…');
  } catch (e) {
    if (!(e instanceof api.ErreurGuichet) || (e.status !== 409 && e.status !== 404)) throw e;
    const message = el('p', { class: 'annonce-erreur', id: 'bureau-refus', role: 'alert', text: e.message });
    main.append(message);
    if (e.status === 409) {
      const reprendre = el('button', { type: 'button', id: 'reprendre', class: 'danger',
        text: 'Le reprendre quand même' });
      const aide = el('p', { class: 'aide', text: `${e.ouvertPar || 'Cette personne'} ne pourra plus y déposer de document ni le terminer. Ne le reprenez que s’il a été oublié ouvert.` });
      reprendre.addEventListener('click', async () => {
        reprendre.disabled = true;
        try {
          await app.occupe(api.ouvreBureau(auteur, numero, true), 'Ouverture du document…');
          app.annoncer(`Vous avez repris le document n° ${numero}.`, 'info');
          app.aller(location.hash);
        } catch (err) {
          reprendre.disabled = false;
          app.echec(err);
        }
      });
      main.append(aide, el('div', { class: 'actions' }, reprendre));
    }
    return;
  }

  // Held from here: leaving the page (another route, the tab closed) lets it go.
  let tenu = true;
  let lecteur = null;
  const lache = () => {
    if (!tenu) return;
    tenu = false;
    const enCours = api.fermeBureau(auteur, numero).catch(() => {});
    app.fermetureBureau = enCours;
    enCours.then(() => { if (app.fermetureBureau === enCours) app.fermetureBureau = null; });
  };
  const fermeture = () => {
    if (tenu) api.fermeBureau(auteur, numero, true).catch(() => {});
    tenu = false;
  };
  // A page the browser kept and shows again (back button) claims the document afresh.
  const revient = (e) => {
    if (e.persisted) app.aller(location.hash);
  };
  // A text typed and not sent: kept when the view goes, asked about when the tab closes.
  let texteDepose = '';
  let texte = null;
  const nonDepose = () => texte && texte.value.trim() !== '' && texte.value !== texteDepose;
  const avertit = (e) => {
    if (tenu && nonDepose()) {
      e.preventDefault();
      e.returnValue = '';
    }
  };
  window.addEventListener('pagehide', fermeture);
  window.addEventListener('pageshow', revient);
  window.addEventListener('beforeunload', avertit);
  app.enQuittant(() => {
    window.removeEventListener('pagehide', fermeture);
    window.removeEventListener('pageshow', revient);
    window.removeEventListener('beforeunload', avertit);
    if (tenu && nonDepose()) brouillons.set(`${auteur}/${numero}`, texte.value);
    if (lecteur) lecteur.detruit();
    lache();
  });

  const d = ouvert.document;
  let fichiers = ouvert.files || [];
  let nomEnregistre = d.name || '';
  if (d.name) titre.textContent = `Document n° ${numero} de ${auteur} — ${d.name}`;

  // ---- the card
  const fiche = el('dl', { class: 'fiche' });
  const ajoute = (terme, valeur) => {
    fiche.append(el('dt', { text: terme }), el('dd', {}, valeur));
  };
  ajoute('Auteur', auteur);
  ajoute('Type', d.label || d.type || 'Non précisé');
  ajoute('Dictée du', dateLisible(d.date));
  if (d.urgent) ajoute('Urgence', el('span', { class: 'urgent', text: 'Urgent' }));
  const carte = el('section', { class: 'carte', 'aria-label': 'Fiche du document' }, fiche);

  // ---- the dictation
  const sDictee = section('dictee', 'Dictée');

  // ---- the files
  const sFichiers = section('fichiers', 'Fichiers à télécharger');
  const listeFichiers = el('ul', { class: 'liste-pieces', id: 'fichiers-bureau' });
  sFichiers.append(listeFichiers);
  const montreFichiers = () => {
    const tries = [...fichiers].sort((x, y) => (ORDRE[x.kind] ?? 4) - (ORDRE[y.kind] ?? 4)
      || x.name.localeCompare(y.name));
    listeFichiers.replaceChildren(...tries.map((f) => {
      const a = el('a', { href: api.urlBureau(auteur, numero, f.name), download: f.name, text: f.name });
      a.dataset.genre = f.kind;
      return el('li', {}, a, ` — ${genre(f)}, ${taille(f.size)}`);
    }));
  };

  // ---- the name
  const sNom = section('nom', 'Patient / document');
  const champNom = el('input', { type: 'text', id: 'nom-bureau', maxlength: '200',
    autocomplete: 'off', spellcheck: 'false', value: nomEnregistre });
  const etiquetteNom = el('label', { for: 'nom-bureau', text: 'Nom du patient ou du document' });
  const enregistrer = el('button', { type: 'submit', id: 'enregistrer-nom', text: 'Enregistrer le nom' });
  const messageNom = el('p', { id: 'message-nom', class: 'message', role: 'status' });
  const formNom = el('form', { class: 'ligne-formulaire' },
    el('div', { class: 'champ' }, etiquetteNom, champNom), enregistrer);
  sNom.append(formNom, messageNom);
  const dis = (zone, texte, genre = 'info') => {
    zone.textContent = texte;
    zone.className = `message annonce-${genre}`;
    zone.setAttribute('role', genre === 'erreur' ? 'alert' : 'status');
  };
  const enregistreNom = async () => {
    const nom = champNom.value.trim();
    const manquants = horsWindows1252(nom);
    if (manquants.length) {
      throw new api.ErreurGuichet(`Le nom contient des caractères que le site ne peut pas enregistrer : ${manquants.join(' ')}`);
    }
    await app.occupe(api.nommeBureau(auteur, numero, nom), 'Enregistrement du nom…');
    nomEnregistre = nom;
    champNom.value = nom;
    titre.textContent = `Document n° ${numero} de ${auteur}${nom ? ` — ${nom}` : ''}`;
  };
  formNom.addEventListener('submit', async (e) => {
    e.preventDefault();
    enregistrer.disabled = true;
    try {
      await enregistreNom();
      dis(messageNom, champNom.value ? `Nom enregistré : ${champNom.value}` : 'Nom effacé.', 'succes');
    } catch (err) {
      if (err instanceof api.SessionExpiree) app.sessionTerminee();
      else dis(messageNom, err.message, 'erreur');
    } finally {
      enregistrer.disabled = false;
    }
  });

  // ---- the typed document
  const sTape = section('tape', 'Document tapé');
  const deja = el('p', { id: 'deja-tape', class: 'aide' });
  const montreTapes = () => {
    const tapes = fichiers.filter((f) => f.kind === 'typed');
    deja.textContent = tapes.length
      ? `Déjà déposé : ${tapes.map((f) => `${f.name} (${taille(f.size)})`).join(', ')}. Un nouvel envoi du même type le remplace.`
      : 'Aucun document tapé n’est encore déposé.';
  };
  const champFichier = el('input', { type: 'file', id: 'fichier-tape', accept: ACCEPTES });
  const etiquetteFichier = el('label', { for: 'fichier-tape', text: 'Fichier (.pdf, .doc, .rtf ou .txt, 50 Mo au plus)' });
  const deposer = el('button', { type: 'submit', id: 'deposer', text: 'Déposer le fichier' });
  const formFichier = el('form', { class: 'ligne-formulaire' },
    el('div', { class: 'champ' }, etiquetteFichier, champFichier), deposer);
  const etiquetteTexte = el('label', { for: 'texte-tape', text: 'Ou tapez le texte ici (enregistré en .txt)' });
  texte = el('textarea', { id: 'texte-tape', rows: '6', spellcheck: 'true', lang: 'fr' });
  const deposerTexte = el('button', { type: 'submit', id: 'deposer-texte', text: 'Déposer ce texte' });
  const formTexte = el('form', { class: 'formulaire-texte' },
    el('div', { class: 'champ' }, etiquetteTexte, texte), deposerTexte);
  const etiquetteProgression = el('label', { for: 'progression-depot', class: 'sr-only', text: 'Progression de l’envoi' });
  const progression = el('progress', { id: 'progression-depot', max: '1', value: '0', hidden: true });
  const messageDepot = el('p', { id: 'message-depot', class: 'message', role: 'status' });
  sTape.append(deja, formFichier, formTexte, etiquetteProgression, progression, messageDepot);

  const envoie = async (extension, corps, quoi) => {
    deposer.disabled = true;
    deposerTexte.disabled = true;
    progression.hidden = false;
    progression.value = 0;
    dis(messageDepot, `Envoi ${quoi}…`);
    try {
      await api.deposeBureau(auteur, numero, extension, corps, (envoye, total) => {
        progression.value = total ? envoye / total : 0;
      });
      progression.value = 1;
      // The family as it is now (and the document still ours).
      const relu = await app.occupe(api.ouvreBureau(auteur, numero), 'Vérification…');
      fichiers = relu.files || [];
      montreFichiers();
      montreTapes();
      app.annoncer('');  // an earlier refusal of "Terminé" no longer holds
      return true;
    } catch (err) {
      if (err instanceof api.SessionExpiree) app.sessionTerminee();
      else dis(messageDepot, err.message, 'erreur');
      return false;
    } finally {
      deposer.disabled = false;
      deposerTexte.disabled = false;
    }
  };

  formFichier.addEventListener('submit', async (e) => {
    e.preventDefault();
    const fichier = champFichier.files[0];
    if (!fichier) {
      dis(messageDepot, 'Choisissez d’abord le fichier du document tapé.', 'erreur');
      champFichier.focus();
      return;
    }
    const extension = extensionDe(fichier.name);
    if (!api.EXTENSIONS_TAPEES.includes(extension)) {
      dis(messageDepot, `« ${fichier.name} » n’est pas accepté : seuls les fichiers .pdf, .doc, .rtf et .txt le sont.`, 'erreur');
      return;
    }
    if (fichier.size > api.TAILLE_TAPEE_MAX) {
      dis(messageDepot, `« ${fichier.name} » est trop volumineux (${taille(fichier.size)}, 50 Mo au plus).`, 'erreur');
      return;
    }
    let corps = fichier;
    let converti = false;
    if (extension === 'txt') {
      try {
        ({ octets: corps, converti } = texteWindows1252(new Uint8Array(await fichier.arrayBuffer())));
      } catch (err) {
        dis(messageDepot, err.message, 'erreur');
        return;
      }
    }
    if (await envoie(extension, corps, `de « ${fichier.name} »`)) {
      dis(messageDepot, `« ${fichier.name} » est déposé (${LIBELLES_TAPES[extension]}, ${taille(fichier.size)})`
        + (converti ? ', converti en Windows-1252 pour le site.' : '.'), 'succes');
      champFichier.value = '';
    }
  });

  formTexte.addEventListener('submit', async (e) => {
    e.preventDefault();
    if (!texte.value.trim()) {
      dis(messageDepot, 'Le texte est vide.', 'erreur');
      texte.focus();
      return;
    }
    const manquants = horsWindows1252(texte.value);
    if (manquants.length) {
      dis(messageDepot, `Ce texte contient des caractères que le site ne peut pas enregistrer : ${manquants.join(' ')}`, 'erreur');
      return;
    }
    // Windows line ends, as the site's other texts.
    const envoye = texte.value;
    const octets = toWindows1252(envoye.replace(/\r\n|\r|\n/g, '\r\n'));
    if (await envoie('txt', octets, 'du texte')) {
      texteDepose = envoye;
      dis(messageDepot, `Texte déposé (${taille(octets.length)}).`, 'succes');
    }
  });

  // ---- done
  const sFin = section('fin', 'Terminer');
  const termine = el('button', { type: 'button', id: 'termine', class: 'principal', text: 'Terminé' });
  sFin.append(el('p', { class: 'aide', text: `Envoie le document à la validation de ${auteur}. Déposez d’abord le document tapé.` }),
    el('div', { class: 'actions' }, termine));
  termine.addEventListener('click', async () => {
    const ok = await confirme(main, `Terminer le document n° ${numero}`,
      `Le document part à la validation de ${auteur} ; vous ne pourrez plus le modifier ici.`,
      'Terminé', 'principal');
    if (!ok) return;
    termine.disabled = true;
    try {
      // A name typed but not saved goes with the document.
      if (champNom.value.trim() !== nomEnregistre) await enregistreNom();
      await app.occupe(api.termineBureau(auteur, numero), 'Envoi à la validation…');
      tenu = false;  // the front end let it go with the move
      app.annoncer(`Document n° ${numero} terminé : il est parti à la validation de ${auteur}.`, 'succes');
      app.aller('#/bureau');
    } catch (err) {
      termine.disabled = false;
      app.echec(err);
      termine.focus();
    }
  });

  // Two columns on a wide screen: what is heard on the left (kept in sight), what is typed
  // on the right, in the order of the work, which is also the order of one column.
  main.append(carte, el('div', { class: 'colonnes-bureau' },
    el('div', { class: 'colonne' }, sDictee, sFichiers),
    el('div', { class: 'colonne' }, sNom, sTape, sFin)));
  montreFichiers();
  montreTapes();

  // A text left unsent here comes back; else the one sent earlier, to go on with it.
  const cle = `${auteur}/${numero}`;
  if (brouillons.has(cle)) {
    texte.value = brouillons.get(cle);
    brouillons.delete(cle);
    dis(messageDepot, 'Le texte que vous n’aviez pas déposé est remis dans la zone de saisie.');
  }
  const travaux = [];
  const audio = fichiers.find((f) => f.kind === 'audio');
  if (audio) {
    const etat = el('p', { class: 'aide', text: 'Chargement de la dictée…' });
    sDictee.append(etat);
    travaux.push((async () => {
      try {
        const wav = await (await api.fichierBureau(auteur, numero, audio.name)).arrayBuffer();
        const duree = dureeWav(wav);
        etat.remove();
        if (!tenu) return;
        lecteur = creeLecteur(sDictee, wav, duree, { vitesses: VITESSES, saut: SAUT, touchesF: true });
      } catch (e) {
        if (e instanceof api.SessionExpiree) throw e;
        etat.textContent = `La dictée ne peut pas être lue : ${e.message}`;
        etat.className = 'annonce-erreur';
      }
    })());
  } else {
    sDictee.append(el('p', { class: 'vide', text: 'Aucune dictée WAV n’est jointe à ce document.' }));
  }
  const txt = fichiers.find((f) => f.kind === 'typed' && extensionDe(f.name) === 'txt');
  if (txt) {
    travaux.push(api.fichierBureau(auteur, numero, txt.name)
      .then((r) => r.arrayBuffer())
      .then((b) => {
        texteDepose = api.decode1252(b).replace(/\r\n/g, '\n');
        if (!texte.value) texte.value = texteDepose;
      })
      .catch((e) => { if (e instanceof api.SessionExpiree) throw e; }));
  }
  await app.occupe(Promise.all(travaux), 'Chargement de la dictée…');
}
