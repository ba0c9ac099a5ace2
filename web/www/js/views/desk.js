// The transcription desk's queue: every document waiting for transcription, of every
// author, urgent first then oldest first, with who has it open, so that two transcribers
// never type the same one. One front-end request (GET /desk/queue); the table is read
// again by its button and, gently, every 20 s while the page is visible.
import { el } from '../element.js';
import { dateLisible } from './documents.js';

const PERIODE = 20000;

const TYPES_LISIBLES = { pdf: 'PDF', doc: 'Word', rtf: 'RTF', txt: 'Texte' };

// The link to a document on the desk.
export function lienBureau(auteur, numero) {
  return `#/bureau/${encodeURIComponent(auteur)}/${encodeURIComponent(numero)}`;
}

function heure(d) {
  return [d.getHours(), d.getMinutes(), d.getSeconds()].map((n) => String(n).padStart(2, '0')).join(':');
}

function ligne(d) {
  const id = `${d.author}-${d.number}`;
  const tr = el('tr', { id: `bureau-${id}`, class: d.urgent ? 'urgent-ligne' : '' });
  tr.dataset.auteur = d.author;
  tr.dataset.numero = d.number;
  const urgent = el('td', { class: 'marque-urgent' });
  if (d.urgent) urgent.append(el('span', { class: 'urgent', text: 'Urgent' }));
  const nom = el('td', { class: 'nom', text: d.name || 'Sans nom' });
  if (!d.name) nom.classList.add('vide');
  const ouvert = el('td', { class: 'ouvert-par' });
  if (d.open_by_me) ouvert.append(el('span', { class: 'pastille pastille-moi', text: 'Vous' }));
  else if (d.open_by) ouvert.append(el('span', { class: 'pastille pastille-occupe', text: d.open_by }));
  else ouvert.append(el('span', { class: 'vide', text: 'Personne' }));
  const typed = (d.typed || []).map((t) => TYPES_LISIBLES[t] || t.toUpperCase()).join(', ');
  const action = el('a', {
    class: 'bouton', id: `ouvrir-${id}`, href: lienBureau(d.author, d.number),
    text: d.open_by && !d.open_by_me ? 'Voir' : 'Ouvrir',
    'aria-label': `Ouvrir le document n° ${d.number} de ${d.author}${d.name ? ` (${d.name})` : ''}`,
  });
  tr.append(
    urgent,
    el('td', { class: 'nombre', text: d.number }),
    el('td', { text: d.author }),
    el('td', { class: 'date', text: dateLisible(d.date) }),
    el('td', { text: d.label || d.type || 'Non précisé' }),
    nom,
    ouvert,
    el('td', { class: 'tape', text: typed || '—' }),
    el('td', {}, action),
  );
  return tr;
}

export async function render(main, params, app) {
  // A document just left is let go first, so the table does not show it still open.
  if (app.fermetureBureau) await app.fermetureBureau;
  main.append(el('h1', { text: 'Bureau de transcription' }));
  const resume = el('p', { class: 'resume', id: 'resume-bureau' });
  const actualiser = el('button', { type: 'button', id: 'actualiser-bureau', text: 'Actualiser' });
  const majour = el('span', { class: 'aide', id: 'mise-a-jour', 'aria-live': 'off' });
  const haut = el('div', { class: 'actions' }, actualiser, majour);
  const table = el('table', { class: 'archives file-bureau', id: 'file-bureau' });
  table.append(el('caption', { text: 'Documents à transcrire, les urgents d’abord puis les plus anciens' }));
  table.append(el('thead', {}, el('tr', {}, ...['Urgence', 'N°', 'Auteur', 'Dictée du', 'Type',
    'Patient / document', 'Ouvert par', 'Tapé', 'Action'].map((h) => el('th', { scope: 'col', text: h })))));
  const corps = el('tbody');
  table.append(corps);
  const cadre = el('div', { class: 'tableau' }, table);
  const vide = el('p', { class: 'vide', id: 'file-vide', text: 'Aucun document à transcrire pour le moment.' });
  main.append(resume, haut, cadre, vide);

  let enCours = false;
  // Reads the queue and redraws the table; focus on a row's link stays on that row's link.
  const lis = async (discret) => {
    if (enCours) return;
    enCours = true;
    try {
      const attente = app.api.fileBureau();
      const docs = discret ? await attente : await app.occupe(attente);
      const focus = document.activeElement && corps.contains(document.activeElement)
        ? document.activeElement.id : null;
      corps.replaceChildren(...docs.map(ligne));
      cadre.hidden = docs.length === 0;
      vide.hidden = docs.length > 0;
      const urgents = docs.filter((d) => d.urgent).length;
      resume.textContent = docs.length === 0 ? ''
        : `${docs.length} document${docs.length > 1 ? 's' : ''} à transcrire`
          + (urgents ? `, dont ${urgents} urgent${urgents > 1 ? 's' : ''}.` : '.');
      majour.textContent = `Mis à jour à ${heure(new Date())}`;
      if (focus && document.getElementById(focus)) document.getElementById(focus).focus();
    } finally {
      enCours = false;
    }
  };

  actualiser.addEventListener('click', () => lis(false).catch(app.echec));
  await lis(false);

  // The gentle refresh: only while the page is seen, never stacked, and a failure is
  // said once, not every 20 s (an ended session goes back to log-on).
  let minuterie = null;
  let fini = false;
  const programme = () => {
    clearTimeout(minuterie);
    if (fini) return;
    minuterie = setTimeout(async () => {
      if (document.visibilityState === 'visible') {
        try {
          await lis(true);
        } catch (e) {
          if (fini) return;
          if (e instanceof app.api.SessionExpiree) {
            app.sessionTerminee();
            return;
          }
          majour.textContent = `Mise à jour impossible : ${e.message}`;
        }
      }
      programme();
    }, PERIODE);
  };
  const visible = () => {
    if (document.visibilityState === 'visible' && !fini) lis(true).catch(() => {});
  };
  document.addEventListener('visibilitychange', visible);
  programme();
  app.enQuittant(() => {
    fini = true;
    clearTimeout(minuterie);
    minuterie = null;
    document.removeEventListener('visibilitychange', visible);
  });
}
