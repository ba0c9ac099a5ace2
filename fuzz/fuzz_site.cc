#include "fuzz_site.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/env.h"

namespace fs = std::filesystem;

namespace guichet::fuzz {

void WriteFile(const std::string& path, std::string_view data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

void RemoveFilesIn(const std::string& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    fs::remove_all(it->path(), ec);
}

void MakeDirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
}

FuzzSite& FuzzSite::Get() {
  static FuzzSite* site = [] {
    auto* s = new FuzzSite();
    std::atexit([] { RemoveTree(Get().root_); });
    return s;
  }();
  return *site;
}

FuzzSite::FuzzSite() {
  std::string tmpl =
      (getenv("TMPDIR") ? std::string(getenv("TMPDIR")) : "/tmp") + "/guichet-fuzz.XXXXXX";
  if (!mkdtemp(tmpl.data())) abort();
  root_ = tmpl;
  view_ = MakeSilentView();
  desktop_ = MakeNoDesktop();
  Reset();
}

void FuzzSite::Layout() {
  for (const char* d :
       {"Guichet/ModelesPortail", "IsapiHalvero/in", "IsapiHalvero/out", "IsapiHalvero/post",
        "IsapiHalvero/temp", "IsapiHalvero/post_err", "IsapiHalvero/cache", "IsapiHalvero/rights",
        "Tasks/Validations/u1", "Templates/Cardiologie", "Archives/Dupont/2026", "Agendas/u1"})
    MakeDirs(root_ + "/" + d);
  const std::string r = root_ + "/";
  WriteFile(r + "Guichet/guichet_users.txt",
            "; users\r\nanna:dictee=u1\r\n0a1b2c3d4e5f60718293a4b5c6d7e8f901234567=u1\r\n");
  WriteFile(r + "Guichet/ModelesPortail/login.txt", "<p>[reponse_au_login] [today]</p>\r\n");
  WriteFile(r + "Guichet/ModelesPortail/menu.txt",
            "; menu\r\n<p>[logon] [idutilisateur] [p2] [p3] [datep3] [timep4]</p>\r\n");
  WriteFile(r + "Templates/Services.txt", "1|Cardiologie|Service de cardiologie\r\n");
  WriteFile(r + "Templates/TypeDocs.txt", "1|LT|Lettre|Lettre\r\n");
  WriteFile(r + "Templates/Cardiologie/Lettre.info",
            "Service=%Service%\r\nType=%TypeDoc%\r\nAuteur=%Auteur%\r\nDate=%DateCreation%\r\n");
  WriteFile(r + "Templates/Cardiologie/Lettre.rtf", "{\\rtf1}\r\n");
  WriteFile(r + "Tasks/Validations/u1/hvr_5.id", "Dupont\r\n");
  WriteFile(r + "Tasks/Validations/u1/hvr_5.pdf", "%PDF-1.4\r\n");
  WriteFile(r + "Archives/Dupont/2026/hvr_3.info",
            "D\xE9signation=Lettre au confr\xE8re\r\nDateDoc=2026-12-01 10:00\r\n");
  WriteFile(r + "Archives/Dupont/2026/hvr_3.pdf", "%PDF-1.4\r\n");
  WriteFile(r + "Agendas/u1/2026-12-07.txt", "09:00 Dupont consultation\r\nnote\r\n");
  // The codec library beside the program, as beside guichet in a site.
  std::error_code ec;
  fs::path lib = fs::read_symlink("/proc/self/exe", ec).parent_path() / "Radiveve.so";
  if (!ec && fs::exists(lib, ec)) fs::copy_file(lib, r + "Guichet/Radiveve.so", ec);
}

void FuzzSite::Reset() {
  g_.reset();
  for (const char* d :
       {"Guichet", "IsapiHalvero", "Tasks", "Templates", "Archives", "Archives_Trash", "Agendas"})
    RemoveTree(root_ + "/" + d);
  Layout();
  g_ = std::make_unique<Guichet>(*Env::Default(), *view_, *desktop_);
  Guichet& g = *g_;
  g.AppFolder = app();
  g.SpoolRoot = g.AppFolder + "/../IsapiHalvero";
  g.TasksFolder = g.AppFolder + "/../Tasks";
  g.CurrentSpoolRoot = g.SpoolRoot;
  g.SpoolReady = true;
  g.Sessions.Append(kToken, kUser, "31/12/2099 00:00");
  calls_ = 0;
}

void FuzzSite::Tick(int every) {
  if (++calls_ >= every) Reset();
  if (!g_->Sessions.Find(kToken)) g_->Sessions.Append(kToken, kUser, "31/12/2099 00:00");
}

}  // namespace guichet::fuzz
