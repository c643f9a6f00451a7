// The shell's routines called directly: argument extraction, dispatch and line reading.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/shell.h"

namespace velkin::console {
namespace {

std::vector<std::string> AllArgs(const char* line) {
  std::vector<std::string> out;
  QuotedArg arg;
  int from = 0;
  while (GetQuotedArg(line, from, &arg)) {
    out.emplace_back(arg.text, static_cast<std::size_t>(arg.length));
    from = NextArgIndex(arg);
  }
  return out;
}

TEST(GetQuotedArg, FindsArgumentsAndTheirIndexes) {
  const char* line = "TEST \"a\" \"bc\"\n";
  QuotedArg arg;
  ASSERT_EQ(GetQuotedArg(line, 0, &arg), 1);
  EXPECT_EQ(arg.length, 1);
  EXPECT_EQ(arg.start, 6);
  EXPECT_EQ(arg.text, line + 6);
  ASSERT_EQ(GetQuotedArg(line, NextArgIndex(arg), &arg), 1);
  EXPECT_EQ(NextArgIndex(QuotedArg{nullptr, 1, 6}), 9);
  EXPECT_EQ(arg.length, 2);
  EXPECT_EQ(arg.start, 10);
  EXPECT_EQ(GetQuotedArg(line, NextArgIndex(arg), &arg), 0);
}

TEST(GetQuotedArg, EmptyArgumentFillsOutButCountsAsMissing) {
  QuotedArg arg{nullptr, 99, 99};
  EXPECT_EQ(GetQuotedArg("X \"\"\n", 0, &arg), 0);
  EXPECT_EQ(arg.length, 0);
  EXPECT_EQ(arg.start, 3);
}

TEST(GetQuotedArg, NoQuoteLeavesOutUnchanged) {
  QuotedArg arg{nullptr, 7, 8};
  EXPECT_EQ(GetQuotedArg("no quotes here\n", 0, &arg), 0);
  EXPECT_EQ(arg.length, 7);
  EXPECT_EQ(arg.start, 8);
  // A search that starts at or beyond the end finds nothing.
  EXPECT_EQ(GetQuotedArg("\"a\"\n", 4, &arg), 0);
  EXPECT_EQ(GetQuotedArg("\"a\"\n", 40, &arg), 0);
}

TEST(GetQuotedArg, MissingClosingQuoteRunsToTheEndIncludingLineFeed) {
  const char* line = "X \"abc\n";
  QuotedArg arg;
  ASSERT_EQ(GetQuotedArg(line, 0, &arg), 1);
  EXPECT_EQ(std::string(arg.text, arg.length), "abc\n");
}

TEST(GetQuotedArg, TextBetweenArgumentsIsSkipped) {
  EXPECT_EQ(AllArgs("CMD \"one\", junk \"two\"  \"three\"\r\n"), (std::vector<std::string>{"one", "two", "three"}));
}

TEST(GetQuotedArg, AdjacentArgumentsShiftTheQuotes) {
  // The search resumes two characters after a closing quote, so the opening quote of "b" is
  // skipped, its closing quote opens the next argument and what follows becomes that argument.
  EXPECT_EQ(AllArgs("X \"a\"\"b\" \"c\"\n"), (std::vector<std::string>{"a", " ", "\n"}));
}

TEST(ArgReader, WalksByTheRuleAndTellsWhereEachSearchStarts) {
  const char* line = "TEST \"a\" \"bc\"\n";
  ArgReader args(line);
  QuotedArg arg;
  EXPECT_EQ(args.From(), 0);
  ASSERT_TRUE(args.Next(&arg));
  EXPECT_EQ(std::string(arg.text, arg.length), "a");
  EXPECT_EQ(args.From(), 9);
  ASSERT_TRUE(args.Next(&arg));
  EXPECT_EQ(std::string(arg.text, arg.length), "bc");
  EXPECT_EQ(args.From(), 14);
  EXPECT_FALSE(args.Next(&arg));
}

TEST(ArgReader, AMissingArgumentEndsTheWalk) {
  // The empty argument counts as missing; the one after it is never reached.
  ArgReader args("X \"a\" \"\" \"b\"\n");
  char text[8];
  ASSERT_TRUE(args.Next(text));
  EXPECT_STREQ(text, "a");
  EXPECT_FALSE(args.Next(text));
  EXPECT_FALSE(args.Next(text));
  EXPECT_STREQ(text, "");
  EXPECT_TRUE(args.AllFit());
}

TEST(ArgReader, CopiesAreZeroFilledAndAnOverlongOneIsFoundButMarked) {
  ArgReader args("X \"abc\" \"abcd\" \"e\"\n");
  char text[4];
  std::memset(text, 'z', sizeof text);
  ASSERT_TRUE(args.Next(text));
  EXPECT_EQ(std::string(text, sizeof text), std::string("abc\0", 4));
  ASSERT_TRUE(args.Next(text));  // four characters need five bytes
  EXPECT_EQ(std::string(text, sizeof text), std::string(4, '\0'));
  EXPECT_FALSE(args.AllFit());
  // The walk goes on past it by the argument's real length.
  ASSERT_TRUE(args.Next(text));
  EXPECT_STREQ(text, "e");
  EXPECT_FALSE(args.AllFit());
}

std::vector<std::string> g_calls;
void HandlerA(const char* line) {
  g_calls.push_back(std::string("A:") + line);
}
void HandlerB(const char* line) {
  g_calls.push_back(std::string("B:") + line);
}

TEST(DispatchLine, CaseInsensitivePrefixInTableOrder) {
  const CommandEntry table[] = {{"MONO", HandlerA}, {"QUIT", HandlerB}};
  g_calls.clear();
  EXPECT_TRUE(DispatchLine(table, "mono \"x\"\n"));
  EXPECT_TRUE(DispatchLine(table, "QuItNow\n"));
  EXPECT_FALSE(DispatchLine(table, " MONO\n"));
  EXPECT_FALSE(DispatchLine(table, "MON\n"));
  EXPECT_FALSE(DispatchLine(table, "\n"));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"A:mono \"x\"\n", "B:QuItNow\n"}));
}

TEST(CommandTable, NoWordIsAPrefixOfAnother) {
  const auto table = CommandTable();
  ASSERT_FALSE(table.empty());
  for (const auto& a : table) {
    for (const auto& b : table) {
      if (&a == &b) continue;
      EXPECT_NE(std::string(b.word).rfind(a.word, 0), 0u) << a.word << " prefixes " << b.word;
    }
  }
}

class ReadCommandLineTest : public ::testing::Test {
 protected:
  std::FILE* Input(const std::string& text) {
    if (file_) std::fclose(file_);
    file_ = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), file_);
    std::rewind(file_);
    return file_;
  }
  void TearDown() override {
    if (file_) std::fclose(file_);
  }
  std::FILE* file_ = nullptr;
  char buffer_[kLineBufferSize + 1];
};

TEST_F(ReadCommandLineTest, KeepsLineFeedAndClearsTheRest) {
  std::FILE* in = Input("first line\nx\n");
  ASSERT_EQ(ReadCommandLine(in, buffer_), ReadResult::kLine);
  EXPECT_STREQ(buffer_, "first line\n");
  ASSERT_EQ(ReadCommandLine(in, buffer_), ReadResult::kLine);
  EXPECT_STREQ(buffer_, "x\n");
  for (std::size_t i = 2; i <= kLineBufferSize; ++i) ASSERT_EQ(buffer_[i], 0);
  EXPECT_EQ(ReadCommandLine(in, buffer_), ReadResult::kEndOfInput);
}

TEST_F(ReadCommandLineTest, LongestLineFitsAndOneMoreIsDropped) {
  const std::string fits(kLineBufferSize - 1, 'a');
  const std::string too_long(kLineBufferSize, 'b');
  std::FILE* in = Input(fits + "\n" + too_long + "\nnext\n");
  ASSERT_EQ(ReadCommandLine(in, buffer_), ReadResult::kLine);
  EXPECT_EQ(std::string(buffer_), fits + "\n");
  ASSERT_EQ(ReadCommandLine(in, buffer_), ReadResult::kTooLong);
  EXPECT_STREQ(buffer_, "");
  ASSERT_EQ(ReadCommandLine(in, buffer_), ReadResult::kLine);
  EXPECT_STREQ(buffer_, "next\n");
}

TEST_F(ReadCommandLineTest, UnterminatedLastLineComesWithALineFeedThenEndOfInput) {
  std::FILE* in = Input("QUIT");
  ASSERT_EQ(ReadCommandLine(in, buffer_), ReadResult::kLine);
  EXPECT_STREQ(buffer_, "QUIT\n");
  EXPECT_EQ(ReadCommandLine(in, buffer_), ReadResult::kEndOfInput);
  // One that needs the whole buffer has no room for the line feed: dropped as too long.
  in = Input("x" + std::string(kLineBufferSize - 1, 'a'));
  EXPECT_EQ(ReadCommandLine(in, buffer_), ReadResult::kTooLong);
  EXPECT_EQ(ReadCommandLine(in, buffer_), ReadResult::kEndOfInput);
}

}  // namespace
}  // namespace velkin::console
