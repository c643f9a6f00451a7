// What every command shares: the common options, the output (text for people or one JSON object
// per line), the exit statuses, and the work the chosen command does once its arguments parsed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "device/programming/unit.h"

namespace velkin::cli {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

class Session {
 public:
  bool json = false;
  std::string vendor = "QUAMIRA";
  std::string product = "VOXA CDROM";
  // The chosen command's work; set while its arguments parse, run after they all did.
  std::function<int()> run;

  programming::MatchTexts Texts() const { return {vendor, product}; }

  // One JSON object as one line on standard output, flushed at once.
  void Emit(const nlohmann::json& object) const;
  // One line of text on standard output, flushed.
  void Say(const std::string& line) const;
  // "velkin: TEXT" on standard error.
  void Error(const std::string& text) const;
};

// --json, --vendor and --product on a command.
void AddCommonOptions(CLI::App& command, Session& session);
// --json alone, for the commands that work on files, not units.
void AddJsonOption(CLI::App& command, Session& session);

// Text from a unit, a file name or a user, made safe for a terminal and bounded: control
// characters and bytes that are not UTF-8 become '?', and text beyond `limit` characters
// is cut with "...".
std::string SafeText(std::string_view text, std::size_t limit = 120);

// "0x002000"
std::string Address(std::uint32_t address);

}  // namespace velkin::cli
