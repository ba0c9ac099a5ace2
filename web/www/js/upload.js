// Sends a document's file to the front end: PUT /upload?idexamen=N&extension=.ext, the
// body being the file, with progress from XMLHttpRequest's upload events (fetch gives
// none). The front end answers 202 once every byte is in Guichet's spool.

// The author's words for what went wrong; `status` 0 means the connection itself failed.
export function uploadMessage(status) {
  switch (status) {
    case 0:
      return 'L\u2019envoi a été interrompu : la connexion au serveur a été coupée. Votre enregistrement est conservé ; réessayez.';
    case 401:
      return 'Votre session a expiré. Reconnectez-vous : l\u2019enregistrement sera perdu si vous quittez la page.';
    case 403:
      return 'Le serveur a refusé l\u2019envoi de ce document (numéro non attribué à votre session).';
    case 409:
      return 'Un envoi de ce document est déjà en cours. Attendez quelques secondes puis réessayez.';
    case 413:
      return 'Le fichier est trop volumineux pour être envoyé.';
    case 415:
      return 'Ce type de fichier ne peut pas être envoyé (seuls .spx et .caf sont acceptés pour une dictée).';
    default:
      return 'L\u2019envoi a échoué (erreur ' + status + ' du serveur). Votre enregistrement est conservé ; réessayez.';
  }
}

export class UploadError extends Error {
  constructor(status) {
    super(uploadMessage(status));
    this.status = status;
  }
}

// Resolves when the front end has stored the whole body; rejects with an UploadError.
// `onProgress(sent, total)` follows the bytes leaving the browser.
export function uploadFile(number, extension, body, onProgress = () => {}) {
  return new Promise((resolve, reject) => {
    const xhr = new XMLHttpRequest();
    const query = new URLSearchParams({ idexamen: String(number), extension });
    xhr.open('PUT', '/upload?' + query.toString());
    xhr.setRequestHeader('X-Guichet', '1');
    xhr.setRequestHeader('Content-Type', 'application/octet-stream');
    xhr.upload.onprogress = (e) => {
      if (e.lengthComputable) onProgress(e.loaded, e.total);
    };
    xhr.onload = () => {
      if (xhr.status >= 200 && xhr.status < 300) resolve();
      else reject(new UploadError(xhr.status));
    };
    xhr.onerror = () => reject(new UploadError(0));
    xhr.onabort = () => reject(new UploadError(0));
    xhr.ontimeout = () => reject(new UploadError(0));
    xhr.send(body);
  });
}

// Windows-1252 bytes of a text, for files Guichet stores as they come (the ".id"). A
// character the code page lacks becomes "?".
let upper;
export function toWindows1252(text) {
  if (!upper) {
    upper = new Map();
    const decoder = new TextDecoder('windows-1252');
    for (let b = 0x80; b <= 0x9f; b++) upper.set(decoder.decode(new Uint8Array([b])), b);
  }
  const out = [];
  for (const ch of text) {
    const c = ch.codePointAt(0);
    if (upper.has(ch)) out.push(upper.get(ch));
    else if (c < 0x80 || (c >= 0xa0 && c <= 0xff)) out.push(c);
    else out.push(0x3f);
  }
  return new Uint8Array(out);
}
