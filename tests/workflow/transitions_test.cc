// The workflow transitions, called directly and through the dispatcher: folders, the
// queue entries, the archive batch file, urgency, and numbers that fail the checks.
#include "workflow/transitions.h"

#include <gtest/gtest.h>

#include "core/request.h"
#include "core/sessions.h"
#include "exchange/dispatch.h"
#include "support/text.h"
#include "workflow/move.h"
#include "workflow_test_util.h"

namespace guichet::test {
namespace {

class Transitions : public ::testing::Test {
 protected:
  TestSite site;
  Guichet& g = *site.g;

  std::string T(const std::string& rest) { return site.tasks() + "/" + rest; }
  std::string Queue() { return ReadAll(T("ToMove.txt")); }
  std::string WorkflowLog() { return ReadAll(site.app() + "/guichet.log"); }
  std::string Line(const std::string& text) { return "07/12/2026 10:00:00 - " + text; }

  // A validated document of author u7: text, audio, ".id" and maybe ".urg".
  void Validated(const std::string& id, const std::string& id_line = "Dupont Jean",
                 const std::string& urg = "") {
    MakeDirs(T("Validations/u7"));
    WriteAll(T("Validations/u7/hvr_" + id + ".txt"), "text");
    WriteAll(T("Validations/u7/hvr_" + id + ".wav"), "RIFF");
    WriteAll(T("Validations/u7/hvr_" + id + ".id"), id_line + "\r\n");
    if (!urg.empty()) WriteAll(T("Validations/u7/hvr_" + id + ".urg"), urg + "\r\n");
  }
};

TEST_F(Transitions, RecyclerMovesToRecycleBinAndQueues) {
  Validated("12");
  WriteAll(T("Validations/u7/hvr_120.txt"), "other");
  RecyclerDocument(g, "u7", "12");
  EXPECT_EQ(ListDir(T("RecycleBin/u7")),
            (std::vector<std::string>{"hvr_12.id", "hvr_12.txt", "hvr_12.wav"}));
  EXPECT_EQ(ListDir(T("Validations/u7")), std::vector<std::string>{"hvr_120.txt"});
  EXPECT_EQ(g.Activities(), std::vector<std::string>{Line("Recycl. : u7 (#12)")});
  EXPECT_EQ(WorkflowLog(), Line("Recycl. : u7 (#12)\r\n"));
  EXPECT_EQ(Queue(), "12;u7\r\n");
  EXPECT_EQ(site.view.beeps, 0);
}

TEST_F(Transitions, RejectModeOneRecyclesAnyOtherModeSendsBack) {
  struct Case {
    const char* mode;
    const char* folder;
    const char* line;
  } cases[] = {
      {"1", "RecycleBin/u7", "Recycl. : u7 (#12)"},
      {"01", "Transcriptions/u7", "URGENT! REJ-Trans. : u7 (#12)"},
      {"", "Transcriptions/u7", "URGENT! REJ-Trans. : u7 (#12)"},
      {"1 ", "Transcriptions/u7", "URGENT! REJ-Trans. : u7 (#12)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("mode '") + c.mode + "'");
    TestSite fresh;
    MakeDirs(fresh.tasks() + "/Transcriptions/u7");
    MakeDirs(fresh.tasks() + "/Validations/u7");
    WriteAll(fresh.tasks() + "/Validations/u7/hvr_12.txt", "text");
    WriteAll(fresh.tasks() + "/Validations/u7/hvr_12.urg", "Urgent\r\n");
    RejeterDocument(*fresh.g, "u7", "12", c.mode);
    EXPECT_EQ(ListDir(fresh.tasks() + "/" + c.folder).size(), std::string(c.mode) == "1" ? 2u : 3u);
    EXPECT_EQ(ListDir(fresh.tasks() + "/Validations/u7").size(), 0u);
    ASSERT_EQ(fresh.g->Activities().size(), 1u);
    EXPECT_EQ(fresh.g->Activities()[0], "07/12/2026 10:00:00 - " + std::string(c.line));
    EXPECT_EQ(ReadAll(fresh.tasks() + "/ToMove.txt"), "12;u7\r\n");
    // Urgent and sent back: the marker lies with it and one beep sounds.
    bool back = std::string(c.mode) != "1";
    EXPECT_EQ(Exists(fresh.tasks() + "/Transcriptions/u7/hvr_12.URGENT!"), back);
    EXPECT_EQ(fresh.view.beeps, back ? 1 : 0);
  }
}

TEST_F(Transitions, PublishDocumentStillInTasksOnlyQueuesIt) {
  WriteAll(T("hvr_42.spx"), "audio");
  PublierDocument(g, "u7", "42");
  EXPECT_EQ(Queue(), "42;u7\r\n");
  EXPECT_FALSE(Exists(T("Publications")));
  EXPECT_TRUE(g.Activities().empty());
  EXPECT_EQ(WorkflowLog(), "");
}

TEST_F(Transitions, PublishWritesArchiveBatchUnderTheArchiveName) {
  struct Case {
    const char* id_line;  // nullptr: no ".id" file
    const char* name;
  } cases[] = {
      {"  Dupont Jean  ", "Dupont Jean"},
      {"   ", "(Sans nom)"},
      {nullptr, "(Sans nom)"},
      {"a/b\"c:d.", "a_b_c_d_"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id_line ? c.id_line : "(no .id)");
    TestSite fresh;
    MakeDirs(fresh.tasks() + "/Validations/u7");
    WriteAll(fresh.tasks() + "/Validations/u7/hvr_5.pdf", "pdf");
    if (c.id_line) WriteAll(fresh.tasks() + "/Validations/u7/hvr_5.id", std::string(c.id_line));
    PublierDocument(*fresh.g, "u7", "5");
    const std::string n = c.name;
    EXPECT_EQ(ReadAll(fresh.tasks() + "/Publications/u7/hvr_5.finished.bat"),
              "mkdir \"..\\..\\..\\Archives\"\r\n"
              "mkdir \"..\\..\\..\\Archives\\" +
                  n +
                  "\"\r\n"
                  "move hvr_5.info \"..\\..\\..\\Archives\\" +
                  n +
                  "\"\r\n"
                  "move hvr_5.pdf \"..\\..\\..\\Archives\\" +
                  n +
                  "\"\r\n"
                  "move hvr_5.txt \"..\\..\\..\\Archives\\" +
                  n +
                  "\"\r\n"
                  "move hvr_5.doc \"..\\..\\..\\Archives\\" +
                  n +
                  "\"\r\n"
                  "mkdir \"..\\..\\..\\Archives_Trash\"\r\n"
                  "mkdir \"..\\..\\..\\Archives_Trash\\" +
                  n +
                  "\"\r\n"
                  "move hvr_5.* \"..\\..\\..\\Archives_Trash\\" +
                  n + "\"\r\n");
    EXPECT_TRUE(Exists(fresh.tasks() + "/Publications/u7/hvr_5.pdf"));
    EXPECT_EQ(fresh.g->Activities(),
              std::vector<std::string>{"07/12/2026 10:00:00 - Publi. : u7 (#5)"});
    EXPECT_FALSE(Exists(fresh.tasks() + "/ToMove.txt"));
  }
}

TEST_F(Transitions, PublishUrgentAndPublishWithFailedCopy) {
  Validated("6", "Martin", "urgent");
  PublierDocument(g, "u7", "6");
  EXPECT_TRUE(Exists(T("Publications/u7/hvr_6.URGENT!")));
  EXPECT_EQ(g.Activities(), std::vector<std::string>{Line("URGENT! Publi. : u7 (#6)")});
  EXPECT_EQ(site.view.beeps, 1);

  Validated("7", "Durand");
  site.env.FailWhen(
      "CopyFile", [](const std::string& p) { return p.ends_with("hvr_7.wav"); }, Status::kDiskFull);
  PublierDocument(g, "u7", "7");
  EXPECT_TRUE(Exists(T("Validations/u7/hvr_7.wav")));
  EXPECT_TRUE(Exists(T("Publications/u7/hvr_7.finished.bat")));
  EXPECT_EQ(g.Activities().size(), 1u);  // no "Publi." line while a copy failed
  EXPECT_NE(WorkflowLog().find(Line("Can't copy " + g.TasksFolder + "/Validations/u7/hvr_7.wav")),
            std::string::npos);
  // Sent again, the file still in validation is moved and the line written.
  site.env.ClearFailures();
  PublierDocument(g, "u7", "7");
  EXPECT_FALSE(Exists(T("Validations/u7/hvr_7.wav")));
  EXPECT_EQ(g.Activities().back(), Line("Publi. : u7 (#7)"));
}

// Without its archive batch file a publication is not reported done; sent again, it is.
TEST_F(Transitions, PublishWhoseBatchFileFailsIsLoggedNotReported) {
  Validated("4", "Petit");
  site.env.FailWhen(
      "WriteFileAtomic", [](const std::string& p) { return p.ends_with("hvr_4.finished.bat"); },
      Status::kDiskFull);
  PublierDocument(g, "u7", "4");
  EXPECT_TRUE(Exists(T("Publications/u7/hvr_4.txt")));
  EXPECT_FALSE(Exists(T("Publications/u7/hvr_4.finished.bat")));
  EXPECT_TRUE(g.Activities().empty());
  EXPECT_NE(site.DayLog().find("PublierDocument : Disque plein"), std::string::npos);

  site.env.ClearFailures();
  PublierDocument(g, "u7", "4");
  EXPECT_EQ(ReadAll(T("Publications/u7/hvr_4.finished.bat")), BatchArchive("4", "Petit"));
  EXPECT_EQ(g.Activities(), std::vector<std::string>{Line("Publi. : u7 (#4)")});
}

// A publication cut short after the ".id" had moved: sent again, the document is still
// archived under its name, read from the ".id" already in Publications.
TEST_F(Transitions, PublishSentAgainAfterTheIdMovedKeepsTheName) {
  Validated("8", "  Lettre Martin ");
  site.env.FailWhen(
      "CopyFile", [](const std::string& p) { return p.ends_with("hvr_8.wav"); }, Status::kDenied);
  PublierDocument(g, "u7", "8");
  ASSERT_TRUE(Exists(T("Publications/u7/hvr_8.id")));
  ASSERT_TRUE(Exists(T("Validations/u7/hvr_8.wav")));
  site.env.ClearFailures();
  PublierDocument(g, "u7", "8");
  EXPECT_EQ(ReadAll(T("Publications/u7/hvr_8.finished.bat")), BatchArchive("8", "Lettre Martin"));
  EXPECT_EQ(ListDir(T("Validations/u7")), std::vector<std::string>{});
  // A ".id" still in validation, even blank, is the one that counts.
  Validated("9", " ");
  WriteAll(T("Publications/u7/hvr_9.id"), "Other\r\n");
  PublierDocument(g, "u7", "9");
  EXPECT_EQ(ReadAll(T("Publications/u7/hvr_9.finished.bat")), BatchArchive("9", "(Sans nom)"));
}

// Through the dispatcher: no answer file and no ready marker, the request file deleted,
// the request counted; a bad document number changes nothing but is consumed too.
TEST_F(Transitions, CommandsThroughTheDispatcher) {
  MakeDirs(site.spool() + "/in");
  MakeDirs(site.spool() + "/out");
  g.Sessions.Append("tok", "u7", "08/12/2026 10:00");
  struct Case {
    const char* command;
    const char* number;
    const char* mode;
    const char* queue_after;  // queue content afterwards
  } cases[] = {
      {"finished", "42", "", "42;u7\r\n"},
      {"cleared", "42", "", "42;u7\r\n42;u7\r\n"},
      {"cancelled", "../42", "", "42;u7\r\n42;u7\r\n"},
      {"invalidated", "4*", "1", "42;u7\r\n42;u7\r\n"},
      {"invalidated", "", "1", "42;u7\r\n42;u7\r\n"},
      {"invalidated", "42", "1|x", "42;u7\r\n42;u7\r\n42;u7\r\n"},
  };
  WriteAll(T("hvr_42.spx"), "audio");
  int count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + c.number);
    const std::string name = "r" + Dec(++count) + ".req";
    site.Request(name, {"/portail.hv", "tok", c.command, "", c.number, c.mode});
    EXPECT_TRUE(TraiteRequete(g, name));
    EXPECT_FALSE(Exists(site.spool() + "/in/" + name));
    EXPECT_TRUE(ListDir(site.spool() + "/out").empty());
    EXPECT_EQ(g.GetLabel(Label::kCompte), Dec(count));
    EXPECT_EQ(Queue(), c.queue_after);
  }
  EXPECT_EQ(ListDir(site.tasks()),
            (std::vector<std::string>{"RecycleBin", "ToMove.txt", "hvr_42.spx"}));
}

// "cancelled" on a document still in the tasks folder recycles nothing, and the next
// move cycle then takes it into transcription.
TEST_F(Transitions, CancelledBeforeTheMoveCycle) {
  MakeDirs(site.templates() + "/S");
  WriteAll(site.templates() + "/Services.txt", "1|S\r\n");
  WriteAll(site.templates() + "/TypeDocs.txt", "1|T|Type\r\n");
  WriteAll(site.templates() + "/S/Type.txt", "template");
  WriteAll(T("hvr_9.typedoc"), "T\r\n");
  RecyclerDocument(g, "u7", "9");
  EXPECT_TRUE(ListDir(T("RecycleBin/u7")).empty());
  RepereMove(g);
  EXPECT_TRUE(Exists(T("Transcriptions/u7/hvr_9.typedoc")));
  EXPECT_EQ(g.Activities().back(), Line("Trans. : u7 (#9)"));
}

}  // namespace
}  // namespace guichet::test
