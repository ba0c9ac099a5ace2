#include "core/guichet.h"

#include "support/text.h"

namespace guichet {

int64_t WrapCounter(int64_t value) {
  int64_t next = value + 1;
  return next > 2000000 ? 1 : next;
}

void Guichet::SetCaption(const std::string& text) {
  if (caption_ == text) return;
  caption_ = text;
  view.SetCaption(text);
}

void Guichet::SetLabel(Label label, const std::string& text) {
  labels_[static_cast<int>(label)] = text;
  view.SetLabel(label, text);
}

void Guichet::AddActivity(const std::string& line) {
  // The list keeps the latest lines, as many as a list box holds.
  constexpr size_t kMaxLines = 32767;
  if (activity_.size() >= kMaxLines) activity_.erase(activity_.begin(), activity_.begin() + 1024);
  activity_.push_back(line);
  view.AddActivity(line);
}

void Guichet::ClearActivity() {
  activity_.clear();
  view.ClearActivity();
}

void Guichet::IncCompte() {
  SetLabel(Label::kCompte, Dec(WrapCounter(LeadingNumber(GetLabel(Label::kCompte)))));
}

void LogFailure(Guichet& g, const std::string& where, const Status& s) noexcept {
  if (s.ok()) return;
  try {
    g.EcritLog(where + " : " + s.Description() + " (" + s.path() + ")");
  } catch (...) {
    // Building the line ran out of memory: the line is lost, as any the day log loses.
  }
}

void Guichet::ShowCount(size_t n) { SetCaption("(" + Dec(static_cast<int64_t>(n)) + ") Guichet"); }

void ShutdownApp(Guichet& g) noexcept {
  // Releasing the collections never stops a way out.
  SkipOnFailure([&] {
    g.Sessions.Clear();
    g.ComboLines.clear();
  });
}

}  // namespace guichet
