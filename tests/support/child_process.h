// Runs a program as a child process with pipes on its standard input and output, the way a
// driving program runs VelkinUtils. Works on POSIX and on Windows (also under Wine).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velkin::test {

using Environment = std::vector<std::pair<std::string, std::string>>;

class ChildProcess {
 public:
  virtual ~ChildProcess() = default;

  // Starts `program` with `args` (not including the program name). `env` entries are added
  // to (or replace entries of) the current environment. The child's standard error goes to the
  // file `stderr_path` (made anew) when one is given, else to this process's. Returns null if the
  // start failed.
  static std::unique_ptr<ChildProcess> Start(const std::string& program, const std::vector<std::string>& args,
                                             const Environment& env = {}, const std::string& stderr_path = "");

  // Writes raw bytes to the child's standard input.
  virtual bool Write(const std::string& bytes) = 0;
  bool WriteLine(const std::string& line) { return Write(line + "\n"); }
  virtual void CloseInput() = 0;

  // Next output line without its line ending (a trailing "\r" is dropped too); nullopt on
  // timeout or end of output.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Lines up to the next prompt line "velkin>", without the prompt and without the empty line
  // that precedes it. nullopt on timeout or end of output before a prompt.
  std::optional<std::vector<std::string>> ReadUntilPrompt(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Sends a command line and returns its answer (the lines up to the next prompt).
  std::optional<std::vector<std::string>> Command(const std::string& line,
                                                  std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Everything the child writes until it closes its output.
  std::vector<std::string> ReadAllLines(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Waits for the exit and returns the exit status (-1 on timeout or abnormal end).
  virtual int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) = 0;
  virtual void Kill() = 0;
  // Asks the child to stop as Ctrl-C does (SIGINT). False where the harness cannot (Windows: a
  // console control event needs a console the child shares, which a child on pipes has not).
  virtual bool Interrupt() = 0;
  // The child's process number (0 once it has been waited for).
  virtual std::uint64_t Pid() const = 0;

  // True when end of output was seen.
  bool OutputClosed() const { return closed_; }

 protected:
  // Reads whatever output is available, waiting at most `timeout`. Returns false at end of output
  // or timeout with nothing read.
  // Implementations call MarkClosed() when they see end of output.
  virtual bool ReadSome(std::string& into, std::chrono::milliseconds timeout) = 0;
  void MarkClosed();

 private:
  std::string pending_;
  bool closed_ = false;
};

}  // namespace velkin::test
