// Audio worklet of the recorder: hands the microphone's first channel to the page in
// blocks of about 2048 frames (a message every render quantum would be too many).
class GuichetCapture extends AudioWorkletProcessor {
  constructor() {
    super();
    this.block = new Float32Array(2048);
    this.filled = 0;
    // "flush": the part block goes too, marked as the last one.
    this.port.onmessage = (e) => {
      if (e.data === 'flush') this.flush(true);
    };
  }

  flush(last) {
    const out = this.block.slice(0, this.filled);
    this.filled = 0;
    this.port.postMessage(last ? { last: out } : out, [out.buffer]);
  }

  process(inputs) {
    const channel = inputs[0] && inputs[0][0];
    if (channel) {
      let i = 0;
      while (i < channel.length) {
        const take = Math.min(channel.length - i, this.block.length - this.filled);
        this.block.set(channel.subarray(i, i + take), this.filled);
        this.filled += take;
        i += take;
        if (this.filled === this.block.length) this.flush(false);
      }
    }
    return true;
  }
}

registerProcessor('guichet-capture', GuichetCapture);
