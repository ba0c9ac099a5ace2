// The author's agenda, one day at a time: command "0" with the date as "dd/mm/yyyy" (no
// agenda number, so Guichet reads the author's own agenda). #/agenda is today,
// #/agenda/YYYY-MM-DD another day; the previous and next days are links.

import * as api from '../api.js';
import { el } from '../element.js';

// A day from "YYYY-MM-DD", local time; null when it is no real date.
export function parseDay(text) {
  const m = /^(\d{4})-(\d{2})-(\d{2})$/.exec(text || '');
  if (!m) return null;
  const d = new Date(Number(m[1]), Number(m[2]) - 1, Number(m[3]));
  return d.getFullYear() === Number(m[1]) && d.getMonth() === Number(m[2]) - 1 && d.getDate() === Number(m[3]) ? d : null;
}

const two = (n) => String(n).padStart(2, '0');
export const isoDay = (d) => d.getFullYear() + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate());
const frenchDay = (d) => two(d.getDate()) + '/' + two(d.getMonth() + 1) + '/' + d.getFullYear();
export const shift = (d, days) => new Date(d.getFullYear(), d.getMonth(), d.getDate() + days);

const MESSAGES = {
  'Agenda vide': 'Aucun rendez-vous ce jour-là.',
  'Agenda inexistant': 'Vous n\u2019avez pas d\u2019agenda sur ce serveur.',
};

export async function render(main, params, app) {
  const asked = params.date || '';
  const day = asked ? parseDay(asked) : new Date();
  const title = el('h1', { text: 'Agenda' });
  main.append(title);
  if (!day) {
    app.annoncer('La date « ' + asked + ' » n\u2019existe pas.', 'erreur');
    main.append(el('p', {}, el('a', { href: '#/agenda', text: 'Agenda du jour' })));
    return;
  }
  const long = day.toLocaleDateString('fr-FR', { weekday: 'long', day: 'numeric', month: 'long', year: 'numeric' });
  title.textContent = 'Agenda du ' + long;

  const jump = el('input', { type: 'date', id: 'jour', value: isoDay(day) });
  const go = el('button', { type: 'submit', text: 'Afficher' });
  const form = el('form', { class: 'jour' }, el('label', { for: 'jour', text: 'Aller au jour' }), jump, go);
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    if (parseDay(jump.value)) location.hash = '#/agenda/' + jump.value;
  });
  const nav = el(
    'nav',
    { class: 'jours', 'aria-label': 'Autres jours' },
    el('a', { href: '#/agenda/' + isoDay(shift(day, -1)), id: 'jour-precedent', rel: 'prev', text: '← Jour précédent' }),
    el('a', { href: '#/agenda/' + isoDay(new Date()), id: 'aujourdhui', text: 'Aujourd\u2019hui' }),
    el('a', { href: '#/agenda/' + isoDay(shift(day, 1)), id: 'jour-suivant', rel: 'next', text: 'Jour suivant →' }),
  );
  main.append(nav, form);
  const reponse = await app.occupe(api.commande('0', '', '', frenchDay(day)), 'Chargement de l\u2019agenda…');
  const items = [];
  let owner = '';
  for (const f of reponse.lignes) {
    if (f[1] === ':' && !owner && items.length === 0) owner = f[0];
    else if (f[2]) items.push({ time: f[2], what: f[0] || '', comment: f[1] || '' });
    else if ((f[1] || '').trim()) items.push({ time: '', what: '', comment: f[1] });
  }
  if (items.length === 0) {
    const note = reponse.messages[0] || '';
    const text = MESSAGES[note] || (note.startsWith('Date') ? 'Date refusée par le serveur : ' + note + '.' : 'Aucun rendez-vous ce jour-là.');
    main.append(el('p', { class: 'vide', id: 'agenda-vide', text }));
    return;
  }
  const list = el('ol', { class: 'agenda', 'aria-label': 'Rendez-vous' + (owner ? ' de l\u2019agenda ' + owner : '') });
  for (const it of items) {
    const li = el('li', { class: it.time ? 'rdv' : 'note' });
    if (it.time) li.append(el('time', { class: 'heure', datetime: isoDay(day) + 'T' + it.time, text: it.time }));
    if (it.what) li.append(el('strong', { text: it.what }));
    if (it.comment) li.append(el('span', { class: 'commentaire', text: it.comment }));
    list.append(li);
  }
  main.append(list);
}
