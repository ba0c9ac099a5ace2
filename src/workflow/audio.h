// Audio conversion of dictations in a transcription folder: a Speex dictation becomes a
// WAV and a CAF file, a CAF dictation gets a WAV beside it. All audio is one channel of
// 16-bit samples at 11025 Hz; a WAV holds them little-endian behind a 44-byte header, a
// CAF big-endian behind a 4096-byte header, so converting between the two exchanges the
// bytes of every sample.
//
// Decoding and the fast byte-swapping copy are done by the codec library ("speexdec",
// "copyinv"); when its copy fails or the library cannot be loaded, the same copy is made
// here (SlowSwapCopy). Neither conversion raises: failures are logged and the files left as
// described below.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/env.h"

namespace guichet {

class Guichet;

inline constexpr int64_t kWavHeaderSize = 44;
inline constexpr int64_t kCafHeaderSize = 4096;

// The 4096-byte CAF header of 11025 Hz mono 16-bit big-endian samples whose data chunk
// runs to the end of the file.
std::string CafHeader();
// The 44-byte WAV header of 11025 Hz mono 16-bit PCM with `n` sample bytes.
std::string WavHeader(int64_t n);

// Copies `n` bytes of `source` from byte `s` into `dest` from byte `d`, exchanging the two
// bytes of every pair; with an odd count the last byte is copied unchanged (the result of
// "copyinv"). `dest` is not shortened. Copies only what the source holds past `s`.
Status SlowSwapCopy(Env& env, const std::string& source, int64_t s, const std::string& dest,
                    int64_t d, int64_t n);

// Converts the Speex file `p` (a path ending in ".spx", any case) into base + ".wav" and
// base + ".caf"; the Speex file is kept as base + ".spx.old".
void ConvertirSpx(Guichet& g, const std::string& p);

// Makes base + ".wav" from the CAF file `p` (a path ending in ".caf", any case); a former
// WAV is kept as base + ".wav.bak".
void ConvertirCaf(Guichet& g, const std::string& p);

// Whether base + ".wav" and base + ".caf" hold the same samples count, as after a whole
// conversion in either direction.
bool AudioConverted(Env& env, const std::string& base);

// Finishes the conversions of document `id` in `folder` that a former pass left undone
// (stopped by a kill, for example): a ".spx" still there is converted; a ".caf" without
// its matching ".wav" gets it, made from the WAV when the dictation came as Speex, from
// the CAF otherwise. Names in `deja` were converted by the caller and are left alone.
void FinishConversions(Guichet& g, const std::string& folder, const std::string& id,
                       const std::vector<std::string>& deja);

}  // namespace guichet
