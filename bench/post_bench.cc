// Speed of the upload assembly: a 100 MB document sent in pieces of 10,240 bytes, once
// in hexadecimal and once in Base64, assembled by the upload pickup; beside it, measured
// in the same run on the same piece files, the bare cost of reading the piece files and
// writing the document bytes. Then the time to order 10,000 waiting pieces.
//
// Works in a temporary folder in memory (/dev/shm) where the machine has one, else in the
// temporary folder: on disk, ext4's inode allocation after the deletions of earlier runs varies
// from one folder to the next and would hide what is compared. Prints its figures; takes no
// arguments.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/guichet.h"
#include "core/records.h"
#include "exchange/decode.h"
#include "exchange/post.h"
#include "platform/desktop.h"
#include "platform/env.h"
#include "platform/view.h"
#include "support/baselines.h"
#include "support/bench_os.h"
#include "support/text.h"

namespace fs = std::filesystem;
using namespace guichet;

namespace {

constexpr int64_t kPiece = 10240;
// 100 MB; POST_BENCH_PIECES in the environment sets another count (a multiple of kBatch,
// or fewer pieces than a batch, then all in one batch).
int64_t kPieces = 10240;
int64_t kDocument = kPiece * kPieces;
int64_t kBatch = 1024;    // pieces on disk at a time (10 MB of document)
constexpr int kRuns = 3;  // of the assembly and of the plain loop, the fastest kept

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Hex(const char* p, size_t n) {
  static const char* d = "0123456789ABCDEF";
  std::string out(2 * n, '\0');
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    out[2 * i] = d[c >> 4];
    out[2 * i + 1] = d[c & 15];
  }
  return out;
}

std::string Base64(const char* p, size_t n) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < n; i += 3) {
    unsigned v = static_cast<unsigned char>(p[i]) << 16 |
                 static_cast<unsigned char>(p[i + 1]) << 8 | static_cast<unsigned char>(p[i + 2]);
    out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], a[v & 63]};
  }
  if (i + 1 == n) {
    unsigned v = static_cast<unsigned char>(p[i]) << 16;
    out += {a[v >> 18], a[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == n) {
    unsigned v = static_cast<unsigned char>(p[i]) << 16 | static_cast<unsigned char>(p[i + 1]) << 8;
    out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
  }
  return out;
}

struct Site {
  std::string root, post;
  Env* env = Env::Default();
  std::unique_ptr<StatusView> view = MakeSilentView();
  std::unique_ptr<Desktop> desktop = MakeNoDesktop();
  std::unique_ptr<Guichet> g;

  Site() {
    root = bench::MakeTempFolder(bench::InMemoryOrTemp(), "guichet-bench-");
    for (const char* d : {"Guichet", "IsapiHalvero/post", "Tasks"})
      fs::create_directories(root + "/" + d);
    post = root + "/IsapiHalvero/post";
    g = std::make_unique<Guichet>(*env, *view, *desktop);
    g->AppFolder = root + "/Guichet";
    g->SpoolRoot = g->AppFolder + "/../IsapiHalvero";
    g->TasksFolder = g->AppFolder + "/../Tasks";
    g->CurrentSpoolRoot = g->SpoolRoot;
  }
  ~Site() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

// Writes the piece files of pieces [first, first + kBatch): ".txt" then ".rdy".
void WriteBatch(Site& s, const std::string& doc, int64_t first, bool base64, int id) {
  for (int64_t i = first; i < first + kBatch; ++i) {
    const char* p = doc.data() + i * kPiece;
    std::string line = "path=x&idexamen=" + std::to_string(id) +
                       "&extension=.spx&offset=" + std::to_string(i * kPiece) +
                       "&length=" + std::to_string(kPiece) +
                       "&totallength=" + std::to_string(kDocument) +
                       (base64 ? "&encoding=base64&data=" + Base64(p, kPiece)
                               : "&encoding=hex&data=" + Hex(p, kPiece)) +
                       "\r\n";
    // As the front end writes them: each file under a hidden name, then renamed into
    // place. A piece that cannot be written is missed by the assembly, which says so.
    const std::string name = std::to_string(100000 + i);
    for (const auto& [ending, content] : {std::pair{".txt", &line}, {".rdy", nullptr}}) {
      const std::string hidden = s.post + "/." + name + ending;
      if (std::FILE* f = std::fopen(hidden.c_str(), "wb")) {
        if (content != nullptr) std::fwrite(content->data(), 1, content->size(), f);
        std::fclose(f);
      }
      std::error_code ec;
      fs::rename(hidden, s.post + "/" + name + ending, ec);
    }
  }
}

// Assembles the whole document through the pickup; returns the seconds spent in it.
double Assemble(Site& s, const std::string& doc, bool base64, int id, bool* ok) {
  double spent = 0;
  for (int64_t first = 0; first < kPieces; first += kBatch) {
    WriteBatch(s, doc, first, base64, id);
    auto t = std::chrono::steady_clock::now();
    int32_t n = ReperePost(*s.g);
    spent += Seconds(t);
    if (n != kBatch) *ok = false;
  }
  const std::string done = s.root + "/Tasks/hvr_" + std::to_string(id) + ".spx";
  std::string out;
  IgnoreFailure(s.env->ReadFile(done, &out));
  if (out != doc) *ok = false;
  IgnoreFailure(s.env->DeleteFile(done));  // the next run makes its own
  return spent;
}

// The bare cost on the same piece files: read each piece file, write its document bytes
// at their offset; with `remove`, also delete the piece's two files, as every pickup
// must. Returns the seconds spent.
double Bare(Site& s, const std::string& doc, bool base64, bool remove) {
  double spent = 0;
  const std::string target = s.root + "/bare.bin";
  for (int64_t first = 0; first < kPieces; first += kBatch) {
    WriteBatch(s, doc, first, base64, 1);
    auto t = std::chrono::steady_clock::now();
    // The bare loop times the calls alone, as the least work a pickup does.
    std::string data;
    for (int64_t i = first; i < first + kBatch; ++i) {
      IgnoreFailure(s.env->ReadFile(s.post + "/" + std::to_string(100000 + i) + ".txt", &data));
      IgnoreFailure(
          s.env->WriteAt(target, i * kPiece, std::string_view(doc).substr(i * kPiece, kPiece)));
      if (remove) {
        std::string name = s.post + "/" + std::to_string(100000 + i);
        IgnoreFailure(s.env->DeleteFile(name + ".txt"));
        IgnoreFailure(s.env->DeleteFile(name + ".rdy"));
      }
    }
    spent += Seconds(t);
    for (int64_t i = first; i < first + kBatch; ++i) {
      std::string name = s.post + "/" + std::to_string(100000 + i);
      IgnoreFailure(s.env->DeleteFile(name + ".txt"));  // already gone with `remove`
      IgnoreFailure(s.env->DeleteFile(name + ".rdy"));
    }
  }
  IgnoreFailure(s.env->DeleteFile(target));  // the site goes with the benchmark
  return spent;
}

// The plain loop on the system's own calls, the least an upload needs: read each piece
// file, decode nothing, write the bytes at their offset into the document (kept open),
// delete the piece's two files. Returns the seconds spent.
double Plain(Site& s, const std::string& doc, bool base64) {
  double spent = 0;
  const std::string target = s.root + "/plain.bin";
  std::vector<char> buf(4 * kPiece);
  for (int64_t first = 0; first < kPieces; first += kBatch) {
    WriteBatch(s, doc, first, base64, 1);
    auto t = std::chrono::steady_clock::now();
    bench::PlainUploadBatch(s.post, target, doc.data(), first, kBatch, kPiece, buf);
    spent += Seconds(t);
  }
  std::error_code ec;
  fs::remove(target, ec);
  return spent;
}

}  // namespace

int main() {
  if (const char* n = getenv("POST_BENCH_PIECES")) {
    const int64_t asked = std::max<int64_t>(1, atoll(n));
    if (asked < kBatch) kBatch = asked;
    kPieces = asked / kBatch * kBatch;
    kDocument = kPiece * kPieces;
  }
  std::string doc(kDocument, '\0');
  uint32_t x = 12345;
  for (char& c : doc) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  const double mb = kDocument / 1e6;
  std::printf("Upload assembly: a %.1f MB document in %lld pieces of %lld bytes\n", mb,
              static_cast<long long>(kPieces), static_cast<long long>(kPiece));
  int id = 10;
  bool all_ok = true;
  for (bool base64 : {false, true}) {
    Site s;
    double bare = Bare(s, doc, base64, false);
    double bare_rm = Bare(s, doc, base64, true);
    // The two passes compared, the fastest of a few runs of each, taken in turn, so that
    // a burst of load elsewhere on the machine does not decide the ratio.
    double plain = 1e9, assembled = 1e9;
    bool ok = true;
    for (int run = 0; run < kRuns; ++run) {
      plain = std::min(plain, Plain(s, doc, base64));
      assembled = std::min(assembled, Assemble(s, doc, base64, ++id, &ok));
    }
    all_ok = all_ok && ok;
    std::printf("  %s\n", base64 ? "Base64" : "hexadecimal");
    std::printf("    assembly (fastest of %d runs)      %7.1f MB/s (%.2f s)%s\n", kRuns,
                mb / assembled, assembled, ok ? "" : "   DOCUMENT WRONG");
    std::printf("    bare: read pieces, write bytes    %7.1f MB/s (%.2f s)   ratio %.2f\n",
                mb / bare, bare, bare / assembled);
    std::printf("    bare, also deleting the pieces    %7.1f MB/s (%.2f s)   ratio %.2f\n",
                mb / bare_rm, bare_rm, bare_rm / assembled);
    std::printf(
        "    plain loop (baseline, fastest of %d) %5.1f MB/s (%.2f s)   ratio %.2f"
        " (target >= 0.60)\n",
        kRuns, mb / plain, plain, plain / assembled);
  }
  std::printf(
      "  (ratio = assembly speed / the speed of that pass; the plain loop is the baseline)\n");

  // Ordering 10,000 waiting pieces, listed in the order the folder listing gives.
  std::vector<std::string> names;
  for (int i = 0; i < 10000; ++i) names.push_back(std::to_string((i * 7919) % 10000) + ".rdy");
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return ToUpper(a) < ToUpper(b); });
  auto t = std::chrono::steady_clock::now();
  std::vector<std::string> order = OrderPieces(names);
  double ordering = Seconds(t);
  bool ordered = order.size() == names.size();
  for (size_t i = 0; i < order.size() && ordered; ++i)
    ordered = order[i] == std::to_string(i) + ".rdy";
  std::printf("Ordering 10,000 waiting pieces: %.2f ms%s\n", ordering * 1e3,
              ordered ? "" : "   ORDER WRONG");
  return all_ok && ordered ? 0 : 1;
}
