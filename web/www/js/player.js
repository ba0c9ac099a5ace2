// The dictation player: play and pause, a position slider, a few seconds back and
// forward, the speed from 0.75 to 2 times (0.5 to 2 on the desk; pitch kept), and the
// keyboard shortcuts of transcription software. The sound is a WAV: made in the page from
// the CAF (caf.js) for the author, Guichet's own on the transcription desk.
//
// Shortcuts, anywhere on the page but in a text field:
//   Espace or K  play / pause        J or ←  back 5 s       L or →  forward 5 s
//   Début        back to the start   - / +   slower / faster
// With the transcription desk's keys (option `touchesF`), also in a text field, so a
// transcriber typing the name never leaves the keyboard:
//   F2 play / pause   F4 back   F8 forward   F9 slower   F10 faster

const VITESSES_AUTEUR = [0.75, 1, 1.25, 1.5, 1.75, 2];
const SAUT_AUTEUR = 5;

export function formateTemps(secondes) {
  const s = Math.max(0, Math.floor(secondes));
  const m = Math.floor(s / 60);
  return `${m}:${String(s % 60).padStart(2, '0')}`;
}

function tempsParle(secondes) {
  const s = Math.max(0, Math.round(secondes));
  const m = Math.floor(s / 60);
  return m > 0 ? `${m} min ${s % 60} s` : `${s} s`;
}

function element(nom, attributs = {}, texte = '') {
  const e = document.createElement(nom);
  for (const [cle, valeur] of Object.entries(attributs)) e.setAttribute(cle, valeur);
  if (texte) e.textContent = texte;
  return e;
}

// Builds the player in `conteneur` for the WAV bytes `wav` lasting `duree` seconds.
// Options: `vitesses` (the speeds offered), `saut` (seconds of a jump back or forward),
// `touchesF` (the desk's function keys, active in text fields too).
// Returns {audio, detruit}: `detruit` stops the sound and lets go of the page's keys.
export function creeLecteur(conteneur, wav, duree, options = {}) {
  const VITESSES = options.vitesses || VITESSES_AUTEUR;
  const SAUT = options.saut || SAUT_AUTEUR;
  const url = URL.createObjectURL(new Blob([wav], { type: 'audio/wav' }));
  const audio = element('audio', { preload: 'auto' });
  audio.src = url;
  audio.preservesPitch = true;

  const racine = element('div', { class: 'lecteur', role: 'group', 'aria-label': 'Lecteur de la dictée' });
  racine.dataset.duree = duree.toFixed(3);
  const commandes = element('div', { class: 'lecteur-commandes' });
  const f = (touche) => (options.touchesF ? ` ${touche}` : '');
  const lecture = element('button', { type: 'button', class: 'principal', id: 'lecture',
    'aria-keyshortcuts': `Space K${f('F2')}` }, 'Lire');
  const recul = element('button', { type: 'button', id: 'recul', 'aria-keyshortcuts': `J ArrowLeft${f('F4')}`,
    'aria-label': `Reculer de ${SAUT} secondes` }, `− ${SAUT} s`);
  const avance = element('button', { type: 'button', id: 'avance', 'aria-keyshortcuts': `L ArrowRight${f('F8')}`,
    'aria-label': `Avancer de ${SAUT} secondes` }, `+ ${SAUT} s`);
  const temps = element('span', { class: 'lecteur-temps', id: 'temps', 'aria-live': 'off' });
  const etiquetteVitesse = element('label', { for: 'vitesse' }, 'Vitesse');
  const vitesse = element('select', { id: 'vitesse', 'aria-keyshortcuts': `- +${f('F9 F10')}` });
  for (const v of VITESSES) {
    const option = element('option', { value: String(v) }, `${String(v).replace('.', ',')}×`);
    if (v === 1) option.selected = true;
    vitesse.append(option);
  }
  etiquetteVitesse.append(vitesse);
  commandes.append(lecture, recul, avance, temps, etiquetteVitesse);

  const etiquettePosition = element('label', { for: 'position', class: 'sr-only' }, 'Position dans la dictée');
  const position = element('input', { type: 'range', id: 'position', class: 'lecteur-position',
    min: '0', max: String(duree), step: '0.1', value: '0' });
  const aide = element('p', { class: 'raccourcis' });
  aide.append('Raccourcis : ');
  for (const [touches, quoi] of [[['Espace'], 'lecture/pause'], [['J', 'L'], `± ${SAUT} s`],
    [['Début'], 'retour au début'], [['-', '+'], 'vitesse']]) {
    touches.forEach((t, i) => {
      if (i > 0) aide.append(' ');
      aide.append(element('kbd', {}, t));
    });
    aide.append(` ${quoi}  `);
  }
  racine.append(commandes, etiquettePosition, position);
  if (options.touchesF) {
    // The keys that work everywhere, even while typing: the ones a transcriber learns.
    const aideF = element('p', { class: 'raccourcis raccourcis-f', id: 'raccourcis-f' });
    aideF.append('Même en tapant : ');
    for (const [t, quoi] of [['F2', 'lecture/pause'], ['F4', `− ${SAUT} s`], ['F8', `+ ${SAUT} s`],
      ['F9', 'plus lent'], ['F10', 'plus vite']]) {
      aideF.append(element('kbd', {}, t), ` ${quoi}  `);
    }
    racine.append(aideF);
    aide.firstChild.textContent = 'Hors d’un champ de saisie : ';
  }
  racine.append(aide, audio);
  conteneur.append(racine);

  let glisse = false;
  const montre = () => {
    const t = Math.min(audio.currentTime, duree);
    temps.textContent = `${formateTemps(t)} / ${formateTemps(duree)}`;
    if (!glisse) position.value = String(t);
    position.setAttribute('aria-valuetext', `${tempsParle(t)} sur ${tempsParle(duree)}`);
    const enCours = !audio.paused && !audio.ended;
    lecture.textContent = enCours ? 'Pause' : 'Lire';
    lecture.setAttribute('aria-label', enCours ? 'Mettre en pause' : 'Lire la dictée');
  };
  const va = (t) => {
    audio.currentTime = Math.max(0, Math.min(duree, t));
    montre();
  };
  const basculer = () => {
    if (audio.paused || audio.ended) {
      if (audio.ended || audio.currentTime >= duree) audio.currentTime = 0;
      audio.play().catch(() => {});
    } else {
      audio.pause();
    }
  };
  const changeVitesse = (pas) => {
    const i = VITESSES.indexOf(Number(vitesse.value));
    const j = Math.max(0, Math.min(VITESSES.length - 1, i + pas));
    vitesse.value = String(VITESSES[j]);
    audio.playbackRate = VITESSES[j];
  };

  lecture.addEventListener('click', basculer);
  recul.addEventListener('click', () => va(audio.currentTime - SAUT));
  avance.addEventListener('click', () => va(audio.currentTime + SAUT));
  vitesse.addEventListener('change', () => { audio.playbackRate = Number(vitesse.value); });
  position.addEventListener('input', () => { glisse = true; va(Number(position.value)); });
  // The slider's own keys, in useful steps: arrows 5 s, page keys 30 s, Home and End.
  position.addEventListener('keydown', (e) => {
    const pas = { ArrowLeft: -SAUT, ArrowDown: -SAUT, ArrowRight: SAUT, ArrowUp: SAUT,
      PageDown: -30, PageUp: 30 }[e.key];
    if (pas !== undefined) va(audio.currentTime + pas);
    else if (e.key === 'Home') va(0);
    else if (e.key === 'End') va(duree);
    else return;
    e.preventDefault();
  });
  position.addEventListener('change', () => { glisse = false; va(Number(position.value)); });
  for (const evenement of ['timeupdate', 'play', 'pause', 'ended', 'seeked', 'loadedmetadata']) {
    audio.addEventListener(evenement, montre);
  }

  const toucheF = (e) => {
    if (e.altKey || e.ctrlKey || e.metaKey || e.shiftKey) return false;
    switch (e.key) {
      case 'F2': basculer(); break;
      case 'F4': va(audio.currentTime - SAUT); break;
      case 'F8': va(audio.currentTime + SAUT); break;
      case 'F9': changeVitesse(-1); break;
      case 'F10': changeVitesse(1); break;
      default: return false;
    }
    e.preventDefault();
    return true;
  };
  const touche = (e) => {
    if (options.touchesF && toucheF(e)) return;
    if (e.altKey || e.ctrlKey || e.metaKey) return;
    const cible = e.target;
    if (cible.closest && cible.closest('input, textarea, select, [contenteditable="true"], dialog')) return;
    const surBouton = cible.closest && cible.closest('button, a');
    switch (e.key) {
      case ' ':
        if (surBouton) return;  // the focused control's own action
        basculer(); break;
      case 'k': case 'K': basculer(); break;
      case 'j': case 'J': case 'ArrowLeft': va(audio.currentTime - SAUT); break;
      case 'l': case 'L': case 'ArrowRight': va(audio.currentTime + SAUT); break;
      case 'Home': va(0); break;
      case '-': changeVitesse(-1); break;
      case '+': case '=': changeVitesse(1); break;
      default: return;
    }
    e.preventDefault();
  };
  document.addEventListener('keydown', touche);
  montre();

  return {
    audio,
    racine,
    detruit() {
      document.removeEventListener('keydown', touche);
      audio.pause();
      audio.removeAttribute('src');
      audio.load();
      URL.revokeObjectURL(url);
    },
  };
}
