// Internals of the codec library Radiveve.so: the failure codes every command returns and
// the three command procedures the exported entry point dispatches to.
//
// Every command returns 0 on success or one of the codes below. The codes are stable: Guichet
// writes them in decimal into its logs, so an administrator can look them up here.
//
//   0  success
//   1  unknown command word (command words are compared with exact case)
//   2  count does not match the command ("md5" 4, "copyinv" 6, "speexdec" 3)
//   3  a required argument is missing (null pointer or empty text)
//   4  a number argument is not a plain decimal text (digits only, no sign), or too large
//   5  the input file cannot be opened (missing, a folder, no permission)
//   6  the output file cannot be opened or created (for "copyinv": the destination
//      does not exist; it is never created)
//   7  reading the input failed
//   8  writing the output failed (disk full, I/O error); see each command for what is left
//   9  "copyinv": the source is shorter than offset + count
//  10  "speexdec": the file is not Ogg, or holds no Speex stream (an empty file included)
//  11  "speexdec": the Speex header is invalid or unsupported (mode, channels, rate)
//  12  "speexdec": the Speex stream is damaged or truncated (lost Ogg pages, bad page
//      checksum, no end-of-stream page, corrupt frames)
//  13  "speexdec": the decoder or the resampler could not be set up
//  14  "md5": the digest could not be computed (libcrypto failure)
//  15  "speexdec": the decoded audio is too long for a WAV file (over 4 GiB of samples)
//  99  unexpected internal failure (out of memory, or any other exception)
#pragma once

#include <cstdint>

namespace radiveve {

enum Code : int16_t {
  kOk = 0,
  kUnknownCommand = 1,
  kBadCount = 2,
  kMissingArgument = 3,
  kBadNumber = 4,
  kCannotOpenInput = 5,
  kCannotOpenOutput = 6,
  kReadFailed = 7,
  kWriteFailed = 8,
  kSourceTooShort = 9,
  kNotSpeex = 10,
  kBadSpeexHeader = 11,
  kDamagedStream = 12,
  kDecoderSetup = 13,
  kDigestFailed = 14,
  kAudioTooLong = 15,
  kInternal = 99,
};

// "md5": writes the lower-case hex MD5 digest of the bytes of `path` as the first line of
// `resultPath` (followed by CR LF), replacing that file. On failure no result file is
// written (a former one is left as it was).
Code Md5Command(const char* path, const char* resultPath);

// "copyinv": copies `count` bytes of `source` from `sourceOffset` into the existing file
// `dest` from `destOffset`, exchanging the two bytes of every 16-bit word; with an odd
// count the last byte is copied unchanged. The numbers are decimal texts. Every check
// (numbers, both files, the source's length) is made before the first byte is written, so
// a failure other than a write failure leaves `dest` untouched.
Code CopyInvCommand(const char* source, const char* sourceOffset, const char* dest,
                    const char* destOffset, const char* count);

// "speexdec": decodes the first Speex stream of the Ogg file `spxPath` into `wavPath` as a
// 44-byte WAV header followed by 16-bit little-endian mono samples at 11025 Hz. The WAV is
// written under a temporary name and renamed into place at the end, so a failure never
// leaves a partial WAV (and leaves a former file of that name untouched).
Code SpeexDecCommand(const char* spxPath, const char* wavPath);

// True when `s` is a usable argument (not null, not empty).
inline bool Given(const char* s) { return s != nullptr && s[0] != '\0'; }

}  // namespace radiveve
