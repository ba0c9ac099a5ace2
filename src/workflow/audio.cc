#include "workflow/audio.h"

#include <algorithm>
#include <cstring>

#include "core/guichet.h"
#include "core/radiveve.h"
#include "platform/env.h"
#include "support/filenames.h"
#include "support/text.h"
#include "workflow/stage_files.h"

namespace guichet {
namespace {

constexpr int64_t kCopyBlock = 1 << 20;

void PutBe(std::string& out, size_t at, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) out[at + i] = static_cast<char>(v & 0xFF);
}

void PutLe(std::string& out, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i, v >>= 8) out[at + i] = static_cast<char>(v & 0xFF);
}

// base, when `p` ends in `ext` (4 characters, compared in lower case) and is longer.
bool BaseOf(const std::string& p, const char* ext, std::string* base) {
  if (p.size() < 5 || ToLower(p.substr(p.size() - 4)) != ext) return false;
  *base = p.substr(0, p.size() - 4);
  return true;
}

// Copies `from` to `to` and deletes `from` only once the copy has its length.
bool CopyThenDelete(Env& env, const std::string& from, const std::string& to) {
  FileInfo a, b;
  if (!env.GetFileInfo(from, &a).ok()) return false;
  if (!env.CopyFile(from, to).ok()) return false;
  if (!env.GetFileInfo(to, &b).ok() || b.size != a.size) return false;
  return env.DeleteFile(from).ok();
}

int16_t CopyInv(Guichet& g, const std::string& source, const std::string& s_off,
                const std::string& dest, const std::string& d_off, int64_t n) {
  Status s = g.env.ChangeDir(g.AppFolder);
  if (!s.ok()) g.EcritLog("CopyInv : " + s.Description() + " (" + g.AppFolder + ")");
  return CallRadiveve(g.AppFolder, 6, "copyinv", {source, s_off, dest, d_off, Dec(n)});
}

std::string CopyInvMessage(int16_t r) {
  return W("Radiveve copyinv a retourné ") + Dec(r) +
         W(" (dll probablement pas à jour dans client et administrateur). La conversion "
           "caf=>wav sera lente.");
}

// Makes base + ".caf" from base + ".wav", the second half of a Speex conversion. A CAF
// that cannot be written (a link or a folder in its place) stops it with a log line: the
// samples are never copied into whatever the name leads to.
void CafFromWav(Guichet& g, const std::string& base) {
  const std::string wav = base + ".wav", caf = base + ".caf";
  int64_t n = std::max<int64_t>(FileLen(g.env, wav) - kWavHeaderSize, 0);
  // A former CAF is replaced, not overwritten in place: no old samples stay behind.
  Status s = g.env.WriteFile(caf, CafHeader());
  if (!s.ok()) {
    WriteWorkflowLog(g, "ConvertirSpx : " + s.Description() + " (" + caf + ")");
    return;
  }
  int16_t r = CopyInv(g, wav, "44", caf, "4096", n);
  if (r != 0) {
    g.EcritLog(CopyInvMessage(r));
    s = SlowSwapCopy(g.env, wav, kWavHeaderSize, caf, kCafHeaderSize, n);
    if (!s.ok()) g.EcritLog("ConvertirSpx : " + s.Description() + " (" + s.path() + ")");
  }
}

}  // namespace

std::string CafHeader() {
  std::string h(kCafHeaderSize, '\0');
  std::memcpy(&h[0], "caff", 4);
  PutBe(h, 4, 1, 2);  // file version
  PutBe(h, 6, 0, 2);  // file flags
  std::memcpy(&h[8], "desc", 4);
  PutBe(h, 12, 32, 8);
  double rate = 11025.0;
  uint64_t bits;
  std::memcpy(&bits, &rate, sizeof bits);
  PutBe(h, 20, bits, 8);
  std::memcpy(&h[28], "lpcm", 4);
  PutBe(h, 32, 0, 4);   // integer samples, big-endian
  PutBe(h, 36, 2, 4);   // bytes per packet
  PutBe(h, 40, 1, 4);   // frames per packet
  PutBe(h, 44, 1, 4);   // channels per frame
  PutBe(h, 48, 16, 4);  // bits per channel
  std::memcpy(&h[52], "free", 4);
  PutBe(h, 56, 4016, 8);
  std::memcpy(&h[4080], "data", 4);
  PutBe(h, 4084, ~uint64_t{0}, 8);  // length not given: runs to the end of the file
  PutBe(h, 4092, 1, 4);             // edit count
  return h;
}

std::string WavHeader(int64_t n) {
  std::string h(kWavHeaderSize, '\0');
  uint32_t data = static_cast<uint32_t>(std::clamp<int64_t>(n, 0, 0xFFFFFFFFll - 36));
  std::memcpy(&h[0], "RIFF", 4);
  PutLe(h, 4, data + 36, 4);
  std::memcpy(&h[8], "WAVE", 4);
  std::memcpy(&h[12], "fmt ", 4);
  PutLe(h, 16, 16, 4);
  PutLe(h, 20, 1, 2);  // PCM
  PutLe(h, 22, 1, 2);  // channels
  PutLe(h, 24, 11025, 4);
  PutLe(h, 28, 22050, 4);
  PutLe(h, 32, 2, 2);
  PutLe(h, 34, 16, 2);
  std::memcpy(&h[36], "data", 4);
  PutLe(h, 40, data, 4);
  return h;
}

Status SlowSwapCopy(Env& env, const std::string& source, int64_t s, const std::string& dest,
                    int64_t d, int64_t n) {
  std::string data;
  Status st = env.ReadFile(source, &data);
  if (!st.ok()) return st;
  if (s < 0 || d < 0 || n <= 0 || s >= static_cast<int64_t>(data.size())) return Status::Ok();
  n = std::min<int64_t>(n, static_cast<int64_t>(data.size()) - s);
  char* p = data.data() + s;
  for (int64_t i = 0; i + 1 < n; i += 2) std::swap(p[i], p[i + 1]);
  for (int64_t done = 0; done < n; done += kCopyBlock) {
    int64_t len = std::min(kCopyBlock, n - done);
    st = env.WriteAt(dest, d + done, std::string_view(p + done, static_cast<size_t>(len)));
    if (!st.ok()) return st;
  }
  return Status::Ok();
}

void ConvertirSpx(Guichet& g, const std::string& p) {
  // A conversion cut short is finished by a later move cycle (FinishConversions); the move goes
  // on.
  SkipOnFailure([&] {
    std::string base;
    if (!BaseOf(p, ".spx", &base)) return;
    const std::string spx = base + ".spx", wav = base + ".wav", caf = base + ".caf";

    Status cd = g.env.ChangeDir(g.AppFolder);
    if (!cd.ok()) g.EcritLog("ConvertirSpx : " + cd.Description() + " (" + g.AppFolder + ")");
    int16_t r = CallRadiveve(g.AppFolder, 3, "speexdec", {spx, wav});
    if (r != 0) {
      WriteWorkflowLog(g, W("Radiveve speexdec a retourné ") + Dec(r) +
                              W(" (dll probablement pas à jour dans administrateur). La "
                                "conversion spx=>wav+caf a échoué."));
      return;
    }
    // The Speex file goes only once its ".spx.old" copy is whole.
    CopyThenDelete(g.env, spx, base + ".spx.old");
    CafFromWav(g, base);
  });
}

void ConvertirCaf(Guichet& g, const std::string& p) {
  // A conversion cut short is finished by a later move cycle (FinishConversions); the move goes
  // on.
  SkipOnFailure([&] {
    std::string base;
    if (!BaseOf(p, ".caf", &base)) return;
    const std::string caf = base + ".caf", wav = base + ".wav";
    const int64_t caf_len = FileLen(g.env, caf);
    if (caf_len <= kCafHeaderSize) return;

    // A former WAV goes only once its ".wav.bak" copy is whole; when that fails the
    // former WAV stays and no new one is made over it.
    if (g.env.FileExists(wav) && !CopyThenDelete(g.env, wav, wav + ".bak")) {
      WriteWorkflowLog(g, "Can't copy " + wav);
      return;
    }

    const int64_t n = caf_len - kCafHeaderSize;
    Status s = g.env.WriteFile(wav, WavHeader(n));
    if (!s.ok()) {
      // A folder or a link in the WAV's place: the conversion stops here, with a trace.
      WriteWorkflowLog(g, "ConvertirCaf : " + s.Description() + " (" + wav + ")");
      return;
    }
    int16_t r = CopyInv(g, caf, "4096", wav, "44", n);
    if (r != 0) {
      WriteWorkflowLog(g, CopyInvMessage(r));
      s = SlowSwapCopy(g.env, caf, kCafHeaderSize, wav, kWavHeaderSize, n);
      if (!s.ok()) g.EcritLog("ConvertirCaf : " + s.Description() + " (" + s.path() + ")");
    }
  });
}

bool AudioConverted(Env& env, const std::string& base) {
  const int64_t caf = FileLen(env, base + ".caf");
  return env.FileExists(base + ".wav") && caf > kCafHeaderSize &&
         FileLen(env, base + ".wav") - kWavHeaderSize == caf - kCafHeaderSize;
}

void FinishConversions(Guichet& g, const std::string& folder, const std::string& id,
                       const std::vector<std::string>& deja) {
  // What cannot be finished now is tried again by the next move cycle.
  SkipOnFailure([&] {
    // The dictations the caller converted just now, as names without ".spx" or ".caf":
    // their outputs are left alone too.
    std::vector<std::string> converted;
    for (const std::string& n : deja) {
      std::string stem;
      if (BaseOf(n, ".spx", &stem) || BaseOf(n, ".caf", &stem)) converted.push_back(stem);
    }
    auto pending = [&](const char* ext) {
      std::vector<std::string> names, out;
      // A folder that cannot be listed leaves nothing to finish on this pass.
      IgnoreFailure(g.env.ListFiles(folder, DocumentFileName(id, ext), &names));
      const size_t cut = std::string(ext).size();
      for (const std::string& n : names) {
        const std::string stem = n.substr(0, n.size() - cut);
        if (std::find(converted.begin(), converted.end(), stem) == converted.end())
          out.push_back(n);
      }
      return out;
    };
    // A Speex file still there was never converted, or its conversion was cut short
    // before its ".spx.old" was whole: the conversion starts again from it.
    for (const std::string& n : pending(".spx")) ConvertirSpx(g, folder + "/" + n);
    // A Speex conversion stopped after its ".spx.old" was whole, while the CAF was being
    // made from the decoded WAV (which was whole before the Speex file went).
    for (const std::string& n : pending(".spx.old")) {
      const std::string base = folder + "/" + n.substr(0, n.size() - 8);
      if (!AudioConverted(g.env, base) && FileLen(g.env, base + ".wav") > kWavHeaderSize)
        CafFromWav(g, base);
    }
    for (const std::string& n : pending(".caf")) {
      const std::string base = folder + "/" + n.substr(0, n.size() - 4);
      if (AudioConverted(g.env, base) || g.env.FileExists(base + ".spx.old")) continue;
      // The WAV was being made from this CAF. When the former WAV already went to its
      // backup, what stands under the WAV's name is the half-made one: it goes, so the
      // backup is not replaced by it.
      // A half-made WAV that stays is replaced by the conversion below.
      if (g.env.FileExists(base + ".wav.bak")) IgnoreFailure(g.env.DeleteFile(base + ".wav"));
      ConvertirCaf(g, folder + "/" + n);
    }
  });
}

}  // namespace guichet
