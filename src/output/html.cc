#include "output/html.h"

#include <array>

#include "support/text.h"

namespace guichet {
namespace {

struct EntityTable {
  std::array<std::string, 256> text;  // empty: no entity for that code
  int count = 0;
};

EntityTable& Table() {
  static EntityTable table;
  return table;
}

void AjouteEntite(const char* entity, int code) {
  EntityTable& t = Table();
  if (t.text[code].empty()) ++t.count;
  t.text[code] = entity;
}

// HTML 4.01 names of the ISO 8859-1 characters 161 to 255.
const char* const kLatin1[] = {
    "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",
    "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",
    "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",
    "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",
    "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute",
    "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",
    "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",  "szlig",
    "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil", "egrave",
    "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",    "ntilde",
    "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave", "uacute",
    "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

void EnsureTable() {
  if (Table().count == 0) InitEntites();
}

void AppendEncodedLine(std::string& out, std::string_view entry) {
  out += Asc2Htm(Trim(entry));
  out += kCrLf;
}

}  // namespace

void InitEntites() {
  Table() = EntityTable();
  AjouteEntite("&nbsp;", 32);
  AjouteEntite("&quot;", 34);
  AjouteEntite("&amp;", 38);
  AjouteEntite("&lt;", 60);
  AjouteEntite("&gt;", 62);
  AjouteEntite("&grave;", 96);
  static const struct {
    int code;
    const char* text;
  } kHigh[] = {{128, "&euro;"},   {130, "&sbquo;"},  {131, "&fnof;"},   {132, "&bdquo;"},
               {133, "&hellip;"}, {134, "&dagger;"}, {135, "&Dagger;"}, {136, "&circ;"},
               {137, "&permil;"}, {138, "&Scaron;"}, {139, "&lsaquo;"}, {140, "&OElig;"},
               {142, "&Zcaron;"}, {145, "&lsquo;"},  {146, "&rsquo;"},  {147, "&ldquo;"},
               {148, "&rdquo;"},  {149, "&bull;"},   {150, "&ndash;"},  {151, "&mdash;"},
               {152, "&tilde;"},  {153, "&trade;"},  {154, "&scaron;"}, {155, "&rsaquo;"},
               {156, "&oelig;"},  {158, "&zcaron;"}, {159, "&Yuml;"}};
  for (const auto& e : kHigh) AjouteEntite(e.text, e.code);
  AjouteEntite("&nbsp;", 160);
  for (int code = 161; code <= 255; ++code) {
    std::string entity = std::string("&") + kLatin1[code - 161] + ";";
    AjouteEntite(entity.c_str(), code);
  }
}

int EntityCount() {
  EnsureTable();
  return Table().count;
}

std::string Asc2Htm(std::string_view text) {
  EnsureTable();
  const EntityTable& t = Table();
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += ch;
    } else if (!t.text[c].empty()) {
      out += t.text[c];
    } else if (c >= 33 && c <= 126) {
      out += ch;
    }
  }
  return out;
}

std::string NbspSiVide(std::string_view text) {
  if (text.empty() || Trim(text) == "01&nbsp;janv&nbsp;1900") return "&nbsp;";
  return std::string(text);
}

void PrintBodyTop(std::string& out, std::string_view titre) {
  out.append("<html>").append(kCrLf);
  if (!titre.empty()) {
    out.append("<head>").append(kCrLf).append("<title>").append(kCrLf);
    out.append(Asc2Htm(titre)).append(kCrLf);
    out.append("</title>").append(kCrLf).append("</head>").append(kCrLf);
  }
  out.append("<body>").append(kCrLf);
}

void PrintBodyEnd(std::string& out) {
  out.append("</body>").append(kCrLf).append("</html>").append(kCrLf);
}

void PrintBodyErr(Env& env, const std::string& htmfile, std::string_view e) {
  std::string out;
  PrintBodyTop(out, "Erreur");
  out.append("<DD>").append(Asc2Htm(e)).append("</DD>").append(kCrLf);
  PrintBodyEnd(out);
  Check(env.WriteAnswer(htmfile, out, false));
}

void PrintAsc2HtmTrimCol(Env& env, const std::string& htmfile,
                         const std::vector<std::string>& col) {
  std::string out;
  for (const auto& entry : col) AppendEncodedLine(out, entry);
  Check(env.WriteAnswer(htmfile, out, false));
}

void AppendAsc2HtmTrimCol(Env& env, const std::string& htmfile,
                          const std::vector<std::string>& col) {
  std::string out;
  for (const auto& entry : col) AppendEncodedLine(out, entry);
  Check(env.WriteAnswer(htmfile, out, true));
}

void AppendString(Env& env, const std::string& htmfile, std::string_view s) {
  std::string out(s);
  out += kCrLf;
  Check(env.WriteAnswer(htmfile, out, true));
}

void PrintLines(Env& env, const std::string& htmfile, const std::vector<std::string>& lines) {
  Check(env.WriteAnswer(htmfile, JoinLines(lines), false));
}

}  // namespace guichet
