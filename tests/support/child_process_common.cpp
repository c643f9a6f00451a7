#include "child_process.h"

namespace velkin::test {

using Clock = std::chrono::steady_clock;

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (closed_) {
      if (pending_.empty()) return std::nullopt;
      std::string rest;
      rest.swap(pending_);
      return rest;
    }
    const auto now = Clock::now();
    if (now >= deadline) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    std::string chunk;
    if (ReadSome(chunk, left)) {
      pending_ += chunk;
    } else if (!closed_ && Clock::now() >= deadline) {
      return std::nullopt;
    }
  }
}

std::optional<std::vector<std::string>> ChildProcess::ReadUntilPrompt(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<std::string> lines;
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) return std::nullopt;
    auto line = ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
    if (!line) return std::nullopt;
    if (*line == "velkin>") {
      if (!lines.empty() && lines.back().empty()) lines.pop_back();
      return lines;
    }
    lines.push_back(*line);
  }
}

std::optional<std::vector<std::string>> ChildProcess::Command(const std::string& line,
                                                              std::chrono::milliseconds timeout) {
  if (!WriteLine(line)) return std::nullopt;
  return ReadUntilPrompt(timeout);
}

std::vector<std::string> ChildProcess::ReadAllLines(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<std::string> lines;
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) break;
    auto line = ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
    if (!line) break;
    lines.push_back(*line);
  }
  return lines;
}

void ChildProcess::MarkClosed() {
  closed_ = true;
}

}  // namespace velkin::test
