// The one module that talks to guichet-web. Every request carries the session cookie
// (same origin) and the header X-Guichet, which the front end asks of every request that
// changes something. Guichet's rows come back in windows-1252 with its HTML entities;
// they are decoded here, so a view only ever sees plain text split into fields.
//
// Failures are thrown as errors a view can show as they are (their message is French):
//   SessionExpiree  the session is unknown, closed or expired (HTTP 401)
//   ErreurGuichet   anything else: Guichet's failure page, no answer, a network failure

import { toWindows1252 } from './upload.js';

export class SessionExpiree extends Error {
  constructor() {
    super('Votre session a expiré ou a été fermée. Reconnectez-vous.');
    this.name = 'SessionExpiree';
  }
}

export class ErreurGuichet extends Error {
  constructor(message, status = 0) {
    super(message);
    this.name = 'ErreurGuichet';
    this.status = status;
  }
}

const ENTETE = { 'X-Guichet': '1' };
const windows1252 = new TextDecoder('windows-1252');

async function envoie(url, options = {}) {
  let reponse;
  try {
    reponse = await fetch(url, {
      credentials: 'same-origin',
      cache: 'no-store',
      ...options,
      headers: { ...ENTETE, ...(options.headers || {}) },
    });
  } catch (e) {
    throw new ErreurGuichet('Le serveur ne répond pas. Vérifiez la connexion et réessayez.');
  }
  if (reponse.status === 401 && !options.connexion) throw new SessionExpiree();
  return reponse;
}

async function messageJson(reponse, defaut) {
  try {
    const corps = await reponse.json();
    if (corps && typeof corps.error === 'string' && corps.error) return corps.error;
  } catch (e) {
    // not JSON: the default message
  }
  return defaut;
}

function erreurHttp(reponse) {
  switch (reponse.status) {
    case 403: return new ErreurGuichet('Action refusée par le serveur.', 403);
    case 502: return new ErreurGuichet('Guichet n’a pas répondu à la demande. Réessayez.', 502);
    case 503: return new ErreurGuichet('Le serveur est trop occupé. Réessayez dans un instant.', 503);
    case 504: return new ErreurGuichet('Guichet n’a pas répondu à temps. Réessayez.', 504);
    default: return new ErreurGuichet(`Erreur du serveur (${reponse.status}).`, reponse.status);
  }
}

// ---------------------------------------------------------------- text of Guichet

const entitesConnues = new Map([['nbsp', ' '], ['amp', '&'], ['lt', '<'], ['gt', '>'],
  ['quot', '"'], ['apos', "'"]]);
let analyseur = null;

// Undoes Guichet's HTML entities (&eacute;, &nbsp;, &#233; ...). A non-breaking space
// becomes a plain space: Guichet writes every space of a value as "&nbsp;".
export function decodeEntites(texte) {
  return texte.replace(/&(#[0-9]{1,7}|#[xX][0-9a-fA-F]{1,6}|[A-Za-z][A-Za-z0-9]{1,31});/g,
    (entite, nom) => {
      if (nom[0] === '#') {
        const code = nom[1] === 'x' || nom[1] === 'X'
          ? parseInt(nom.slice(2), 16) : parseInt(nom.slice(1), 10);
        if (code === 160) return ' ';
        try { return String.fromCodePoint(code); } catch (e) { return entite; }
      }
      if (!entitesConnues.has(nom)) {
        // The browser's own table, through an inert document (nothing runs there).
        analyseur = analyseur || new DOMParser();
        const doc = analyseur.parseFromString(`<!doctype html><p>${entite}</p>`, 'text/html');
        const texteDecode = doc.body.textContent;
        entitesConnues.set(nom, texteDecode === '\u00a0' ? ' ' : texteDecode);
      }
      return entitesConnues.get(nom);
    });
}

// Decodes an answer's bytes from windows-1252.
export function decode1252(octets) {
  return windows1252.decode(octets);
}

// Splits a data answer into its command word and its rows of fields, each field
// decoded. Message rows ("(Dossier vide)||||") are kept apart in `messages`.
export function lisLignes(texte) {
  const lignes = texte.split(/\r\n|\r|\n/).filter((l) => l.length > 0);
  const entete = /^\|\|command=(.*)\|\|$/.exec(lignes[0] || '');
  if (!entete) throw new ErreurGuichet('Réponse de Guichet illisible.');
  const resultat = { commande: decodeEntites(entete[1]), lignes: [], messages: [] };
  for (const ligne of lignes.slice(1)) {
    const champs = ligne.split('|').map((c) => decodeEntites(c).trim());
    if (champs[0].startsWith('(')) resultat.messages.push(champs[0].replace(/^\(|\)$/g, ''));
    else resultat.lignes.push(champs);
  }
  return resultat;
}

// The message of Guichet's failure page ("<DD>message</DD>"), as text.
function messagePage(html) {
  const doc = new DOMParser().parseFromString(html, 'text/html');
  const dd = doc.querySelector('dd');
  return (dd ? dd.textContent : doc.body.textContent).trim();
}

// ---------------------------------------------------------------- browser session

// The open session ({id, name, service, transcriber}), or null when there is none.
export async function session() {
  const reponse = await envoie('/session', { connexion: true });
  if (reponse.status === 401) return null;
  if (!reponse.ok) throw erreurHttp(reponse);
  return reponse.json();
}

// Opens a session. A refused name or password throws ErreurGuichet with the front end's
// message ("Utilisateur non reconnu").
export async function connecte(nom, motDePasse) {
  const corps = new URLSearchParams({ name: nom, password: motDePasse });
  const reponse = await envoie('/session', { method: 'POST', body: corps, connexion: true });
  if (reponse.status === 401) {
    throw new ErreurGuichet(await messageJson(reponse, 'Utilisateur non reconnu'), 401);
  }
  if (!reponse.ok) throw erreurHttp(reponse);
  return reponse.json();
}

// Closes the session (Guichet's "logout"); a session already gone counts as closed.
export async function deconnecte() {
  const reponse = await envoie('/session', { method: 'DELETE', connexion: true });
  if (!reponse.ok && reponse.status !== 401) throw erreurHttp(reponse);
}

// ---------------------------------------------------------------- Guichet's commands

// A form body in windows-1252, the code page of Guichet's requests: the front end hands
// the bytes on as they come, and a browser's own encoding of a form (URLSearchParams)
// is UTF-8, which would reach Guichet as two characters for every accented one.
function formulaire1252(champs) {
  const encode = (texte) => Array.from(toWindows1252(texte), (octet) => (
    /[A-Za-z0-9*\-._]/.test(String.fromCharCode(octet))
      ? String.fromCharCode(octet)
      : `%${octet.toString(16).toUpperCase().padStart(2, '0')}`)).join('');
  return {
    body: champs.map(([nom, valeur]) => `${encode(nom)}=${encode(valeur)}`).join('&'),
    headers: { 'Content-Type': 'application/x-www-form-urlencoded; charset=windows-1252' },
  };
}

// Sends one command with its values p1, p2, p3 ... (undefined values are left out) and
// returns {commande, lignes, messages} for a data answer, or null for the commands that
// Guichet consumes without answer (204). Guichet's failure page becomes ErreurGuichet.
export async function commande(mot, ...valeurs) {
  const champs = [['command', mot]];
  valeurs.forEach((v, i) => {
    if (v !== undefined && v !== null) champs.push([`p${i + 1}`, String(v)]);
  });
  const reponse = await envoie('/portail.hv', { method: 'POST', ...formulaire1252(champs) });
  if (reponse.status === 204) return null;
  if (!reponse.ok) throw erreurHttp(reponse);
  const texte = decode1252(await reponse.arrayBuffer());
  if ((reponse.headers.get('Content-Type') || '').startsWith('text/html')) {
    const message = messagePage(texte);
    // Guichet's page for a token it does not know: its session is gone.
    if (message.replace(/\s+/g, ' ') === 'Erreur de syntaxe ()') throw new SessionExpiree();
    throw new ErreurGuichet(`Guichet a refusé la demande : ${message}`);
  }
  return lisLignes(texte);
}

// The URL of a file that an answer listed (its path as Guichet wrote it).
export function urlFichier(chemin) {
  return `/fichier?f=${encodeURIComponent(chemin)}`;
}

// Fetches a listed file. A file that is gone, or no longer granted, throws ErreurGuichet.
export async function fichier(chemin) {
  const reponse = await envoie(urlFichier(chemin));
  if (reponse.status === 404 || reponse.status === 403) {
    throw new ErreurGuichet('Ce fichier n’est plus disponible.', reponse.status);
  }
  if (!reponse.ok) throw erreurHttp(reponse);
  return reponse;
}

// ---------------------------------------------------------------- the author's documents

// The stages a document goes through, as "stages" names them, with their French labels.
export const ETAPES = {
  ToMove: 'En attente de transcription',
  Transcriptions: 'En transcription',
  Validations: 'À valider',
  Publications: 'Publié',
  RecycleBin: 'Supprimé',
};

function documentDe(champs) {
  const [numero, etape, date, nom, code, libelle, urgent] = champs;
  return {
    numero, etape, date, nom, code, libelle: libelle || code || '',
    urgent: urgent === '1',
    libelleEtape: ETAPES[etape] || etape,
  };
}

// Every document of the author, newest first: [{numero, etape, libelleEtape, date
// ("yyyy-mm-dd hh:nn"), nom, code, libelle, urgent}]. With a number, that document alone
// (an empty list when it is nowhere to be found).
export async function documents(numero) {
  const reponse = numero === undefined
    ? await commande('stages')
    : await commande('stages', '', numero);
  return reponse.lignes.map(documentDe);
}

// The files Guichet lets the author fetch for a document waiting for validation:
// [{nom, taille, chemin, extension}].
export async function pieces(numero) {
  const reponse = await commande('attachments', '', numero);
  return reponse.lignes.map(([nom, taille, chemin]) => ({
    nom, taille: Number(taille), chemin,
    extension: (/\.([^.]+)$/.exec(nom) || ['', ''])[1].toLowerCase(),
  }));
}

// ---------------------------------------------------------------- dictating

// "createtmp": a new document number for a dictation whose type code is `code`. Guichet
// answers it in two lines with a ready marker of 0, which the front end labels as a page;
// it is read as rows when it starts with the command header.
export async function nouveauNumero(code) {
  const reponse = await envoie('/portail.hv', {
    method: 'POST', ...formulaire1252([['command', 'createtmp'], ['p1', ''], ['p2', code]]),
  });
  if (!reponse.ok) throw erreurHttp(reponse);
  const texte = decode1252(await reponse.arrayBuffer());
  if (!texte.startsWith('||command=')) {
    throw new ErreurGuichet(`Guichet a refusé la demande : ${messagePage(texte)}`);
  }
  const numero = (lisLignes(texte).lignes[0] || [])[0] || '';
  if (!/^\d+$/.test(numero)) throw new ErreurGuichet('Guichet n’a pas donné de numéro de document.');
  return numero;
}

// ---------------------------------------------------------------- the transcription desk

// The front end's own answers for the desk are JSON; a refusal carries its French message
// in "error", which is shown as it is. 409 on opening also names who has the document.
async function erreurBureau(reponse) {
  const defaut = erreurHttp(reponse).message;
  let corps = null;
  try {
    corps = await reponse.json();
  } catch (e) {
    // not JSON: the default message
  }
  const message = corps && typeof corps.error === 'string' && corps.error ? corps.error : defaut;
  const erreur = new ErreurGuichet(message, reponse.status);
  if (corps && typeof corps.open_by === 'string') erreur.ouvertPar = corps.open_by;
  return erreur;
}

async function bureauJson(url, options = {}) {
  const reponse = await envoie(url, options);
  if (!reponse.ok) throw await erreurBureau(reponse);
  return reponse.status === 204 ? null : reponse.json();
}

function parametresBureau(auteur, numero, autres = {}) {
  return new URLSearchParams({ a: auteur, n: numero, ...autres });
}

// The documents waiting for transcription, urgent first then oldest first: [{author,
// number, date, type, label, name, urgent, open_by, open_by_me, typed: ['pdf', ...]}].
export async function fileBureau() {
  return (await bureauJson('/desk/queue')).documents || [];
}

// Opens (claims) a document for this session: {document, files: [{name, size, kind}]}.
// Another session holding it gives ErreurGuichet 409 with `ouvertPar`; `reprendre`
// takes it over. A document gone gives 404.
export async function ouvreBureau(auteur, numero, reprendre = false) {
  const corps = parametresBureau(auteur, numero, reprendre ? { force: '1' } : {});
  return bureauJson('/desk/open', { method: 'POST', body: corps });
}

// Lets go of a document. `enPartant` for a page being closed: the request outlives it.
export async function fermeBureau(auteur, numero, enPartant = false) {
  await bureauJson('/desk/close', { method: 'POST', body: parametresBureau(auteur, numero),
    keepalive: enPartant });
}

// The address of one file of a document's family on the desk.
export function urlBureau(auteur, numero, nom) {
  return `/desk/file?${parametresBureau(auteur, numero, { f: nom })}`;
}

// Fetches a file of the desk; a file that is gone throws ErreurGuichet 404.
export async function fichierBureau(auteur, numero, nom) {
  const reponse = await envoie(urlBureau(auteur, numero, nom));
  if (reponse.status === 404) throw new ErreurGuichet('Ce fichier n’est plus disponible.', 404);
  if (!reponse.ok) throw await erreurBureau(reponse);
  return reponse;
}

// Sets the patient/document name (the first line of the ".id").
export async function nommeBureau(auteur, numero, nom) {
  await bureauJson('/desk/name', { method: 'POST',
    body: parametresBureau(auteur, numero, { name: nom }) });
}

// "Terminé": the document goes to the author's validation; {stage: "Validations"}.
export async function termineBureau(auteur, numero) {
  return bureauJson('/desk/done', { method: 'POST', body: parametresBureau(auteur, numero) });
}

export const EXTENSIONS_TAPEES = ['pdf', 'doc', 'rtf', 'txt'];
export const TAILLE_TAPEE_MAX = 50 * 1024 * 1024;

// Sends the typed document (a File or Blob) with its extension ("pdf"), with progress
// from XMLHttpRequest's upload events: resolves to {typed: ['pdf', ...]}. Rejects with
// SessionExpiree or ErreurGuichet (status 0 when the connection itself failed).
export function deposeBureau(auteur, numero, extension, corps, progression = () => {}) {
  return new Promise((resoudre, rejeter) => {
    const xhr = new XMLHttpRequest();
    xhr.open('PUT', `/desk/typed?${parametresBureau(auteur, numero, { ext: `.${extension}` })}`);
    xhr.setRequestHeader('X-Guichet', '1');
    xhr.setRequestHeader('Content-Type', 'application/octet-stream');
    xhr.upload.onprogress = (e) => {
      if (e.lengthComputable) progression(e.loaded, e.total);
    };
    const coupe = () => rejeter(new ErreurGuichet(
      'L’envoi a été interrompu : la connexion au serveur a été coupée. Réessayez.', 0));
    xhr.onerror = coupe;
    xhr.onabort = coupe;
    xhr.ontimeout = coupe;
    xhr.onload = () => {
      let corpsReponse = null;
      try { corpsReponse = JSON.parse(xhr.responseText); } catch (e) { /* not JSON */ }
      if (xhr.status >= 200 && xhr.status < 300) {
        resoudre(corpsReponse || {});
      } else if (xhr.status === 401) {
        rejeter(new SessionExpiree());
      } else {
        const defaut = {
          413: 'Le fichier est trop volumineux (50 Mo au plus).',
          415: 'Ce type de fichier n’est pas accepté (seuls .pdf, .doc, .rtf et .txt le sont).',
        }[xhr.status] || erreurHttp({ status: xhr.status }).message;
        rejeter(new ErreurGuichet(corpsReponse && typeof corpsReponse.error === 'string'
          && corpsReponse.error ? corpsReponse.error : defaut, xhr.status));
      }
    };
    xhr.send(corps);
  });
}

// ---------------------------------------------------------------- the author's typed files

// The typed documents (.pdf .doc .rtf .txt) of document `numero` waiting for the author's
// validation: [{nom, taille, extension}]. "attachments" never lists a .doc or .rtf.
export async function tapes(numero) {
  const reponse = await envoie(`/typed?${new URLSearchParams({ n: numero })}`);
  if (!reponse.ok) throw await erreurBureau(reponse);
  const corps = await reponse.json();
  return (corps.files || []).map((f) => ({ nom: f.name, taille: Number(f.size), extension: f.ext }));
}

// The address of a typed document of the author (served as a download).
export function urlTape(numero, extension) {
  return `/typed?${new URLSearchParams({ n: numero, ext: extension })}`;
}
