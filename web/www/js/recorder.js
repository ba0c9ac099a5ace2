// Records the microphone in the page: start, pause, resume, stop. The samples are kept as
// the browser gives them (first channel, at the audio device's rate) and resampled to
// Guichet's 11025 Hz once, at the end. While recording, `onLevel(0..1)` is told the peak
// level of each block (for a meter) and `onTime(seconds)` the length recorded so far,
// pauses left out.

import { resample, toInt16 } from './cafwriter.js';

// Why the microphone could not be opened, in the author's words.
export function microphoneMessage(error) {
  const name = error && error.name;
  if (name === 'NotAllowedError' || name === 'SecurityError')
    return 'L\u2019accès au micro a été refusé. Autorisez le micro pour ce site dans le navigateur, puis réessayez.';
  if (name === 'NotFoundError' || name === 'OverconstrainedError')
    return 'Aucun micro n\u2019a été trouvé sur cet appareil.';
  if (name === 'NotReadableError' || name === 'AbortError')
    return 'Le micro est occupé par un autre programme ou ne répond pas.';
  if (!navigator.mediaDevices || !window.isSecureContext)
    return 'Le navigateur ne donne le micro qu\u2019à une page sûre (https, ou localhost).';
  return 'Le micro n\u2019a pas pu être ouvert' + (error && error.message ? ' : ' + error.message : '.');
}

export class Recorder {
  constructor({ onLevel = () => {}, onTime = () => {} } = {}) {
    this.onLevel = onLevel;
    this.onTime = onTime;
    this.chunks = [];
    this.frames = 0;
    this.state = 'inactive'; // inactive, recording, paused, stopped
  }

  get seconds() {
    return this.rate ? this.frames / this.rate : 0;
  }

  // Opens the microphone and starts recording; throws what getUserMedia threw. Call it
  // straight from the click: the audio context is made before anything is awaited, while
  // the click still counts as the author's gesture (tablets start no audio without one).
  async start() {
    if (!navigator.mediaDevices || !navigator.mediaDevices.getUserMedia) {
      const e = new Error('getUserMedia');
      e.name = 'SecurityError';
      throw e;
    }
    this.context = new AudioContext();
    const running = this.context.resume().catch(() => {});
    try {
      this.stream = await navigator.mediaDevices.getUserMedia({
        audio: { channelCount: 1, echoCancellation: false, noiseSuppression: false, autoGainControl: false },
      });
      await this.context.audioWorklet.addModule(new URL('./capture-worklet.js', import.meta.url));
      this.rate = this.context.sampleRate;
      const source = this.context.createMediaStreamSource(this.stream);
      this.node = new AudioWorkletNode(this.context, 'guichet-capture', { numberOfOutputs: 1 });
      this.node.port.onmessage = (e) => this.take(e.data);
      // A silent path to the output keeps the graph running.
      const mute = this.context.createGain();
      mute.gain.value = 0;
      source.connect(this.node).connect(mute).connect(this.context.destination);
      await running;
      if (this.context.state !== 'running') await this.context.resume();
    } catch (e) {
      this.release();
      throw e;
    }
    this.state = 'recording';
    this.onTime(0);
  }

  take(block) {
    const last = block.last;
    if (this.state === 'recording') this.keep(last || block);
    if (last && this.flushed) {
      const done = this.flushed;
      this.flushed = null;
      done();
    }
  }

  keep(block) {
    if (block.length === 0) return;
    this.chunks.push(block);
    this.frames += block.length;
    let peak = 0;
    for (let i = 0; i < block.length; i++) peak = Math.max(peak, Math.abs(block[i]));
    // -60 dB .. 0 dB onto 0 .. 1
    const db = peak > 0 ? 20 * Math.log10(peak) : -100;
    this.onLevel(Math.max(0, Math.min(1, (db + 60) / 60)));
    this.onTime(this.seconds);
  }

  pause() {
    if (this.state !== 'recording') return;
    this.state = 'paused';
    this.onLevel(0);
  }

  resume() {
    if (this.state !== 'paused') return;
    this.state = 'recording';
  }

  // Stops, closes the microphone and returns the recording as 16-bit samples at 11025 Hz.
  async stop() {
    if (this.state === 'recording' && this.node) {
      // The block the worklet is filling goes too.
      await new Promise((resolve) => {
        this.flushed = resolve;
        this.node.port.postMessage('flush');
        setTimeout(() => {
          if (this.flushed === resolve) {
            this.flushed = null;
            resolve();
          }
        }, 300);
      });
    }
    this.state = 'stopped';
    this.onLevel(0);
    this.release();
    const all = new Float32Array(this.frames);
    let at = 0;
    for (const c of this.chunks) {
      all.set(c, at);
      at += c.length;
    }
    this.chunks = [];
    return toInt16(await resample(all, this.rate));
  }

  release() {
    if (this.stream) this.stream.getTracks().forEach((t) => t.stop());
    if (this.context && this.context.state !== 'closed') this.context.close().catch(() => {});
    this.stream = null;
    this.node = null;
  }
}
