// My documents: every document of the author and its stage, newest first, from one
// "stages" request. Today's documents to validate stand out; a filter narrows the list.

const FILTRES = [
  { id: 'tous', libelle: 'Tous', garde: () => true },
  { id: 'valider', libelle: 'À valider', garde: (d) => d.etape === 'Validations' },
  { id: 'cours', libelle: 'En cours', garde: (d) => d.etape === 'ToMove' || d.etape === 'Transcriptions' },
  { id: 'publies', libelle: 'Publiés', garde: (d) => d.etape === 'Publications' },
  { id: 'supprimes', libelle: 'Supprimés', garde: (d) => d.etape === 'RecycleBin' },
];

export function aujourdhui() {
  const d = new Date();
  return `${d.getFullYear()}-${String(d.getMonth() + 1).padStart(2, '0')}-${String(d.getDate()).padStart(2, '0')}`;
}

// "2026-12-09 14:05" -> "09/12/2026 à 14:05"
export function dateLisible(texte) {
  const m = /^(\d{4})-(\d{2})-(\d{2})(?: (\d{2}:\d{2}))?/.exec(texte || '');
  if (!m) return texte || '';
  return `${m[3]}/${m[2]}/${m[1]}${m[4] ? ` à ${m[4]}` : ''}`;
}

function el(nom, classe, texte) {
  const e = document.createElement(nom);
  if (classe) e.className = classe;
  if (texte !== undefined) e.textContent = texte;
  return e;
}

export function pastilleEtape(d) {
  const p = el('span', `pastille pastille-${d.etape}`, d.libelleEtape);
  return p;
}

function ligne(d, jour) {
  const li = document.createElement('li');
  const a = el('a', 'document');
  a.href = `#/document/${encodeURIComponent(d.numero)}`;
  a.id = `document-${d.numero}`;
  a.dataset.etape = d.etape;
  const duJour = d.etape === 'Validations' && d.date.startsWith(jour);
  if (duJour) a.classList.add('aujourdhui');

  a.append(el('span', 'numero', `n° ${d.numero}`));
  const nom = el('span', 'nom', d.nom || 'Sans nom');
  if (d.urgent) {
    const urgent = el('span', 'urgent', ' — Urgent');
    nom.append(urgent);
  }
  a.append(nom);
  const etape = el('span', 'etape');
  etape.append(pastilleEtape(d));
  a.append(etape);
  const details = [d.libelle || 'Type non précisé', dateLisible(d.date)];
  if (duJour) details.push('à valider aujourd’hui');
  a.append(el('span', 'details', details.join(' · ')));
  li.append(a);
  return li;
}

export async function render(main, params, app) {
  const titre = el('h1', '', 'Mes documents');
  main.append(titre);

  const documents = await app.occupe(app.api.documents());
  const jour = aujourdhui();
  const aValider = documents.filter((d) => d.etape === 'Validations');
  const duJour = aValider.filter((d) => d.date.startsWith(jour));

  const resume = el('p', 'resume');
  resume.id = 'resume';
  resume.textContent = documents.length === 0
    ? 'Vous n’avez aucun document en cours.'
    : `${documents.length} document${documents.length > 1 ? 's' : ''}, dont ${aValider.length} à valider`
      + (duJour.length ? ` (${duJour.length} d’aujourd’hui).` : '.');

  const barre = el('div', 'filtres');
  barre.setAttribute('role', 'group');
  barre.setAttribute('aria-label', 'Afficher');
  const liste = el('ul', 'liste-documents');
  liste.id = 'liste-documents';
  liste.setAttribute('aria-label', 'Documents');
  const vide = el('p', 'vide');

  const montre = (filtre) => {
    for (const b of barre.querySelectorAll('button')) {
      b.setAttribute('aria-pressed', String(b.dataset.filtre === filtre.id));
    }
    const choisis = documents.filter(filtre.garde);
    liste.replaceChildren(...choisis.map((d) => ligne(d, jour)));
    vide.textContent = choisis.length ? '' : 'Aucun document ici.';
    vide.hidden = choisis.length > 0;
  };
  for (const filtre of FILTRES) {
    const n = documents.filter(filtre.garde).length;
    const b = el('button', '', `${filtre.libelle} (${n})`);
    b.type = 'button';
    b.dataset.filtre = filtre.id;
    b.addEventListener('click', () => montre(filtre));
    barre.append(b);
  }
  const actualiser = el('button', '', 'Actualiser');
  actualiser.type = 'button';
  actualiser.id = 'actualiser';
  actualiser.addEventListener('click', () => app.aller('#/documents'));

  const haut = el('div', 'actions');
  haut.append(actualiser);
  const dicter = el('a', 'bouton', 'Dicter un document');
  dicter.href = '#/dicter';
  haut.append(dicter);

  main.append(resume, haut, barre, liste, vide);
  montre(FILTRES[0]);
}
