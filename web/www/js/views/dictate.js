// Dictate: record from the microphone (pause, resume, level meter, elapsed time, listen
// before sending) or pick an existing .spx/.caf file; choose the document type from the
// catalogues of "configuration"; optionally a patient/document name and the urgent mark.
// Sending runs "createtmp" (a new document number), uploads the audio (the recording as a
// CAF at 11025 Hz), the name as ".id", the urgency as ".urg", then "finished", which hands
// the document to transcription. A step that fails can be run again: the number, the
// recording and the steps already done are kept, so a retry goes on where it stopped.

import * as api from '../api.js';
import { el } from '../element.js';
import { cafBytes, wavBytes } from '../cafwriter.js';
import { Recorder, microphoneMessage } from '../recorder.js';
import { UploadError, toWindows1252, uploadFile } from '../upload.js';

// Services (command 7) and document types (command 8) from the rows of "configuration":
// each block opens with its header row and ends at "-End-".
export function catalogues(rows) {
  const services = new Map();
  const types = [];
  let block = '';
  for (const row of rows) {
    const line = Array.isArray(row) ? row.join('|') : String(row);
    const header = /^\|\|command=(\w+)\|\|/.exec(line);
    if (header) {
      block = header[1];
      continue;
    }
    if (line.trim() === '-End-') {
      block = '';
      continue;
    }
    const f = line.split('|').map((s) => s.trim());
    if (block === '7' && f.length >= 2) services.set(f[0], f[2] || f[1]);
    if (block === '8' && f.length >= 2 && f[1] !== '')
      types.push({ service: f[0], code: f[1], name: f[2] || f[1], label: f[3] || f[2] || f[1] });
  }
  return { services, types };
}

function clock(seconds) {
  const s = Math.floor(seconds);
  return String(Math.floor(s / 60)).padStart(2, '0') + ':' + String(s % 60).padStart(2, '0');
}

function bytesText(n) {
  return n < 1024 * 1024 ? Math.ceil(n / 1024) + ' Ko' : (n / 1024 / 1024).toFixed(1).replace('.', ',') + ' Mo';
}

// A recording kept when the session ended while it was being sent: after log-on the
// author comes back here (app.retour) and finds it again. Its document number belonged
// to the old session, so a new one is asked for.
let conserve = null;

export async function render(main, params, app) {
  main.append(el('h1', { text: 'Dicter' }));
  const reponse = await app.occupe(api.commande('configuration'), 'Chargement des types de document…');
  build(main, catalogues(reponse.lignes), app);
}

function build(main, cat, app) {
  // ---- the document -------------------------------------------------------------------
  const type = el('select', { id: 'type-doc', name: 'type', required: true });
  if (cat.types.length === 0) {
    type.append(el('option', { value: '', text: '(aucun type configuré)' }));
  } else {
    type.append(el('option', { value: '', text: 'Choisissez…' }));
    const groups = new Map();
    for (const t of cat.types) {
      const label = cat.services.get(t.service) || 'Service ' + t.service;
      if (!groups.has(label)) groups.set(label, el('optgroup', { label }));
      groups.get(label).append(el('option', { value: t.code, text: t.label }));
    }
    for (const g of groups.values()) type.append(g);
  }
  const name = el('input', { id: 'nom-doc', type: 'text', maxlength: '120', autocomplete: 'off', spellcheck: 'false' });
  const urgent = el('input', { id: 'urgent', type: 'checkbox' });
  const docFields = el(
    'fieldset',
    { class: 'dictee-doc' },
    el('legend', { text: 'Document' }),
    el('p', {}, el('label', { for: 'type-doc', text: 'Type de document' }), type),
    el('p', {}, el('label', { for: 'nom-doc', text: 'Patient ou nom du document (facultatif)' }), name),
    el('p', { class: 'case' }, urgent, el('label', { for: 'urgent', text: 'Urgent' })),
  );

  // ---- the recording ------------------------------------------------------------------
  const record = el('button', { type: 'button', id: 'enregistrer', class: 'principal', text: 'Enregistrer' });
  const pause = el('button', { type: 'button', id: 'pause', text: 'Pause', disabled: true });
  const stop = el('button', { type: 'button', id: 'arreter', text: 'Arrêter', disabled: true });
  const discard = el('button', { type: 'button', id: 'recommencer', text: 'Effacer l\u2019enregistrement', hidden: true });
  const meter = el('meter', { id: 'niveau', min: '0', max: '1', low: '0.3', high: '0.97', optimum: '0.6', value: '0' });
  const elapsed = el('output', { id: 'duree', for: 'enregistrer', text: '00:00' });
  const recState = el('p', { id: 'etat-enregistrement', class: 'etat', 'aria-live': 'polite', text: 'Prêt à enregistrer.' });
  const listen = el('audio', { id: 'ecoute', controls: true, preload: 'metadata', hidden: true, 'aria-label': 'Écouter l\u2019enregistrement' });
  const recFields = el(
    'fieldset',
    { class: 'dictee-micro' },
    el('legend', { text: 'Enregistrer au micro' }),
    el('div', { class: 'boutons' }, record, pause, stop, discard),
    el(
      'div',
      { class: 'compteurs' },
      el('label', { for: 'niveau', text: 'Niveau du micro' }),
      meter,
      el('label', { for: 'duree', text: 'Durée' }),
      elapsed,
    ),
    recState,
    listen,
  );

  // ---- or a file ----------------------------------------------------------------------
  const file = el('input', { id: 'fichier', type: 'file', accept: '.spx,.caf' });
  const fileFields = el(
    'fieldset',
    { class: 'dictee-fichier' },
    el('legend', { text: 'Ou envoyer un fichier' }),
    el('p', {}, el('label', { for: 'fichier', text: 'Dictée déjà enregistrée (.spx ou .caf)' }), file),
  );

  // ---- sending ------------------------------------------------------------------------
  const send = el('button', { type: 'submit', id: 'envoyer', class: 'principal', text: 'Envoyer la dictée', disabled: true });
  const retry = el('button', { type: 'button', id: 'reessayer', class: 'principal', text: 'Réessayer l\u2019envoi', hidden: true });
  const progress = el('progress', { id: 'progression', max: '1', value: '0', hidden: true });
  const progressLabel = el('label', { for: 'progression', text: 'Envoi', hidden: true });
  const message = el('p', { id: 'message', role: 'status', 'aria-live': 'polite' });
  const form = el(
    'form',
    { class: 'dictee', novalidate: true },
    docFields,
    recFields,
    fileFields,
    message,
    el('div', { class: 'envoi' }, send, retry, progressLabel, progress),
  );
  main.append(form);

  // ---- state --------------------------------------------------------------------------
  let recorder = null;
  let recording = null; // { bytes: Uint8Array (CAF), seconds }
  let listenUrl = null;
  let pending = null; // the document being sent: number and steps done
  let sending = false;

  const say = (text, kind = 'info') => {
    message.textContent = text;
    message.className = text ? 'annonce-' + kind : '';
    message.setAttribute('role', kind === 'erreur' ? 'alert' : 'status');
  };

  // What would be sent now: the recording, else the chosen file.
  const audio = () => {
    if (recording) return { body: recording.bytes, extension: '.caf', what: 'recording' };
    const f = file.files && file.files[0];
    if (!f) return null;
    const ext = (f.name.match(/\.[^.]*$/) || [''])[0].toLowerCase();
    return { body: f, extension: ext, what: 'file:' + f.name + ':' + f.size + ':' + f.lastModified };
  };

  const refresh = () => {
    const state = recorder ? recorder.state : 'inactive';
    const live = state === 'recording' || state === 'paused';
    record.disabled = sending || live;
    pause.disabled = sending || !live;
    pause.textContent = state === 'paused' ? 'Reprendre' : 'Pause';
    stop.disabled = sending || !live;
    discard.hidden = !recording;
    discard.disabled = sending;
    file.disabled = sending || live || !!recording;
    type.disabled = name.disabled = urgent.disabled = sending;
    const failed = !!(pending && pending.failed);
    send.disabled = sending || live || !audio();
    send.hidden = failed && !sending;
    retry.hidden = sending || !failed;
    form.setAttribute('aria-busy', sending ? 'true' : 'false');
  };

  const forgetRecording = () => {
    recording = null;
    if (listenUrl) URL.revokeObjectURL(listenUrl);
    listenUrl = null;
    listen.hidden = true;
    listen.removeAttribute('src');
    elapsed.textContent = '00:00';
    if (pending) pending.audio = null;
  };

  record.addEventListener('click', async () => {
    if (recording && !window.confirm('Effacer l\u2019enregistrement actuel et en commencer un nouveau ?')) return;
    forgetRecording();
    file.value = '';
    recorder = new Recorder({
      onLevel: (v) => (meter.value = v),
      onTime: (s) => (elapsed.textContent = clock(s)),
    });
    record.disabled = true;
    recState.textContent = 'Ouverture du micro…';
    try {
      await recorder.start();
    } catch (e) {
      recorder = null;
      recState.textContent = 'Micro indisponible.';
      say(microphoneMessage(e), 'erreur');
      refresh();
      return;
    }
    say('');
    recState.textContent = 'Enregistrement en cours…';
    refresh();
    pause.focus();
  });

  pause.addEventListener('click', () => {
    if (!recorder) return;
    if (recorder.state === 'recording') {
      recorder.pause();
      recState.textContent = 'En pause.';
    } else {
      recorder.resume();
      recState.textContent = 'Enregistrement en cours…';
    }
    refresh();
  });

  // Shows a finished recording: the player to listen to it, its length, the send button.
  const useRecording = (rec) => {
    recording = rec;
    listenUrl = URL.createObjectURL(rec.wav);
    listen.src = listenUrl;
    listen.hidden = false;
    elapsed.textContent = clock(rec.seconds);
    recState.textContent = 'Enregistrement terminé (' + clock(rec.seconds) + '). Écoutez-le, puis envoyez-le.';
    if (pending) pending.audio = null;
    refresh();
  };

  stop.addEventListener('click', async () => {
    if (!recorder) return;
    const r = recorder;
    stop.disabled = pause.disabled = true;
    recState.textContent = 'Préparation de l\u2019enregistrement…';
    const samples = await r.stop();
    recorder = null;
    if (samples.length === 0) {
      recState.textContent = 'Rien n\u2019a été enregistré.';
      refresh();
      return;
    }
    useRecording({
      bytes: cafBytes(samples),
      seconds: samples.length / 11025,
      wav: new Blob([wavBytes(samples)], { type: 'audio/wav' }),
    });
    send.focus();
  });

  discard.addEventListener('click', () => {
    if (!window.confirm('Effacer l\u2019enregistrement ?')) return;
    forgetRecording();
    recState.textContent = 'Prêt à enregistrer.';
    refresh();
    record.focus();
  });

  file.addEventListener('change', () => {
    const a = audio();
    if (a && a.extension !== '.spx' && a.extension !== '.caf') {
      say('Choisissez un fichier .spx ou .caf.', 'erreur');
      file.value = '';
    } else if (a) {
      say('Fichier choisi : ' + file.files[0].name + ' (' + bytesText(file.files[0].size) + ').');
      if (pending) pending.audio = null;
    }
    refresh();
  });

  // A changed name or urgency is sent again on the next try.
  name.addEventListener('input', () => pending && (pending.id = null));
  urgent.addEventListener('change', () => pending && (pending.urg = null));
  type.addEventListener('change', () => {
    // The type goes with "createtmp": a new number for another type.
    if (pending && pending.type !== type.value) pending = null;
    refresh();
  });

  const showProgress = (label, sent, total) => {
    progress.hidden = progressLabel.hidden = false;
    progressLabel.textContent = label;
    progress.max = total || 1;
    progress.value = sent;
  };

  async function run() {
    const a = audio();
    if (!a) return;
    if (!type.value && cat.types.length > 0) {
      say('Choisissez le type de document.', 'erreur');
      type.focus();
      return;
    }
    sending = true;
    refresh();
    const docName = name.value.replace(/[\r\n\t]+/g, ' ').trim();
    try {
      if (!pending) pending = { type: type.value };
      pending.failed = false;
      if (!pending.number) {
        say('Demande d\u2019un numéro de document…');
        const n = await api.nouveauNumero(type.value);
        pending.number = n;
      }
      if (pending.audio !== a.what) {
        say('Envoi de la dictée n° ' + pending.number + '…');
        const total = a.body.size !== undefined ? a.body.size : a.body.length;
        showProgress('Envoi de la dictée', 0, total);
        await uploadFile(pending.number, a.extension, a.body, (s, t) => showProgress('Envoi de la dictée', s, t));
        showProgress('Envoi de la dictée', total, total);
        pending.audio = a.what;
      }
      if (docName && pending.id !== docName) {
        await uploadFile(pending.number, '.id', toWindows1252(docName + '\r\n'));
        pending.id = docName;
      }
      const urg = urgent.checked ? 'URGENT' : '';
      if (urg && pending.urg !== urg) {
        await uploadFile(pending.number, '.urg', new TextEncoder().encode(urg + '\r\n'));
        pending.urg = urg;
      }
      say('Remise en transcription…');
      await api.commande('finished', '', pending.number);
      const n = pending.number;
      pending = null;
      // Where the document went, as Guichet sees it.
      let stage = '';
      try {
        const [doc] = await api.documents(n);
        if (doc) stage = doc.libelleEtape;
      } catch (e) {
        // the stage list is a help here; "finished" itself went through
      }
      sending = false;
      done(n, urg !== '', stage);
    } catch (e) {
      sending = false;
      if (e instanceof api.SessionExpiree || (e instanceof UploadError && e.status === 401)) {
        if (recording) conserve = { recording, type: type.value, name: name.value, urgent: urgent.checked };
        app.sessionTerminee();
        return;
      }
      pending.failed = true;
      progress.hidden = progressLabel.hidden = true;
      say(e instanceof UploadError ? e.message : 'L\u2019envoi n\u2019a pas abouti : ' + e.message + '. Réessayez.', 'erreur');
      refresh();
      retry.focus();
    }
  }

  function done(number, wasUrgent, stage) {
    forgetRecording();
    file.value = '';
    name.value = '';
    urgent.checked = false;
    progress.hidden = progressLabel.hidden = true;
    recState.textContent = 'Prêt à enregistrer.';
    message.replaceChildren(
      'Dictée n° ' + number + (wasUrgent ? ' (urgente)' : '') + ' envoyée. ' +
        (stage ? 'État : ' + stage.toLowerCase() + '. ' : 'Elle part en transcription. '),
      el('a', { href: '#/documents', text: 'Voir mes documents' }),
    );
    message.className = 'annonce-succes';
    message.setAttribute('role', 'status');
    refresh();
    message.querySelector('a').focus();
  }

  form.addEventListener('submit', (e) => {
    e.preventDefault();
    if (!sending) run();
  });
  retry.addEventListener('click', () => {
    if (!sending) run();
  });

  // Closing or reloading the page would lose a recording not sent yet: the browser asks.
  const warn = (e) => {
    if (recorder || recording) e.preventDefault();
  };
  window.addEventListener('beforeunload', warn);
  // Leaving the view while recording closes the microphone.
  window.addEventListener(
    'hashchange',
    () => {
      window.removeEventListener('beforeunload', warn);
      if (recorder) recorder.release();
      if (listenUrl) URL.revokeObjectURL(listenUrl);
    },
    { once: true },
  );
  if (conserve) {
    const kept = conserve;
    conserve = null;
    if ([...type.options].some((o) => o.value === kept.type)) type.value = kept.type;
    name.value = kept.name;
    urgent.checked = kept.urgent;
    useRecording(kept.recording);
    say('Votre enregistrement (' + clock(kept.recording.seconds) + ') a été conservé : vous pouvez l\u2019envoyer.');
  }
  refresh();
}
