#include "sets/diagnostics.h"

#include <algorithm>

namespace velkin::sets {

std::string Diagnostic::Format() const {
  std::string out = file;
  if (line > 0) out += (out.empty() ? "line " : ":") + std::to_string(line);
  if (!out.empty()) out += ": ";
  if (severity == Severity::kWarning) out += "warning: ";
  return out + text;
}

void Diagnostics::Error(std::string file, int line, std::string text, std::optional<std::size_t> clip) {
  list_.push_back({Severity::kError, std::move(file), line, clip, std::move(text)});
}

void Diagnostics::Warning(std::string file, int line, std::string text, std::optional<std::size_t> clip) {
  list_.push_back({Severity::kWarning, std::move(file), line, clip, std::move(text)});
}

void Diagnostics::Append(const Diagnostics& other) {
  list_.insert(list_.end(), other.list_.begin(), other.list_.end());
}

bool Diagnostics::HasErrors() const {
  return ErrorCount() > 0;
}

std::size_t Diagnostics::ErrorCount() const {
  return static_cast<std::size_t>(
      std::count_if(list_.begin(), list_.end(), [](const Diagnostic& d) { return d.severity == Severity::kError; }));
}

std::string Diagnostics::FirstError() const {
  for (const auto& d : list_) {
    if (d.severity == Severity::kError) return d.Format();
  }
  return {};
}

std::string Diagnostics::Text() const {
  std::string out;
  for (const auto& d : list_) out += d.Format() + "\n";
  return out;
}

}  // namespace velkin::sets
