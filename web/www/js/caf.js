// Reads the dictations Guichet keeps as CAF: one channel of 16-bit big-endian samples
// behind a 4096-byte header, at 11025 Hz. The header's own chunks are read when they are
// there ("desc" for the rate and format, "data" for where the samples start); a file
// without them is taken as Guichet writes it. Browsers play no CAF, so the samples are
// handed to the page as a WAV (16-bit little-endian PCM), which every browser plays.

export const EN_TETE_CAF = 4096;
export const FREQUENCE = 11025;

export class ErreurCaf extends Error {}

function texte4(vue, position) {
  return String.fromCharCode(vue.getUint8(position), vue.getUint8(position + 1),
    vue.getUint8(position + 2), vue.getUint8(position + 3));
}

// {frequence, debut, octets}: the sample rate, the first sample's byte and the number of
// sample bytes (even). Throws ErreurCaf for what is no 16-bit mono dictation.
export function analyseCaf(tampon) {
  const vue = new DataView(tampon);
  let frequence = FREQUENCE;
  let debut = EN_TETE_CAF;
  let fin = tampon.byteLength;
  if (tampon.byteLength >= 8 && texte4(vue, 0) === 'caff') {
    // Chunks: type (4), length (8, signed; -1 for a data chunk that runs to the end).
    let position = 8;
    while (position + 12 <= tampon.byteLength) {
      const type = texte4(vue, position);
      const haut = vue.getInt32(position + 4);
      const bas = vue.getUint32(position + 8);
      const longueur = haut * 2 ** 32 + bas;
      const corps = position + 12;
      if (type === 'desc' && corps + 32 <= tampon.byteLength) {
        frequence = vue.getFloat64(corps);
        const format = texte4(vue, corps + 8);
        const drapeaux = vue.getUint32(corps + 12);
        const canaux = vue.getUint32(corps + 24);
        const bits = vue.getUint32(corps + 28);
        if (format !== 'lpcm' || canaux !== 1 || bits !== 16 || (drapeaux & 1) !== 0) {
          throw new ErreurCaf('Format audio inattendu (PCM 16 bits mono attendu).');
        }
        if (!(frequence >= 3000 && frequence <= 192000)) {
          throw new ErreurCaf('Fréquence d’échantillonnage inattendue.');
        }
      } else if (type === 'data') {
        debut = corps + 4;  // the edit count comes first
        if (longueur >= 4 && corps + longueur <= tampon.byteLength) fin = corps + longueur;
        break;
      }
      if (longueur < 0 || !Number.isFinite(longueur)) break;
      position = corps + longueur;
    }
  }
  if (debut > tampon.byteLength) throw new ErreurCaf('Dictée vide ou tronquée.');
  const octets = (fin - debut) & ~1;
  return { frequence, debut, octets };
}

// The duration in seconds of a dictation's samples.
export function dureeCaf(tampon) {
  const { frequence, octets } = analyseCaf(tampon);
  return octets / 2 / frequence;
}

// The dictation as a WAV file's bytes, and its duration in seconds.
export function cafVersWav(tampon) {
  const { frequence, debut, octets } = analyseCaf(tampon);
  const source = new DataView(tampon, debut, octets);
  const wav = new ArrayBuffer(44 + octets);
  const v = new DataView(wav);
  const ecrit = (position, t) => {
    for (let i = 0; i < 4; i += 1) v.setUint8(position + i, t.charCodeAt(i));
  };
  const taux = Math.round(frequence);
  ecrit(0, 'RIFF'); v.setUint32(4, 36 + octets, true); ecrit(8, 'WAVE');
  ecrit(12, 'fmt '); v.setUint32(16, 16, true); v.setUint16(20, 1, true);
  v.setUint16(22, 1, true); v.setUint32(24, taux, true); v.setUint32(28, taux * 2, true);
  v.setUint16(32, 2, true); v.setUint16(34, 16, true);
  ecrit(36, 'data'); v.setUint32(40, octets, true);
  for (let i = 0; i < octets; i += 2) v.setInt16(44 + i, source.getInt16(i, false), true);
  return { wav, duree: octets / 2 / frequence };
}

// The duration in seconds of a WAV file's PCM samples (the WAV Guichet converts a
// dictation into), read from its "fmt " and "data" chunks. Throws ErreurCaf for what is
// not a PCM WAV.
export function dureeWav(tampon) {
  const vue = new DataView(tampon);
  if (tampon.byteLength < 12 || texte4(vue, 0) !== 'RIFF' || texte4(vue, 8) !== 'WAVE') {
    throw new ErreurCaf('Ce fichier n’est pas un WAV.');
  }
  let debitOctets = 0;
  let position = 12;
  while (position + 8 <= tampon.byteLength) {
    const type = texte4(vue, position);
    const longueur = vue.getUint32(position + 4, true);
    const corps = position + 8;
    if (type === 'fmt ' && corps + 16 <= tampon.byteLength) {
      if (vue.getUint16(corps, true) !== 1) throw new ErreurCaf('WAV compressé : PCM attendu.');
      debitOctets = vue.getUint32(corps + 8, true);
    } else if (type === 'data') {
      if (!debitOctets) break;
      // A length past the end (a file still growing, or 0xFFFFFFFF) counts what is there.
      const octets = Math.min(longueur, tampon.byteLength - corps);
      return octets / debitOctets;
    }
    position = corps + longueur + (longueur & 1);
  }
  throw new ErreurCaf('WAV sans format ni données.');
}
