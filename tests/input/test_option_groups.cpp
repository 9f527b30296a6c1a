#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "input/option_groups.h"
#include "test_parameter_support.h"

namespace kova {
namespace {

using paramtest::kLogUnit;
using paramtest::WorkDir;

const std::string kWarning =
    "\n IN SUBROUTINE OPGSET, NO GROUP FOUND WITH THE ID SPECIFIED IN OPTGID\n PROGRAM CONTINUES.\n";

OptionGroupTable tableOf(std::initializer_list<std::pair<int, int>> entries) {
  OptionGroupTable t;
  for (const auto& [id, value] : entries) {
    t.OPTGID[t.NOPTG] = id;
    t.name[t.NOPTG] = "MAXITG      ";
    t.value[t.NOPTG] = value;
    ++t.NOPTG;
  }
  return t;
}

struct Handover {
  int maxitg[3] = {5, 5, 5};
  std::string log;
  std::string console;
};

// OPGSET for the groups 3, 7 and 12, whose limits start at the run-wide 5.
Handover handOver(const OptionGroupTable& table) {
  WorkDir dir;
  Handover h;
  const int ids[3] = {3, 7, 12};
  std::ostringstream console;
  {
    ConsoleRedirect redirect(console);
    openUnit(kLogUnit, "KOVALOG", "FORMATTED", "UNKNOWN");
    OPGSET(table, 3, ids, h.maxitg, kLogUnit);
    closeAllUnits();
  }
  h.log = paramtest::readText("KOVALOG");
  h.console = console.str();
  return h;
}

TEST(OPGSET, EntriesReachTheirGroupsAndTheLastOneWins) {
  Handover h = handOver(tableOf({{12, 3}, {3, 0}, {12, 8}}));
  EXPECT_EQ(h.maxitg[0], 0);
  EXPECT_EQ(h.maxitg[1], 5);
  EXPECT_EQ(h.maxitg[2], 8);
  EXPECT_EQ(h.log, "");
  EXPECT_EQ(h.console, "");
}

TEST(OPGSET, UnknownIdentifierWarnsAndTheRestIsStillHandedOver) {
  Handover h = handOver(tableOf({{99, 1}, {7, 2}}));
  EXPECT_EQ(h.maxitg[1], 2);
  EXPECT_EQ(h.maxitg[0], 5);
  EXPECT_EQ(h.log, kWarning);
  EXPECT_EQ(h.console, kWarning);
}

TEST(OPGSET, OnlyMaxitgEntriesCount) {
  OptionGroupTable t = tableOf({{3, 1}, {99, 4}});
  t.name[1] = "OTHER       ";
  Handover h = handOver(t);
  EXPECT_EQ(h.maxitg[0], 1);
  EXPECT_EQ(h.log, "");  // the unknown group of a foreign option is not looked up
  EXPECT_EQ(handOver(OptionGroupTable{}).maxitg[2], 5);
}

TEST(OPGSET, TakesTheTableGETPRMBuilds) {
  WorkDir dir;
  paramtest::ParamRun run = paramtest::runGETPRM(
      "BEGIN GROUP (ALL)\nITER = 3\nEND GROUP (ALL)\nBEGIN GROUP (7)\nITER = 10\n"
      "END GROUP (7)\nEND OF DATA\n");
  ASSERT_FALSE(run.stopped);
  Handover h = handOver(run.options.optionGroups);
  EXPECT_EQ(h.maxitg[1], 9);
  EXPECT_EQ(h.maxitg[0], 5);
}

}  // namespace
}  // namespace kova
