// A temporary site with an open session, asking requests through the dispatcher.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/request.h"
#include "exchange/dispatch.h"
#include "support/text.h"
#include "support_lib/site.h"

namespace guichet::test {

class DocumentsTest : public ::testing::Test {
 protected:
  DocumentsTest() {
    MakeDirs(site.spool() + "/in");
    MakeDirs(site.spool() + "/out");
    g.Sessions.Append("tok", "u1", "08/12/2026 10:00");
  }

  TestSite site;
  Guichet& g = *site.g;

  // Asks `command` with the second value and the value line; returns the answer file.
  std::string Ask(const std::string& command, const std::string& second = "",
                  const std::string& values = "") {
    site.Request("r.req", {"/portail.hv", "tok", command, "", second, values});
    EXPECT_TRUE(TraiteRequete(g, "r.req"));
    return ReadAll(Out("r.htm"));
  }
  std::string Marker() { return ReadAll(Out("r.rdy")); }
  std::string Out(const std::string& n) { return site.spool() + "/out/" + n; }
  std::string Validation() { return site.tasks() + "/Validations/u1"; }
  std::string Rights() { return site.spool() + "/rights/~tok.lst"; }
  // What the spool root is called inside Guichet (with its ".." segment).
  std::string Root() { return g.CurrentSpoolRoot; }
  std::string Count() { return g.GetLabel(Label::kCompte); }

  static std::string Lines(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\r\n";
    return s;
  }
  static std::string ErrorPage(const std::string& encoded) {
    return Lines({"<html>", "<head>", "<title>", "Erreur", "</title>", "</head>", "<body>",
                  "<DD>" + encoded + "</DD>", "</body>", "</html>"});
  }
};

}  // namespace guichet::test
