// The stage and archive batch files appear whole, through a temporary name and a rename:
// whatever stands at the batch file's name (a link, a second name of another file, a
// pipe) is replaced, never written through.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <functional>

#include "support/text.h"
#include "workflow/move.h"
#include "workflow/transitions.h"
#include "workflow_test_util.h"

namespace guichet::test {
namespace {

enum class Planted { kSymlink, kHardLink, kPipe };

struct Road {
  const char* what;
  std::string folder;  // below the tasks folder
  std::function<void(TestSite&)> prepare, run;
};

// A document of type "LT", which has one template, queued for the move cycle.
[[maybe_unused]] void Queued(TestSite& s) {
  MakeDirs(s.templates() + "/Cardiologie");
  WriteAll(s.templates() + "/Services.txt", "3|Cardiologie\r\n");
  WriteAll(s.templates() + "/TypeDocs.txt", "3|LT|Lettre\r\n");
  WriteAll(s.templates() + "/Cardiologie/Lettre.doc", "DOC");
  WriteAll(s.tasks() + "/hvr_42.typedoc", "LT\r\n");
  WriteAll(s.tasks() + "/hvr_42.txt", "text");
  WriteAll(s.tasks() + "/ToMove.txt", "42;u7\r\n");
}

// A validated document of u7.
[[maybe_unused]] void Validated(TestSite& s) {
  MakeDirs(s.tasks() + "/Validations/u7");
  WriteAll(s.tasks() + "/Validations/u7/hvr_42.pdf", "%PDF");
  WriteAll(s.tasks() + "/Validations/u7/hvr_42.id", "Martin\r\n");
}

TEST(BatchFiles, WhateverStandsAtTheBatchNameIsReplacedNotWrittenThrough) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links, hard links and FIFOs planted the Linux way";
#else
  const Road roads[] = {
      {"stage batch", "Transcriptions/u7", Queued, [](TestSite& s) { RepereMove(*s.g); }},
      {"archive batch", "Publications/u7", Validated,
       [](TestSite& s) { PublierDocument(*s.g, "u7", "42"); }},
  };
  for (const Road& road : roads) {
    for (Planted planted : {Planted::kSymlink, Planted::kHardLink, Planted::kPipe}) {
      static const char* const kKinds[] = {"a link", "a second name", "a pipe"};
      SCOPED_TRACE(std::string(road.what) + " over " + kKinds[static_cast<int>(planted)]);
      TestSite s;
      road.prepare(s);
      const std::string folder = s.tasks() + "/" + road.folder;
      const std::string bat = folder + "/hvr_42.finished.bat";
      const std::string outside = s.root() + "/outside.txt";
      MakeDirs(folder);
      WriteAll(outside, "not a batch file\r\n");
      int reader = -1;
      switch (planted) {
        case Planted::kSymlink:
          ASSERT_EQ(symlink(outside.c_str(), bat.c_str()), 0);
          break;
        case Planted::kHardLink:
          ASSERT_EQ(link(outside.c_str(), bat.c_str()), 0);
          break;
        case Planted::kPipe:
          // A reader holds the pipe open, so a write into it would not block but land
          // in the pipe, where the test sees it.
          ASSERT_EQ(mkfifo(bat.c_str(), 0600), 0);
          reader = open(bat.c_str(), O_RDONLY | O_NONBLOCK);
          ASSERT_GE(reader, 0);
          break;
      }

      road.run(s);

      if (reader >= 0) {
        char byte;
        EXPECT_LE(read(reader, &byte, 1), 0);
        close(reader);
      }
      EXPECT_EQ(ReadAll(outside), "not a batch file\r\n");
      struct stat st;
      ASSERT_EQ(lstat(bat.c_str(), &st), 0);
      if (!S_ISREG(st.st_mode)) {
        ADD_FAILURE() << "the batch file is not a regular file";
        continue;
      }
      EXPECT_EQ(st.st_nlink, 1u);
      EXPECT_EQ(ReadAll(bat).rfind("mkdir ", 0), 0u) << ReadAll(bat);
      for (const std::string& n : ListDir(folder)) EXPECT_NE(n[0], '~') << n;
    }
  }
#endif
}

}  // namespace
}  // namespace guichet::test
