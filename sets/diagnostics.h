// Errors and warnings about a set, each naming where it comes from: the set file and line, and the
// clip (its number and file) when it is about one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace velkin::sets {

enum class Severity { kError, kWarning };

struct Diagnostic {
  Severity severity = Severity::kError;
  std::string file;                 // the set file as named; empty for a set made in memory
  int line = 0;                     // 0: no line
  std::optional<std::size_t> clip;  // the clip it is about, counted from 0
  std::string text;

  // "phrases.toml:12: label 300 is over 255", "phrases.toml:14: warning: ..."; without a file or
  // line, what there is.
  std::string Format() const;
};

class Diagnostics {
 public:
  void Add(Diagnostic diagnostic) { list_.push_back(std::move(diagnostic)); }
  void Error(std::string file, int line, std::string text, std::optional<std::size_t> clip = {});
  void Warning(std::string file, int line, std::string text, std::optional<std::size_t> clip = {});
  void Append(const Diagnostics& other);

  bool HasErrors() const;
  std::size_t ErrorCount() const;
  const std::vector<Diagnostic>& All() const { return list_; }
  // The first error's formatted text; empty when there is none.
  std::string FirstError() const;
  // Every diagnostic formatted, one a line.
  std::string Text() const;

 private:
  std::vector<Diagnostic> list_;
};

}  // namespace velkin::sets
