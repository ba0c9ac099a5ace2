// Writes a dictation the way Guichet stores it: one channel of 16-bit samples at 11025 Hz,
// big-endian behind a CAF header of exactly 4096 bytes (the same bytes as Guichet's own
// CAF writer: "desc", a "free" chunk that fills the header, then a "data" chunk whose
// length is left open, so it runs to the end of the file). Guichet never reads the header
// back: it takes the samples from byte 4096 on. Also a WAV of the same samples, which the
// browser can play (it plays no CAF) so the author listens before sending.

export const SAMPLE_RATE = 11025;
export const CAF_HEADER_BYTES = 4096;
const WAV_HEADER_BYTES = 44;

function ascii(view, offset, text) {
  for (let i = 0; i < text.length; i++) view.setUint8(offset + i, text.charCodeAt(i));
}

// The 4096-byte header, all numbers big-endian.
export function cafHeader() {
  const bytes = new Uint8Array(CAF_HEADER_BYTES);
  const v = new DataView(bytes.buffer);
  ascii(v, 0, 'caff');
  v.setUint16(4, 1); // file version
  v.setUint16(6, 0); // file flags
  ascii(v, 8, 'desc');
  v.setBigUint64(12, 32n);
  v.setFloat64(20, SAMPLE_RATE);
  ascii(v, 28, 'lpcm');
  v.setUint32(32, 0); // integer samples, big-endian
  v.setUint32(36, 2); // bytes per packet
  v.setUint32(40, 1); // frames per packet
  v.setUint32(44, 1); // channels
  v.setUint32(48, 16); // bits per channel
  ascii(v, 52, 'free');
  v.setBigUint64(56, 4016n); // zeros up to byte 4080
  ascii(v, 4080, 'data');
  v.setBigUint64(4084, 0xffffffffffffffffn); // length not given
  v.setUint32(4092, 1); // edit count
  return bytes;
}

// Float samples (-1..1) to 16-bit integers, clipped.
export function toInt16(samples) {
  const out = new Int16Array(samples.length);
  for (let i = 0; i < samples.length; i++) {
    const s = Math.max(-1, Math.min(1, samples[i]));
    out[i] = Math.round(s < 0 ? s * 32768 : s * 32767);
  }
  return out;
}

function sampleBytes(int16, littleEndian, offset, total) {
  const bytes = new Uint8Array(total);
  const v = new DataView(bytes.buffer);
  for (let i = 0; i < int16.length; i++) v.setInt16(offset + 2 * i, int16[i], littleEndian);
  return bytes;
}

// The CAF file of 16-bit samples at 11025 Hz.
export function cafBytes(int16) {
  const bytes = sampleBytes(int16, false, CAF_HEADER_BYTES, CAF_HEADER_BYTES + 2 * int16.length);
  bytes.set(cafHeader(), 0);
  return bytes;
}

// The WAV file of the same samples, for listening in the page.
export function wavBytes(int16) {
  const n = 2 * int16.length;
  const bytes = sampleBytes(int16, true, WAV_HEADER_BYTES, WAV_HEADER_BYTES + n);
  const v = new DataView(bytes.buffer);
  ascii(v, 0, 'RIFF');
  v.setUint32(4, n + 36, true);
  ascii(v, 8, 'WAVE');
  ascii(v, 12, 'fmt ');
  v.setUint32(16, 16, true);
  v.setUint16(20, 1, true); // PCM
  v.setUint16(22, 1, true);
  v.setUint32(24, SAMPLE_RATE, true);
  v.setUint32(28, 2 * SAMPLE_RATE, true);
  v.setUint16(32, 2, true);
  v.setUint16(34, 16, true);
  ascii(v, 36, 'data');
  v.setUint32(40, n, true);
  return bytes;
}

// Resamples mono float samples taken at `rate` to 11025 Hz with the browser's own
// resampler (an offline audio graph rendered at 11025 Hz). A browser that renders no
// graph at that rate gets a plain one: each output sample the mean of the input samples
// it covers (a crude low-pass against aliasing), read by linear interpolation.
export async function resample(samples, rate) {
  if (samples.length === 0) return new Float32Array(0);
  if (rate === SAMPLE_RATE) return samples;
  const frames = Math.max(1, Math.round((samples.length * SAMPLE_RATE) / rate));
  let offline;
  try {
    offline = new OfflineAudioContext(1, frames, SAMPLE_RATE);
  } catch (e) {
    return plainResample(samples, rate, frames);
  }
  const buffer = offline.createBuffer(1, samples.length, rate);
  buffer.copyToChannel(samples, 0);
  const source = offline.createBufferSource();
  source.buffer = buffer;
  source.connect(offline.destination);
  source.start();
  const rendered = await offline.startRendering();
  return rendered.getChannelData(0);
}

export function plainResample(samples, rate, frames) {
  const out = new Float32Array(frames);
  const step = rate / SAMPLE_RATE;
  const half = Math.max(0, Math.floor(step / 2));
  for (let i = 0; i < frames; i++) {
    const at = i * step;
    const j = Math.floor(at);
    let sum = 0;
    let n = 0;
    for (let k = Math.max(0, j - half); k <= Math.min(samples.length - 1, j + half); k++, n++) sum += samples[k];
    const next = Math.min(samples.length - 1, j + 1);
    const lerp = samples[j] + (samples[next] - samples[j]) * (at - j);
    out[i] = n > 1 ? sum / n : lerp;
  }
  return out;
}
