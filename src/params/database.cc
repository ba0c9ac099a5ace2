#include "params/database.h"

#include <charconv>

#include "support/text.h"

namespace guichet {
namespace {

constexpr const char* kCollectionSource = "Rows";

}  // namespace

std::string Variant::ToText() const {
  switch (kind()) {
    case Kind::Empty:
    case Kind::Null:
      return "";
    case Kind::Text:
      return text();
    case Kind::Integer:
      return Dec(integer());
    case Kind::Real: {
      char buf[64];
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, real());
      return ec == std::errc() ? std::string(buf, end) : std::string();
    }
  }
  return "";
}

const Variant* Row::Find(std::string_view name) const {
  for (const auto& [column, value] : columns_)
    if (EqualsNoCase(column, name)) return &value;
  return nullptr;
}

const Variant& Row::operator[](std::string_view name) const {
  if (const Variant* v = Find(name)) return *v;
  throw DbError(kErrItemNotFound, W("Colonne introuvable : ") + std::string(name),
                kCollectionSource);
}

const Row& Rows::operator[](size_t index) const {
  if (index < 1 || index > rows_.size())
    throw DbError(kErrItemNotFound, W("Ligne introuvable : ") + Dec(static_cast<int64_t>(index)),
                  kCollectionSource);
  return rows_[index - 1];
}

}  // namespace guichet
