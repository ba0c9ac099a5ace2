#include "exchange/liststore.h"

#include <algorithm>

#include "core/guichet.h"
#include "platform/env.h"
#include "support/text.h"

namespace guichet {

void TraiteListe(Guichet& g, std::string_view text) {
  std::vector<std::string> entries;
  for (std::string& e : Split(text, '|')) {
    std::string t = Trim(e);
    if (!t.empty() && t != "-End-") entries.push_back(std::move(e));
  }
  if (entries.size() >= 3) SaveGiantCombo(g, entries);
}

void SaveGiantCombo(Guichet& g, const std::vector<std::string>& list) {
  if (list.size() <= 2) return;
  const std::string path = g.App("vaultpilot.cbo");
  try {
    FileInfo info;
    Status s = g.env.GetFileInfo(path, &info);
    int64_t size = 0;
    if (s.ok())
      size = info.size;
    else if (s.kind() != Status::kNotFound && s.kind() != Status::kPathNotFound)
      Check(s);

    if (size != 0) {
      if (size != g.ComboFileSize) {
        std::vector<std::string> lines;
        Check(ReadLines(g.env, path, &lines));
        g.ComboLines.clear();
        for (std::string& l : lines)
          if (!IsBlank(l)) g.ComboLines.push_back(std::move(l));
        g.ComboFileSize = size;
      }
      if (std::search(g.ComboLines.begin(), g.ComboLines.end(), list.begin(), list.end()) !=
          g.ComboLines.end())
        return;
    }

    const size_t before = g.ComboLines.size();
    g.ComboLines.insert(g.ComboLines.end(), list.begin(), list.end());
    g.ComboLines.push_back("-End-");
    Status w = g.env.WriteFileAtomic(path, JoinLines(g.ComboLines));
    if (!w.ok()) {
      // The file does not hold the list: neither must the cache, or the list would be
      // found there next time and never written.
      g.ComboLines.resize(before);
      Check(w);
    }
  } catch (const Failure& f) {
    g.EcritLog("SaveGiantCombo : " + f.description());
  } catch (const std::exception& e) {
    g.EcritLog(std::string("SaveGiantCombo : ") + e.what());
  }
}

}  // namespace guichet
