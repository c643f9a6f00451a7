// The command shell: quoted-argument extraction, the command table and the prompt loop.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>

namespace velkin::console {

// Size of the buffer that receives one input line, line feed included.
inline constexpr std::size_t kLineBufferSize = 4096;

// Result of GetQuotedArg: the argument text points into the line (not terminated there).
struct QuotedArg {
  const char* text = nullptr;
  int length = 0;
  int start = 0;
};

// Finds the next double-quoted argument at or after index `from`.
// Returns 1 when a non-empty argument was found, 0 otherwise (out is left unchanged when no
// opening quote exists; an empty "" fills out with length 0 and still answers 0).
int GetQuotedArg(const char* line, int from, QuotedArg* out);

// Index from which the argument after `arg` is searched: one character after its closing quote.
inline int NextArgIndex(const QuotedArg& arg) {
  return arg.start + arg.length + 2;
}

// Copies an argument into a zero-filled buffer of `size` bytes. Returns false, leaving the
// buffer empty, when the text does not fit with its terminating zero.
bool CopyArg(const QuotedArg& arg, char* buffer, std::size_t size);

// The one way every command reads its arguments: GetQuotedArg from index 0, then from
// NextArgIndex of the argument before. A missing argument stays missing (the search does not
// move past it), so a command that needs k arguments asks for them in order and treats the
// first false as the end of its arguments.
class ArgReader {
 public:
  explicit ArgReader(const char* line) : line_(line) {}

  // Index the next search starts from.
  int From() const { return from_; }

  // The next argument as it lies in the line. False, leaving `arg` as GetQuotedArg left it, once
  // an argument is missing.
  bool Next(QuotedArg* arg);

  // The next argument copied into a zero-filled buffer (cleared also when the argument is
  // missing). An argument too long for the buffer still counts as found, leaves the buffer
  // empty and makes AllFit() false: commands refuse it rather than work on a cut-off text.
  bool Next(char* buffer, std::size_t size);
  template <std::size_t N>
  bool Next(char (&buffer)[N]) {
    return Next(buffer, N);
  }

  // False once an argument read into a buffer did not fit it.
  bool AllFit() const { return fits_; }

 private:
  const char* line_;
  int from_ = 0;
  bool fits_ = true;
};

using CommandHandler = void (*)(const char* line);

struct CommandEntry {
  const char* word;
  CommandHandler handler;
};

// The program's command table, in search order.
std::span<const CommandEntry> CommandTable();

// Calls the handler of the first row whose word is a case-insensitive prefix of the line.
// Returns false when no row matches (the line is then ignored).
bool DispatchLine(std::span<const CommandEntry> table, const char* line);

enum class ReadResult { kLine, kTooLong, kEndOfInput };

// Reads one line, line feed included, into a zero-filled buffer of kLineBufferSize + 1 bytes.
// A line that does not fit is read up to its line feed and reported as kTooLong. A last line
// without a line feed is returned with one added; kEndOfInput only comes when nothing was read.
ReadResult ReadCommandLine(std::FILE* in, char* buffer);

// Prints the prompt, reads and dispatches lines until the input ends.
void RunPromptLoop(std::FILE* in);

// TEST: prints every quoted argument of the line as the extractor sees it.
void TestCommand(const char* line);

}  // namespace velkin::console
