// VelkinUtils run as a separate process and driven through its standard input, as a driving
// program does.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"

namespace velkin::test {
namespace {

using Lines = std::vector<std::string>;

std::unique_ptr<ChildProcess> StartConsole(const std::vector<std::string>& args = {"QUAMIRA", "VOXA CDROM"}) {
  auto child = ChildProcess::Start(ProgramPath("VelkinUtils"), args);
  EXPECT_NE(child, nullptr);
  return child;
}

#ifdef _WIN32
constexpr int kUsageStatus = 999;
#else
constexpr int kUsageStatus = 999 % 256;  // a POSIX parent sees the low eight bits
#endif

TEST(ConsoleStart, WrongArgumentCountPrintsUsageOnly) {
  for (const auto& args : {Lines{}, Lines{"QUAMIRA"}, Lines{"a", "b", "c"}}) {
    auto child = StartConsole(args);
    ASSERT_TRUE(child);
    EXPECT_EQ(child->ReadAllLines(), Lines{"-<vid> <pid>"});
    EXPECT_EQ(child->Wait(), kUsageStatus);
  }
}

TEST(ConsoleStart, WelcomeAndIdentityThenPrompt) {
  auto child = StartConsole();
  ASSERT_TRUE(child);
  auto start = child->ReadUntilPrompt();
  ASSERT_TRUE(start);
  ASSERT_GE(start->size(), 2u);
  EXPECT_EQ((*start)[0], "*VELKIN: Welcome to Velkin Util 1.44");
  EXPECT_EQ((*start)[1], "*USB: QUAMIRA VOXA CDROM");
  child->CloseInput();
  EXPECT_EQ(child->Wait(), 0);
}

class ConsoleShell : public ::testing::Test {
 protected:
  void SetUp() override {
    child_ = StartConsole();
    ASSERT_TRUE(child_);
    ASSERT_TRUE(child_->ReadUntilPrompt());
  }
  Lines Run(const std::string& line) {
    auto answer = child_->Command(line);
    EXPECT_TRUE(answer) << "no prompt after: " << line;
    return answer.value_or(Lines{"<no prompt>"});
  }
  std::unique_ptr<ChildProcess> child_;
};

TEST_F(ConsoleShell, EmptyAndUnknownLinesPrintOnlyThePrompt) {
  EXPECT_EQ(Run(""), Lines{});
  EXPECT_EQ(Run("NOSUCHCOMMAND \"x\""), Lines{});
  EXPECT_EQ(Run(" TEST \"a\""), Lines{});
}

TEST_F(ConsoleShell, TestShowsEachArgumentWithItsIndexes) {
  EXPECT_EQ(Run("TEST \"a\" \"bc\""),
            (Lines{"*TEST: offset 0 param a[1] next 6", "*TEST: offset 9 param bc[2] next 10"}));
  EXPECT_EQ(Run("test \"a\""), (Lines{"*TEST: offset 0 param a[1] next 6"}));
  EXPECT_EQ(Run("TEST"), Lines{});
  EXPECT_EQ(Run("TEST \"\""), Lines{});
}

TEST_F(ConsoleShell, MissingClosingQuoteIncludesTheLineFeed) {
  // The argument runs to the end of the line: the line feed is printed as part of it, so the
  // line breaks after "abc" and the rest follows on the next line.
  EXPECT_EQ(Run("TEST \"abc"), (Lines{"*TEST: offset 0 param abc", "[4] next 6"}));
}

TEST_F(ConsoleShell, OverlongLineIsIgnoredWhole) {
  const std::string arg(5000, 'x');
  EXPECT_EQ(Run("TEST \"" + arg + "\""), Lines{});
  EXPECT_EQ(Run("TEST \"ok\""), (Lines{"*TEST: offset 0 param ok[2] next 6"}));
}

TEST_F(ConsoleShell, LongArgumentIsShownCutToItsBuffer) {
  const std::string arg(2000, 'y');
  const auto answer = Run("TEST \"" + arg + "\"");
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0], "*TEST: offset 0 param " + std::string(1023, 'y') + "[2000] next 6");
}

TEST_F(ConsoleShell, EndOfInputEndsTheRunWithStatusZero) {
  // As QUIT: the device's I/O port is released (no device here, so the library answers 0).
  child_->CloseInput();
  EXPECT_EQ(child_->ReadAllLines(), Lines{"*USB:SetIOPort FALSE return 0"});
  EXPECT_EQ(child_->Wait(), 0);
}

TEST(ConsoleEnd, ALastLineWithoutLineFeedRunsBeforeTheEnd) {
  // A driving program writes its last command and closes the pipe: the command runs as if its
  // line feed had come (an unclosed argument still ends with one), then the run ends as QUIT.
  const Lines quit{"", "velkin>", "*USB:SetIOPort FALSE return 0"};
  const std::pair<std::string, Lines> cases[] = {
      {"STATUS", {"-STATUS: return 0"}},
      {"TEST \"abc", {"*TEST: offset 0 param abc", "[4] next 6"}},
  };
  for (const auto& [input, answer] : cases) {
    auto child = StartConsole();
    ASSERT_TRUE(child);
    ASSERT_TRUE(child->ReadUntilPrompt());
    ASSERT_TRUE(child->Write(input));
    child->CloseInput();
    Lines expected = answer;
    expected.insert(expected.end(), quit.begin(), quit.end());
    EXPECT_EQ(child->ReadAllLines(), expected) << input;
    EXPECT_EQ(child->Wait(), 0);
  }
}

}  // namespace
}  // namespace velkin::test
