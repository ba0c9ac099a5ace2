#include "core/records.h"

#include <algorithm>

#include "support/text.h"

namespace guichet {
namespace {

std::string Field(std::string_view record, int n, char sep) {
  if (n < 1) return {};
  size_t start = 0;
  for (int count = 1;; ++count) {
    size_t hit = record.find(sep, start);
    if (count == n) {
      return std::string(record.substr(
          start, hit == std::string_view::npos ? std::string_view::npos : hit - start));
    }
    if (hit == std::string_view::npos || hit + 1 >= record.size()) return {};
    start = hit + 1;
  }
}

// The stop test of each sort: true when the new record goes before `element`.
bool GoesBefore(const std::string& element_field, const std::string& key, RecordOrder order) {
  switch (order) {
    case RecordOrder::kAscending:
      return element_field >= key;
    case RecordOrder::kDescending:
      return element_field <= key;
    case RecordOrder::kDescendingValue:
      return LeadingNumber(element_field) <= LeadingNumber(key);
  }
  return true;
}

void Insert(std::vector<std::string>& list, const std::string& record, int field,
            RecordOrder order) {
  const std::string key = Extract(record, field);
  // The stop test is false then true along a list kept by the same sort.
  auto at = std::partition_point(list.begin(), list.end(), [&](const std::string& e) {
    return !GoesBefore(Extract(e, field), key, order);
  });
  list.insert(at, record);
}

}  // namespace

std::string Extract(std::string_view record, int n) { return Field(record, n, ';'); }
std::string Extract2(std::string_view record, int n) { return Field(record, n, '|'); }

std::string ExtensionFichier(std::string_view path) {
  size_t dot = path.find_last_of('.');
  return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot + 1));
}

std::string DossierParent(std::string_view path) {
  size_t slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(0, slash));
}

std::string NomFichier(std::string_view path) {
  size_t slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void ListerFichiers(Env& env, const std::string& folder, std::string_view pattern,
                    std::vector<std::string>& list) {
  std::vector<std::string> names;
  if (!env.ListFiles(folder, pattern, &names).ok()) return;
  for (const auto& n : names) list.push_back(folder + n);
}

void ListerFichiersRecursif(Env& env, const std::string& folder, std::string_view pattern,
                            std::vector<std::string>& list) {
  std::vector<std::string> subs;
  if (!env.ListFolders(folder, &subs).ok()) return;
  for (const auto& s : subs) {
    ListerFichiers(env, folder + s + "/", pattern, list);
    ListerFichiersRecursif(env, folder + s + "/", pattern, list);
  }
}

std::vector<std::string> ReadCatalogue(Env& env, const std::string& path) {
  std::vector<std::string> lines, kept;
  if (!ReadAdminLines(env, path, &lines).ok()) return kept;
  for (std::string& l : lines)
    if (l.find('|') != std::string::npos && l[0] != ';') kept.push_back(std::move(l));
  return kept;
}

void TriParInsertion(std::vector<std::string>& list, const std::string& record, int field) {
  Insert(list, record, field, RecordOrder::kAscending);
}
void TriParInsertionInverse(std::vector<std::string>& list, const std::string& record, int field) {
  Insert(list, record, field, RecordOrder::kDescending);
}
void TriParInsertionInverseVal(std::vector<std::string>& list, const std::string& record,
                               int field) {
  Insert(list, record, field, RecordOrder::kDescendingValue);
}

std::vector<std::string> SortAsInserted(std::vector<std::string> records, int field,
                                        RecordOrder order) {
  // Inserting before equals puts the latest inserted first among equals: a stable sort
  // of the reversed input gives the same order.
  std::reverse(records.begin(), records.end());
  struct Keyed {
    std::string key;
    int64_t value;
    std::string record;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(records.size());
  for (auto& r : records) {
    std::string k = Extract(r, field);
    int64_t v = LeadingNumber(k);
    keyed.push_back({std::move(k), v, std::move(r)});
  }
  std::stable_sort(keyed.begin(), keyed.end(), [order](const Keyed& a, const Keyed& b) {
    switch (order) {
      case RecordOrder::kAscending:
        return a.key < b.key;
      case RecordOrder::kDescending:
        return a.key > b.key;
      case RecordOrder::kDescendingValue:
        return a.value > b.value;
    }
    return false;
  });
  std::vector<std::string> out;
  out.reserve(keyed.size());
  for (auto& k : keyed) out.push_back(std::move(k.record));
  return out;
}

}  // namespace guichet
