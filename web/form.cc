#include "form.h"

#include <algorithm>

namespace guichet::web {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Headers of one part are small; a part whose headers grow beyond this is refused.
constexpr size_t kMaxPartHeaders = 16 * 1024;

}  // namespace

std::string PercentDecode(std::string_view s, bool plus_is_space) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '%' && i + 2 < s.size()) {
      int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(plus_is_space && c == '+' ? ' ' : c);
  }
  return out;
}

void ParseUrlEncoded(std::string_view s, Fields* fields) {
  while (!s.empty()) {
    size_t amp = s.find('&');
    std::string_view pair = s.substr(0, amp);
    s = amp == std::string_view::npos ? std::string_view() : s.substr(amp + 1);
    if (pair.empty()) continue;
    size_t eq = pair.find('=');
    std::string_view name = pair.substr(0, eq);
    std::string_view value =
        eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    fields->emplace_back(PercentDecode(name, true), PercentDecode(value, true));
  }
}

bool HeaderParam(std::string_view header, std::string_view param, std::string* value) {
  size_t pos = header.find(';');
  while (pos != std::string_view::npos) {
    std::string_view rest = header.substr(pos + 1);
    size_t eq = rest.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view key = TrimBlanks(rest.substr(0, eq));
    std::string_view v = rest.substr(eq + 1);
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    std::string parsed;
    size_t used;
    if (!v.empty() && v.front() == '"') {
      size_t i = 1;
      for (; i < v.size() && v[i] != '"'; ++i) {
        if (v[i] == '\\' && i + 1 < v.size()) ++i;
        parsed.push_back(v[i]);
      }
      used = std::min(v.size(), i + 1);
    } else {
      used = std::min(v.size(), v.find(';'));
      parsed = std::string(TrimBlanks(v.substr(0, used)));
    }
    if (EqualNoCase(key, param)) {
      *value = parsed;
      return true;
    }
    size_t next = v.substr(used).find(';');
    if (next == std::string_view::npos) return false;
    pos = static_cast<size_t>((v.data() + used + next) - header.data());
  }
  return false;
}

const std::string* FindField(const Fields& fields, std::string_view name) {
  for (const auto& [n, v] : fields)
    if (n == name) return &v;
  return nullptr;
}

MultipartReader::MultipartReader(std::string boundary) : delimiter_("\r\n--" + boundary) {
  // The first boundary needs no line end before it: start as if one had been seen.
  pending_ = "\r\n";
  if (boundary.empty() || boundary.size() > 200) state_ = kError;
}

bool MultipartReader::Feed(std::string_view data) {
  if (state_ == kError) return false;
  pending_.append(data);
  while (Step()) {
  }
  return state_ != kError;
}

// Consumes what it can of pending_; true when it made progress and may go on.
bool MultipartReader::Step() {
  switch (state_) {
    case kPreamble: {
      size_t at = pending_.find(delimiter_);
      if (at == std::string::npos) {
        // Keep the tail that could start a delimiter.
        if (pending_.size() > delimiter_.size())
          pending_.erase(0, pending_.size() - delimiter_.size());
        return false;
      }
      pending_.erase(0, at + delimiter_.size());
      state_ = kAfterBoundary;
      return true;
    }
    case kAfterBoundary: {
      if (pending_.size() < 2) return false;
      if (pending_.compare(0, 2, "--") == 0) {
        state_ = kDone;
        pending_.clear();
        return false;
      }
      // Transport padding, then the line end.
      size_t eol = pending_.find("\r\n");
      if (eol == std::string::npos) {
        if (pending_.size() > 256) state_ = kError;
        return false;
      }
      if (TrimBlanks(std::string_view(pending_).substr(0, eol)).size() != 0) {
        state_ = kError;
        return false;
      }
      pending_.erase(0, eol + 2);
      part_ = Part();
      header_bytes_ = 0;
      state_ = kHeaders;
      return true;
    }
    case kHeaders: {
      size_t eol = pending_.find("\r\n");
      if (eol == std::string::npos) {
        if (pending_.size() > kMaxPartHeaders) state_ = kError;
        return false;
      }
      header_bytes_ += eol + 2;
      if (header_bytes_ > kMaxPartHeaders) {
        state_ = kError;
        return false;
      }
      std::string_view line = std::string_view(pending_).substr(0, eol);
      if (line.empty()) {
        pending_.erase(0, 2);
        if (on_part && !on_part(part_)) {
          state_ = kError;
          return false;
        }
        state_ = kBody;
        return true;
      }
      size_t colon = line.find(':');
      if (colon != std::string_view::npos &&
          EqualNoCase(TrimBlanks(line.substr(0, colon)), "content-disposition")) {
        std::string_view v = line.substr(colon + 1);
        std::string s;
        if (HeaderParam(v, "name", &s)) part_.name = s;
        if (HeaderParam(v, "filename", &s)) {
          part_.filename = s;
          part_.has_filename = true;
        }
      }
      pending_.erase(0, eol + 2);
      return true;
    }
    case kBody: {
      size_t at = pending_.find(delimiter_);
      if (at == std::string::npos) {
        // Hand over everything but a tail that could be the start of the delimiter.
        if (pending_.size() > delimiter_.size()) {
          size_t n = pending_.size() - delimiter_.size();
          if (on_data && !on_data(std::string_view(pending_).substr(0, n))) {
            state_ = kError;
            return false;
          }
          pending_.erase(0, n);
        }
        return false;
      }
      if (at > 0 && on_data && !on_data(std::string_view(pending_).substr(0, at))) {
        state_ = kError;
        return false;
      }
      pending_.erase(0, at + delimiter_.size());
      if (on_part_end && !on_part_end()) {
        state_ = kError;
        return false;
      }
      state_ = kAfterBoundary;
      return true;
    }
    case kDone:
      pending_.clear();
      return false;
    case kError:
      return false;
  }
  return false;
}

bool ParseMultipart(std::string_view body, const std::string& boundary, Fields* fields) {
  MultipartReader reader(boundary);
  reader.on_part = [&](const MultipartReader::Part& p) {
    fields->emplace_back(p.name, std::string());
    return true;
  };
  reader.on_data = [&](std::string_view d) {
    fields->back().second.append(d);
    return true;
  };
  return reader.Feed(body) && reader.Finish();
}

}  // namespace guichet::web
