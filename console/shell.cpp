#include "shell.h"

#include <cctype>
#include <cstring>

#include "output.h"
#include "session.h"

namespace velkin::console {

int GetQuotedArg(const char* line, int from, QuotedArg* out) {
  const int n = static_cast<int>(std::strlen(line));
  int i = from < 0 ? 0 : from;
  while (i < n && line[i] != '"') ++i;
  if (i >= n) return 0;
  const int begin = i + 1;
  int end = begin;
  while (end < n && line[end] != '"') ++end;
  out->text = line + begin;
  out->length = end - begin;
  out->start = begin;
  return end > begin ? 1 : 0;
}

bool CopyArg(const QuotedArg& arg, char* buffer, std::size_t size) {
  std::memset(buffer, 0, size);
  if (arg.length < 0 || static_cast<std::size_t>(arg.length) >= size) return false;
  std::memcpy(buffer, arg.text, static_cast<std::size_t>(arg.length));
  return true;
}

bool ArgReader::Next(QuotedArg* arg) {
  if (GetQuotedArg(line_, from_, arg) == 0) return false;
  from_ = NextArgIndex(*arg);
  return true;
}

bool ArgReader::Next(char* buffer, std::size_t size) {
  std::memset(buffer, 0, size);
  QuotedArg arg;
  if (!Next(&arg)) return false;
  if (!CopyArg(arg, buffer, size)) fits_ = false;
  return true;
}

namespace {

bool StartsWithWord(const char* line, const char* word) {
  for (std::size_t i = 0; word[i] != '\0'; ++i) {
    const auto a = static_cast<unsigned char>(line[i]);
    const auto b = static_cast<unsigned char>(word[i]);
    if (a == '\0' || std::toupper(a) != std::toupper(b)) return false;
  }
  return true;
}

}  // namespace

bool DispatchLine(std::span<const CommandEntry> table, const char* line) {
  for (const CommandEntry& row : table) {
    if (StartsWithWord(line, row.word)) {
      row.handler(line);
      return true;
    }
  }
  return false;
}

ReadResult ReadCommandLine(std::FILE* in, char* buffer) {
  std::memset(buffer, 0, kLineBufferSize + 1);
  std::size_t used = 0;
  bool overflow = false;
  for (;;) {
    const int c = std::fgetc(in);
    if (c == EOF) {
      if (used == 0 && !overflow) return ReadResult::kEndOfInput;
      // A driving program that writes its last command and closes the pipe without a line feed
      // still gets that command run (the end of input comes with the next read). The line feed
      // is added so that handlers see the line as they always do.
      if (used < kLineBufferSize) {
        buffer[used] = '\n';
      } else {
        overflow = true;
      }
      break;
    }
    if (used < kLineBufferSize) {
      buffer[used++] = static_cast<char>(c);
    } else {
      overflow = true;
    }
    if (c == '\n') break;
  }
  if (overflow) {
    // Never run a command with a cut-off argument: the whole line is dropped.
    std::memset(buffer, 0, kLineBufferSize + 1);
    return ReadResult::kTooLong;
  }
  return ReadResult::kLine;
}

void RunPromptLoop(std::FILE* in) {
  static char line[kLineBufferSize + 1];
  for (;;) {
    std::printf("\n%s\n", kPrompt);
    std::fflush(stdout);
    const ReadResult r = ReadCommandLine(in, line);
    if (r == ReadResult::kEndOfInput) {
      // No further command can come: end the run as QUIT would.
      EndSession();
      return;
    }
    if (r == ReadResult::kLine) DispatchLine(CommandTable(), line);
  }
}

void TestCommand(const char* line) {
  ArgReader args(line);
  QuotedArg arg;
  for (int from = args.From(); args.Next(&arg); from = args.From()) {
    char text[1024];
    // A longer argument is shown cut to the buffer; its real length is still printed.
    std::memset(text, 0, sizeof text);
    std::memcpy(text, arg.text,
                static_cast<std::size_t>(arg.length) < sizeof text - 1 ? static_cast<std::size_t>(arg.length)
                                                                       : sizeof text - 1);
    std::printf("%sTEST: offset %d param %s[%d] next %d\n", kInfo, from, text, arg.length, arg.start);
  }
}

}  // namespace velkin::console
