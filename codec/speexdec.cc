// "speexdec": decodes a dictation recorded as Ogg Speex into a WAV file of 16-bit mono
// samples at 11025 Hz, the one audio form Guichet handles.
//
// For an 11025 Hz mono stream the samples are exactly those of the usual command-line
// decoder with its default settings: perceptual enhancement on, the encoder's lookahead cut
// from the start and the padding of the last packet cut from the end, both worked out from
// the granule positions of the Ogg pages. Streams at other rates are resampled to 11025 Hz
// and stereo streams are mixed down to one channel, so that the rate the WAV declares is
// true. Only the first Speex stream of the file is decoded; other logical streams (a
// skeleton, a second chained stream) are ignored.
#include <ogg/ogg.h>
#include <speex/speex.h>
#include <speex/speex_callbacks.h>
#include <speex/speex_header.h>
#include <speex/speex_resampler.h>
#include <speex/speex_stereo.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec.h"
#include "files.h"

namespace radiveve {

namespace {

constexpr int kOutputRate = 11025;
constexpr int kMaxFramesPerPacket = 100;
constexpr int kMaxExtraHeaders = 1024;
constexpr size_t kReadBlock = 64 * 1024;
constexpr size_t kWavHeaderSize = 44;
constexpr uint64_t kMaxWavData = 0xFFFFFFFFull - 36;

void PutLe16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void PutLe32(unsigned char* p, uint32_t v) {
  PutLe16(p, v);
  PutLe16(p + 2, v >> 16);
}

// Writes the WAV under a temporary name beside its final path; Commit() writes the header
// (now that the data length is known) and renames it into place. Destroyed without a
// commit, it removes the temporary file.
class WavWriter {
 public:
  explicit WavWriter(std::string finalPath) : finalPath_(std::move(finalPath)) {}
  ~WavWriter() {
    if (fd_ >= 0) ::close(fd_);
    if (!tempPath_.empty()) RemoveFile(tempPath_);
  }

  Code Open() {
    fd_ = CreateTemporaryFor(finalPath_, &tempPath_);
    if (fd_ < 0) {
      tempPath_.clear();
      return kCannotOpenOutput;
    }
    buffer_.assign(kWavHeaderSize, 0);  // the header is filled in by Commit()
    return kOk;
  }

  Code Add(const int16_t* samples, size_t count) {
    dataBytes_ += 2 * static_cast<uint64_t>(count);
    if (dataBytes_ > kMaxWavData) return kAudioTooLong;
    for (size_t i = 0; i < count; ++i) {
      uint16_t v = static_cast<uint16_t>(samples[i]);
      buffer_.push_back(static_cast<unsigned char>(v));
      buffer_.push_back(static_cast<unsigned char>(v >> 8));
    }
    if (buffer_.size() >= kReadBlock) return Flush();
    return kOk;
  }

  Code Commit() {
    if (Code c = Flush(); c != kOk) return c;
    unsigned char h[kWavHeaderSize];
    uint32_t n = static_cast<uint32_t>(dataBytes_);
    std::memcpy(h, "RIFF", 4);
    PutLe32(h + 4, n + 36);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    PutLe32(h + 16, 16);
    PutLe16(h + 20, 1);  // PCM
    PutLe16(h + 22, 1);  // one channel
    PutLe32(h + 24, kOutputRate);
    PutLe32(h + 28, kOutputRate * 2);
    PutLe16(h + 32, 2);
    PutLe16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    PutLe32(h + 40, n);
    if (!WriteFullAt(fd_, h, sizeof h, 0)) return kWriteFailed;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return kWriteFailed;
    if (!RenameOver(tempPath_, finalPath_)) return kCannotOpenOutput;
    tempPath_.clear();
    return kOk;
  }

 private:
  Code Flush() {
    if (!buffer_.empty() && !WriteFull(fd_, buffer_.data(), buffer_.size())) return kWriteFailed;
    buffer_.clear();
    return kOk;
  }

  std::string finalPath_;
  std::string tempPath_;
  int fd_ = -1;
  std::vector<unsigned char> buffer_;
  uint64_t dataBytes_ = 0;
};

// Takes the decoded mono samples at the stream's rate and hands them to the WAV at 11025
// Hz, through libspeexdsp's resampler when the rates differ. The resampler's delay is
// removed at the start (skip_zeros) and flushed at the end, and the output is cut to the
// length that matches the input's duration.
class RateConverter {
 public:
  explicit RateConverter(WavWriter* wav) : wav_(wav) {}
  ~RateConverter() {
    if (resampler_ != nullptr) speex_resampler_destroy(resampler_);
  }

  Code Start(int inputRate) {
    inputRate_ = inputRate;
    if (inputRate == kOutputRate) return kOk;
    int err = 0;
    resampler_ = speex_resampler_init(1, static_cast<spx_uint32_t>(inputRate), kOutputRate,
                                      SPEEX_RESAMPLER_QUALITY_DEFAULT + 1, &err);
    if (resampler_ == nullptr || err != RESAMPLER_ERR_SUCCESS) return kDecoderSetup;
    speex_resampler_skip_zeros(resampler_);
    return kOk;
  }

  Code Add(const int16_t* samples, size_t count) {
    inputCount_ += count;
    if (resampler_ == nullptr) return wav_->Add(samples, count);
    return Resample(samples, count);
  }

  Code Finish() {
    if (resampler_ == nullptr) return kOk;
    std::vector<int16_t> zeros(static_cast<size_t>(speex_resampler_get_input_latency(resampler_)));
    return Resample(zeros.data(), zeros.size());
  }

 private:
  Code Resample(const int16_t* samples, size_t count) {
    // Output never goes beyond the duration of the input taken so far.
    uint64_t wanted = (inputCount_ * kOutputRate + inputRate_ / 2) / inputRate_;
    while (count > 0) {
      spx_uint32_t inLen = static_cast<spx_uint32_t>(count < 4096 ? count : 4096);
      spx_uint32_t outLen = static_cast<spx_uint32_t>(out_.size());
      if (speex_resampler_process_int(resampler_, 0, samples, &inLen, out_.data(), &outLen) !=
          RESAMPLER_ERR_SUCCESS)
        return kDecoderSetup;
      samples += inLen;
      count -= inLen;
      size_t keep = outLen;
      if (outputCount_ + keep > wanted) keep = static_cast<size_t>(wanted - outputCount_);
      outputCount_ += keep;
      if (Code c = wav_->Add(out_.data(), keep); c != kOk) return c;
      if (inLen == 0 && outLen == 0) break;  // cannot happen; guards against a stall
    }
    return kOk;
  }

  WavWriter* wav_;
  SpeexResamplerState* resampler_ = nullptr;
  uint64_t inputRate_ = kOutputRate;
  uint64_t inputCount_ = 0;
  uint64_t outputCount_ = 0;
  std::vector<int16_t> out_ = std::vector<int16_t>(8192);
};

// The libogg and libspeex states of one decoding, released in every case.
struct DecoderStates {
  ogg_sync_state sync;
  ogg_stream_state stream;
  bool streamInit = false;
  SpeexBits bits;
  void* decoder = nullptr;
  SpeexStereoState* stereo = nullptr;

  DecoderStates() {
    ogg_sync_init(&sync);
    speex_bits_init(&bits);
  }
  ~DecoderStates() {
    if (decoder != nullptr) speex_decoder_destroy(decoder);
    if (stereo != nullptr) speex_stereo_state_destroy(stereo);
    speex_bits_destroy(&bits);
    if (streamInit) ogg_stream_clear(&stream);
    ogg_sync_clear(&sync);
  }
};

bool IsSpeexHeaderPacket(const ogg_packet& op) {
  return op.bytes >= 8 && std::memcmp(op.packet, "Speex   ", 8) == 0;
}

class SpeexFileDecoder {
 public:
  explicit SpeexFileDecoder(WavWriter* wav) : wav_(wav), converter_(wav) {}

  Code Run(int in) {
    for (;;) {
      char* buffer = ogg_sync_buffer(&s_.sync, kReadBlock);
      if (buffer == nullptr) return kInternal;
      ssize_t n = ReadFull(in, buffer, kReadBlock);
      if (n < 0) return kReadFailed;
      if (ogg_sync_wrote(&s_.sync, n) != 0) return kInternal;
      if (!sawStart_ && n > 0) {
        sawStart_ = true;
        startsAsOgg_ = n >= 4 && std::memcmp(buffer, "OggS", 4) == 0;
      }
      for (;;) {
        ogg_page og;
        int r = ogg_sync_pageout(&s_.sync, &og);
        if (r == 0) break;
        ++pages_;
        if (r < 0) {
          // Bytes that are not a valid page: tolerated before the stream starts (a reader
          // skips leading junk), a lost or damaged page once it has started.
          if (s_.streamInit) return kDamagedStream;
          continue;
        }
        if (Code c = TakePage(&og); c != kOk) return c;
        if (eos_) return Finish();
      }
      if (n == 0) break;
    }
    // An Ogg file cut inside its first page is a damaged file rather than a foreign one.
    if (!s_.streamInit) return startsAsOgg_ && pages_ == 0 ? kDamagedStream : kNotSpeex;
    return kDamagedStream;  // the file ended before the stream's last page
  }

 private:
  Code TakePage(ogg_page* og) {
    if (!s_.streamInit) {
      // Look for the first logical stream whose first packet is a Speex header.
      if (!ogg_page_bos(og)) return kOk;
      ogg_stream_state probe;
      ogg_stream_init(&probe, ogg_page_serialno(og));
      ogg_packet op;
      bool speex = ogg_stream_pagein(&probe, og) == 0 && ogg_stream_packetpeek(&probe, &op) == 1 &&
                   IsSpeexHeaderPacket(op);
      ogg_stream_clear(&probe);
      if (!speex) return kOk;
      ogg_stream_init(&s_.stream, ogg_page_serialno(og));
      s_.streamInit = true;
    }
    if (ogg_page_serialno(og) != s_.stream.serialno) return kOk;
    if (ogg_stream_pagein(&s_.stream, og) != 0) return kDamagedStream;

    // The granule position of a page counts the samples up to its last packet. On the
    // first audio page it falls short of the packets' samples by the encoder's lookahead,
    // on the last page by the padding: that difference is what gets cut.
    int64_t pageGranule = ogg_page_granulepos(og);
    pagePackets_ = ogg_page_packets(og);
    if (pageGranule > 0 && frameSize_ != 0) {
      // In 128 bits, so that absurd granules of a damaged file cannot overflow; anything
      // beyond a few packets is clamped, which cuts the same samples.
      __int128 skip = static_cast<__int128>(frameSize_) *
                      (static_cast<__int128>(pagePackets_) * frameSize_ * framesPerPacket_ -
                       (static_cast<__int128>(pageGranule) - lastGranule_)) /
                      frameSize_;
      const int64_t kLimit = int64_t{1} << 40;
      skipSamples_ = skip > kLimit ? kLimit : skip < -kLimit ? -kLimit : static_cast<int64_t>(skip);
      if (ogg_page_eos(og)) skipSamples_ = -skipSamples_;
    } else {
      skipSamples_ = 0;
    }
    lastGranule_ = pageGranule;

    int packetOnPage = 0;
    ogg_packet op;
    while (!eos_) {
      int r = ogg_stream_packetout(&s_.stream, &op);
      if (r == 0) break;
      if (r < 0) return kDamagedStream;  // a gap: a page of the stream is missing
      if (packetCount_ == 0) {
        if (Code c = TakeHeader(op); c != kOk) return c;
      } else if (packetCount_ > 1 + static_cast<int64_t>(extraHeaders_)) {
        ++packetOnPage;
        if (op.e_o_s) eos_ = true;
        if (Code c = DecodePacket(op, packetOnPage); c != kOk) return c;
      }
      // Packet 1 is the comment header, then come the extra headers: all skipped.
      ++packetCount_;
    }
    if (ogg_page_eos(og)) eos_ = true;
    return kOk;
  }

  Code TakeHeader(ogg_packet& op) {
    SpeexHeader* header =
        speex_packet_to_header(reinterpret_cast<char*>(op.packet), static_cast<int>(op.bytes));
    if (header == nullptr) return kBadSpeexHeader;
    SpeexHeader h = *header;
    speex_header_free(header);
    if (h.mode < 0 || h.mode >= SPEEX_NB_MODES || h.speex_version_id > 1) return kBadSpeexHeader;
    const SpeexMode* mode = speex_lib_get_mode(h.mode);
    if (mode == nullptr || mode->bitstream_version != h.mode_bitstream_version)
      return kBadSpeexHeader;
    if (h.nb_channels < 1 || h.nb_channels > 2) return kBadSpeexHeader;
    if (h.rate < 1000 || h.rate > 192000) return kBadSpeexHeader;
    if (h.frames_per_packet > kMaxFramesPerPacket || h.frames_per_packet < 0)
      return kBadSpeexHeader;
    // Real streams carry a handful of extra headers at most; a huge count would
    // overflow the packet arithmetic below.
    if (h.extra_headers < 0 || h.extra_headers > kMaxExtraHeaders) return kBadSpeexHeader;

    s_.decoder = speex_decoder_init(mode);
    if (s_.decoder == nullptr) return kDecoderSetup;
    int enhance = 1;
    speex_decoder_ctl(s_.decoder, SPEEX_SET_ENH, &enhance);
    speex_decoder_ctl(s_.decoder, SPEEX_GET_FRAME_SIZE, &frameSize_);
    spx_int32_t rate = h.rate;
    speex_decoder_ctl(s_.decoder, SPEEX_SET_SAMPLING_RATE, &rate);
    speex_decoder_ctl(s_.decoder, SPEEX_GET_LOOKAHEAD, &lookahead_);
    if (frameSize_ <= 0 || frameSize_ > 4096) return kDecoderSetup;
    framesPerPacket_ = h.frames_per_packet == 0 ? 1 : h.frames_per_packet;
    channels_ = h.nb_channels;
    extraHeaders_ = h.extra_headers;
    if (channels_ == 2) {
      // Stereo is carried in-band as intensity information beside the mono frame.
      s_.stereo = speex_stereo_state_init();
      if (s_.stereo == nullptr) return kDecoderSetup;
      SpeexCallback callback{};
      callback.callback_id = SPEEX_INBAND_STEREO;
      callback.func = speex_std_stereo_request_handler;
      callback.data = s_.stereo;
      speex_decoder_ctl(s_.decoder, SPEEX_SET_HANDLER, &callback);
    }
    frame_.assign(static_cast<size_t>(frameSize_) * 2, 0);
    mono_.assign(static_cast<size_t>(frameSize_), 0);
    return converter_.Start(h.rate);
  }

  Code DecodePacket(ogg_packet& op, int packetOnPage) {
    speex_bits_read_from(&s_.bits, reinterpret_cast<char*>(op.packet), static_cast<int>(op.bytes));
    for (int j = 0; j < framesPerPacket_; ++j) {
      int ret = speex_decode_int(s_.decoder, &s_.bits, frame_.data());
      if (ret == -1) break;  // no more frames in this packet
      if (ret == -2 || speex_bits_remaining(&s_.bits) < 0) return kDamagedStream;
      if (channels_ == 2) speex_decode_stereo_int(frame_.data(), frameSize_, s_.stereo);

      // Which part of this frame to keep: the start of the stream loses the lookahead of
      // the encoder and of the decoder, the last packet keeps only up to the end granule.
      int64_t offset = 0;
      int64_t keep = frameSize_;
      if (packetOnPage == 1 && j == 0 && skipSamples_ > 0) {
        keep -= skipSamples_ + lookahead_;
        offset = skipSamples_ + lookahead_;
      }
      if (packetOnPage == pagePackets_ && skipSamples_ < 0) {
        int64_t packetLength =
            static_cast<int64_t>(framesPerPacket_) * frameSize_ + skipSamples_ + lookahead_;
        keep = packetLength - static_cast<int64_t>(j) * frameSize_;
        if (keep < 0) keep = 0;
        if (keep > frameSize_) keep = frameSize_;
      }
      if (keep <= 0 || offset < 0 || offset + keep > frameSize_) continue;

      const int16_t* samples = frame_.data() + offset * channels_;
      if (channels_ == 2) {
        for (int64_t i = 0; i < keep; ++i)
          mono_[i] = static_cast<int16_t>(
              (static_cast<int32_t>(samples[2 * i]) + static_cast<int32_t>(samples[2 * i + 1])) >>
              1);
        samples = mono_.data();
      }
      if (Code c = converter_.Add(samples, static_cast<size_t>(keep)); c != kOk) return c;
    }
    return kOk;
  }

  Code Finish() {
    if (packetCount_ == 0) return kNotSpeex;
    if (Code c = converter_.Finish(); c != kOk) return c;
    return wav_->Commit();
  }

  WavWriter* wav_;
  RateConverter converter_;
  DecoderStates s_;
  std::vector<int16_t> frame_;
  std::vector<int16_t> mono_;
  spx_int32_t frameSize_ = 0;
  spx_int32_t lookahead_ = 0;
  int framesPerPacket_ = 1;
  int channels_ = 1;
  int extraHeaders_ = 0;
  int64_t packetCount_ = 0;
  int64_t lastGranule_ = 0;
  int64_t skipSamples_ = 0;
  int pagePackets_ = 0;
  bool eos_ = false;
  bool sawStart_ = false;
  bool startsAsOgg_ = false;
  int64_t pages_ = 0;
};

}  // namespace

Code SpeexDecCommand(const char* spxPath, const char* wavPath) {
  if (!Given(spxPath) || !Given(wavPath)) return kMissingArgument;
  Fd in(OpenRegularForRead(spxPath));
  if (!in.ok()) return kCannotOpenInput;
  WavWriter wav(wavPath);
  if (Code c = wav.Open(); c != kOk) return c;
  SpeexFileDecoder decoder(&wav);
  return decoder.Run(in.get());
}

}  // namespace radiveve
