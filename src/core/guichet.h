// The process-wide state of Guichet and the services every module reaches through it:
// the OS seam, the status view, the desktop, the folders, the day log, the session table
// and the main window's texts.
//
// One Guichet lives for the process (tests make one per temporary site). Every module is
// a set of free functions taking it first, named after the design's procedures.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/sessions.h"
#include "platform/desktop.h"
#include "platform/env.h"
#include "platform/view.h"

namespace guichet {

class Guichet {
 public:
  Guichet(Env& env, StatusView& view, Desktop& desktop)
      : env(env), view(view), desktop(desktop), journal_(env, LogPhase) {}
  Guichet(const Guichet&) = delete;
  Guichet& operator=(const Guichet&) = delete;

  Env& env;
  StatusView& view;
  Desktop& desktop;

  // Folders, without a trailing separator; built by concatenation, ".." kept.
  std::string AppFolder;
  std::string SpoolRoot;
  std::string TasksFolder;
  std::string CurrentSpoolRoot;

  // The request in hand, carried by every log line.
  std::string LogPhase;

  TableSessions Sessions;
  // Sessions added to the last-logon file line by line since it was last written whole.
  size_t LastLogonsAdded = 0;

  // Request pickup.
  bool SpoolReady = false;
  DateTime LastDailyPurge;     // the zero date
  DateTime LastLeftoverSweep;  // Guichet's own temporary files left by a kill
  DateTime LastStageSweep;     // the slow beat's sweep of leftovers (exchange/leftovers.h)
  // Requests whose answer could not be written: name -> failed tries, and once set
  // aside (at a bound) when to try again: a tick after the pause, when "in" or "out"
  // changed since the last try or the pause reached its longest. Forgotten once the
  // request file is gone or answered.
  struct RequestTry {
    int tries = 0;
    int64_t retry_at = 0;              // steady clock, milliseconds
    int64_t pause = 0;                 // milliseconds, doubled by each failed retry
    uint64_t in_gen = 0, out_gen = 0;  // the folders' generations at the last try
  };
  std::unordered_map<std::string, RequestTry> RequestTries;
  // What the last look at "in" and "out" found: the requests without a ready marker, in
  // listing order, with the generations of both folders then (Env::FolderGeneration).
  // Kept while neither folder changed, so an idle tick does not list them again.
  struct PendingScan {
    uint64_t in = 0, out = 0;
    std::vector<std::string> requests;
  } PendingRequests;

  // Polling cycle.
  // The watch on "in" and "post" that runs the pickups between ticks (null: the tick
  // alone), when to try to set it up again, and whether the fall back to the tick alone
  // and a loss of notices were logged (once a run each).
  std::unique_ptr<FolderWatch> Watch;
  int64_t NextWatchTry = 0;
  bool WatchFallbackLogged = false;
  bool WatchLossLogged = false;
  // Steady clock, milliseconds: when the pickups last ran (on a tick or between ticks),
  // and when the move cycle last ran or the beat clock started.
  int64_t LastPickups = 0;
  int64_t LastMoveRun = 0;
  // Called by the move cycle between two documents of its queue, so that a long cycle
  // does not hold answers back (set by the polling loop; empty: nothing to do).
  std::function<void()> BetweenDocuments;
  DateTime LastMoveBeat;
  bool BeatStarted = false;
  int32_t Activity = 0;
  int32_t AssembledCount = 0;

  // Upload pickup, for its bounded waits (steady clock, milliseconds): when each waiting
  // piece (by marker name) was first seen waiting, and for each unfinished document in
  // "temp" (by name) its size and when that size was first seen.
  std::map<std::string, int64_t> PieceWaitSince;
  std::map<std::string, std::pair<int64_t, int64_t>> DocWaitSince;
  // The failure last logged for each piece that failed in the last scan, so that a
  // failure that lasts is logged once.
  std::map<std::string, std::string> PieceFailures;

  // List store cache (uploaded lists).
  std::vector<std::string> ComboLines;
  int64_t ComboFileSize = 0;

  // Set when the process is to end; the main loop stops and returns exit_code.
  bool ended = false;
  int exit_code = 0;

  void EcritLog(const std::string& message) noexcept { journal_.EcritLog(message); }
  Journal& journal() { return journal_; }

  // The main window's texts. The request progress label (kProgression2) is the busy
  // flag: not empty while a request is in hand.
  void SetCaption(const std::string& text);
  const std::string& Caption() const { return caption_; }
  void SetLabel(Label label, const std::string& text);
  const std::string& GetLabel(Label label) const { return labels_[static_cast<int>(label)]; }
  bool Busy() const { return !GetLabel(Label::kProgression2).empty(); }
  void DoEvents() { view.DoEvents(); }
  // Adds a line to the activity list.
  void AddActivity(const std::string& line);
  const std::vector<std::string>& Activities() const { return activity_; }
  void ClearActivity();

  // Counts one handled request on the handled counter (1, 2, ... 2000000, then 1).
  void IncCompte();
  // Shows how many requests or pieces wait in the window's title: "(n) Guichet".
  void ShowCount(size_t n);

  // "<AppFolder>/<name>", and the like for the other roots.
  std::string App(const std::string& rest) const { return AppFolder + "/" + rest; }
  std::string Spool(const std::string& rest) const { return CurrentSpoolRoot + "/" + rest; }
  std::string Tasks(const std::string& rest) const { return TasksFolder + "/" + rest; }

  // Ends the process at the end of the current step (the main loop stops).
  void EndProcess(int code = 0) {
    ended = true;
    exit_code = code;
  }

 private:
  Journal journal_;
  std::string caption_ = "Guichet";
  std::string labels_[4];
  std::vector<std::string> activity_;
};

// Writes "<where> : <description> (<path>)" in the day log when `s` is a failure.
void LogFailure(Guichet& g, const std::string& where, const Status& s) noexcept;

// Releases the process-wide collections. Writes no file, shows nothing, never fails.
void ShutdownApp(Guichet& g) noexcept;

// Adds one to a counter shown on screen: 1, 2, ... 2000000, then 1.
int64_t WrapCounter(int64_t value);

}  // namespace guichet
