// The patient's archive, from a document waiting for validation: "archives" lists every
// archived document of the archive folder that the document's name (its ".id") names,
// newest first. Each opens through /fichier: a PDF in a new tab, a text shown here (its
// bytes are Windows-1252), anything else as a download.

import * as api from '../api.js';
import { el } from '../element.js';

const KINDS = { pdf: 'PDF', txt: 'Texte', wav: 'Audio', doc: 'Word', rtf: 'RTF' };

// "[20]"-style escapes of Guichet's file names back to text, for showing a name.
function unbracket(s) {
  return s.replace(/\[([0-9A-Fa-f]{2})\]/g, (m, h) => new TextDecoder('windows-1252').decode(new Uint8Array([parseInt(h, 16)])));
}

function sizeText(n) {
  const v = Number(n) || 0;
  return v < 1024 ? v + ' o' : v < 1024 * 1024 ? Math.ceil(v / 1024) + ' Ko' : (v / 1024 / 1024).toFixed(1).replace('.', ',') + ' Mo';
}

export async function render(main, params, app) {
  const number = params.numero;
  const title = el('h1', { text: 'Archive du patient' });
  const back = el('p', {}, el('a', { href: '#/document/' + number, text: 'Retour au document n° ' + number }));
  main.append(title, back);
  // The archive, and the document's patient name (for the title) from the stage list.
  const [reponse, nom] = await app.occupe(
    Promise.all([
      api.commande('archives', '', number),
      api.documents(number).then(
        (docs) => (docs[0] && docs[0].nom) || '',
        () => '',
      ),
    ]),
    'Chargement de l\u2019archive…',
  );
  if (nom) title.textContent = 'Archive de ' + nom;
  const docs = reponse.lignes
    .filter((f) => f.length >= 2 && f[0])
    .map((f) => ({ path: f[0], ext: String(f[1]).toLowerCase(), size: f[2], title: f[4] || '' }));
  if (docs.length === 0) {
    const why = reponse.messages.includes('Dossier inexistant')
      ? 'Ce document n\u2019a pas de nom de patient, ou ce patient n\u2019a pas encore d\u2019archive.'
      : 'L\u2019archive de ce patient est vide.';
    main.append(el('p', { class: 'vide', id: 'archive-vide', text: why }));
    return;
  }

  const table = el('table', { class: 'archives' });
  table.append(el('caption', { text: docs.length + (docs.length > 1 ? ' documents archivés' : ' document archivé') + ', du plus récent au plus ancien' }));
  table.append(el('thead', {}, el('tr', {}, ...['Document', 'Titre', 'Type', 'Taille', 'Ouvrir'].map((h) => el('th', { scope: 'col', text: h })))));
  const body = el('tbody');
  const viewer = el('section', { class: 'lecture', hidden: '', 'aria-labelledby': 'lecture-titre' });
  const viewerTitle = el('h2', { id: 'lecture-titre', tabindex: '-1' });
  const viewerText = el('pre', { class: 'texte', tabindex: '0' });
  viewer.append(viewerTitle, viewerText);

  docs.forEach((d, i) => {
    const base = unbracket(d.path.split(/[\\/]/).pop()).replace(/^\d{14}_/, '');
    const url = api.urlFichier(d.path + '.' + d.ext);
    const label = d.title || base;
    let open;
    if (d.ext === 'txt') {
      open = el('button', { type: 'button', class: 'lien', id: 'ouvrir-' + i, text: 'Lire', 'aria-label': 'Lire ' + label });
      open.addEventListener('click', async () => {
        open.disabled = true;
        viewer.hidden = false;
        viewerTitle.textContent = label;
        viewerText.textContent = 'Chargement…';
        viewer.setAttribute('aria-busy', 'true');
        try {
          const res = await api.fichier(d.path + '.' + d.ext);
          viewerText.textContent = api.decode1252(await res.arrayBuffer());
        } catch (e) {
          if (e instanceof api.SessionExpiree) return app.sessionTerminee();
          viewerText.textContent = 'Le texte n\u2019a pas pu être lu. ' + e.message;
        } finally {
          viewer.removeAttribute('aria-busy');
          open.disabled = false;
          viewerTitle.focus();
        }
      });
    } else {
      open = el('a', { href: url, id: 'ouvrir-' + i, target: '_blank', rel: 'noopener', text: d.ext === 'pdf' ? 'Ouvrir' : 'Télécharger', 'aria-label': (d.ext === 'pdf' ? 'Ouvrir ' : 'Télécharger ') + label });
    }
    body.append(
      el(
        'tr',
        {},
        el('td', { text: base }),
        el('td', { text: d.title }),
        el('td', { text: KINDS[d.ext] || d.ext.toUpperCase() }),
        el('td', { class: 'nombre', text: sizeText(d.size) }),
        el('td', {}, open),
      ),
    );
  });
  table.append(body);
  main.append(el('div', { class: 'tableau' }, table), viewer);
}
