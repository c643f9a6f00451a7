#include "faults.h"

#include <array>

#include "text_util.h"

namespace velkin::emu {
namespace {

struct KindName {
  CommandKind kind;
  const char* name;
};
constexpr std::array<KindName, 8> kKindNames{{{CommandKind::kAny, "any"},
                                              {CommandKind::kErase, "erase"},
                                              {CommandKind::kRead, "read"},
                                              {CommandKind::kWrite, "write"},
                                              {CommandKind::kDataOut, "data_out"},
                                              {CommandKind::kDataIn, "data_in"},
                                              {CommandKind::kInquiry, "inquiry"},
                                              {CommandKind::kOther, "other"}}};

// "write" or "write:2": a command kind and an optional count.
bool ParseKindAndCount(std::string_view value, std::optional<CommandKind>& kind, std::uint32_t& count) {
  value = Trim(value);
  std::string_view name = value;
  std::uint32_t n = 0;
  if (const auto colon = value.find(':'); colon != std::string_view::npos) {
    name = Trim(value.substr(0, colon));
    const auto parsed = ParseNumber(value.substr(colon + 1));
    if (!parsed || *parsed > UINT32_MAX) return false;
    n = static_cast<std::uint32_t>(*parsed);
  }
  if (name == "none" || name.empty()) {
    kind.reset();
    count = 0;
    return true;
  }
  const auto parsed_kind = ParseCommandKind(name);
  if (!parsed_kind) return false;
  kind = parsed_kind;
  count = n;
  return true;
}

std::optional<std::uint32_t> ParseU32(std::string_view value) {
  const auto n = ParseNumber(value);
  if (!n || *n > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(*n);
}

std::optional<bool> ParseFlag(std::string_view value) {
  value = Trim(value);
  if (value == "1" || value == "yes" || value == "on" || value == "true") return true;
  if (value == "0" || value == "no" || value == "off" || value == "false") return false;
  return std::nullopt;
}

std::string KindAndCount(CommandKind kind, std::uint32_t count) {
  std::string text = CommandKindName(kind);
  if (count != 0) {
    text += ':';
    text += std::to_string(count);
  }
  return text;
}

std::string Hex32(std::uint32_t value) {
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) text += "0123456789abcdef"[(value >> shift) & 15];
  return text;
}

}  // namespace

std::optional<CommandKind> ParseCommandKind(std::string_view text) {
  for (const auto& entry : kKindNames) {
    if (text == entry.name) return entry.kind;
  }
  return std::nullopt;
}

const char* CommandKindName(CommandKind kind) {
  for (const auto& entry : kKindNames) {
    if (entry.kind == kind) return entry.name;
  }
  return "other";
}

CommandKind ClassifyCommand(const std::uint8_t* cdb, std::size_t length) {
  if (length == 0) return CommandKind::kOther;
  switch (cdb[0]) {
    case 0xFD:
      if (length < 2) return CommandKind::kOther;
      if (cdb[1] == 0x20) return CommandKind::kErase;
      if (cdb[1] == 0x28) return CommandKind::kRead;
      if (cdb[1] == 0x2A) return CommandKind::kWrite;
      return CommandKind::kOther;
    case 0xE0:
      return CommandKind::kDataOut;
    case 0xD0:
      return CommandKind::kDataIn;
    case 0x12:
      return CommandKind::kInquiry;
    default:
      return CommandKind::kOther;
  }
}

bool IsFaultKey(std::string_view key) {
  for (const char* k :
       {"fail", "fail_error", "check", "sense", "eeprom_busy", "eeprom_fail", "wrong_echo", "refuse_write_at",
        "unplug_after", "bulk_erase_polls", "refuse_open", "command_us", "byte_ns"}) {
    if (key == k) return true;
  }
  return false;
}

bool ApplyFaultSetting(Faults& faults, std::string_view key, std::string_view value, std::string* error) {
  bool ok = false;
  value = Trim(value);
  if (key == "fail") {
    ok = ParseKindAndCount(value, faults.fail, faults.fail_count);
  } else if (key == "fail_error") {
    const auto n = ParseU32(value);
    if ((ok = n.has_value())) faults.fail_error = *n;
  } else if (key == "check") {
    ok = ParseKindAndCount(value, faults.check, faults.check_count);
  } else if (key == "sense") {
    const auto bytes = ParseHexBytes(value);
    if ((ok = bytes && bytes->size() == 3)) {
      for (int i = 0; i < 3; ++i) faults.check_sense[i] = static_cast<std::uint8_t>((*bytes)[i]);
    }
  } else if (key == "eeprom_busy") {
    if (value == "forever") {
      faults.eeprom_busy_forever = true;
      faults.eeprom_busy = 0;
      ok = true;
    } else if (const auto n = ParseU32(value)) {
      faults.eeprom_busy_forever = false;
      faults.eeprom_busy = *n;
      ok = true;
    }
  } else if (key == "eeprom_fail" || key == "wrong_echo") {
    const auto flag = ParseFlag(value);
    if ((ok = flag.has_value())) (key == "eeprom_fail" ? faults.eeprom_fail : faults.wrong_echo) = *flag;
  } else if (key == "refuse_write_at" || key == "unplug_after") {
    auto& field = key == "refuse_write_at" ? faults.refuse_write_at : faults.unplug_after;
    if (value == "none") {
      field.reset();
      ok = true;
    } else if (const auto n = ParseU32(value)) {
      field = *n;
      ok = true;
    }
  } else if (key == "bulk_erase_polls" || key == "command_us" || key == "byte_ns") {
    const auto n = ParseU32(value);
    auto& field = key == "command_us" ? faults.command_us : key == "byte_ns" ? faults.byte_ns : faults.bulk_erase_polls;
    if ((ok = n.has_value())) field = *n;
  } else if (key == "refuse_open") {
    using Refusal = Faults::OpenRefusal;
    ok = value == "none" || value == "denied" || value == "busy";
    if (ok)
      faults.refuse_open = value == "denied" ? Refusal::kDenied : value == "busy" ? Refusal::kBusy : Refusal::kNone;
  } else {
    if (error != nullptr) *error = "unknown setting '" + std::string(key) + "'";
    return false;
  }
  if (!ok && error != nullptr) *error = "bad value '" + std::string(value) + "' for " + std::string(key);
  return ok;
}

std::vector<std::pair<std::string, std::string>> FaultSettings(const Faults& faults) {
  const Faults plain;
  std::vector<std::pair<std::string, std::string>> out;
  if (faults.fail) out.emplace_back("fail", KindAndCount(*faults.fail, faults.fail_count));
  if (faults.fail_error != plain.fail_error) out.emplace_back("fail_error", std::to_string(faults.fail_error));
  if (faults.check) out.emplace_back("check", KindAndCount(*faults.check, faults.check_count));
  if ((faults.check_sense[0] != plain.check_sense[0] || faults.check_sense[1] != plain.check_sense[1] ||
       faults.check_sense[2] != plain.check_sense[2])) {
    out.emplace_back("sense", HexByte(faults.check_sense[0]) + " " + HexByte(faults.check_sense[1]) + " " +
                                  HexByte(faults.check_sense[2]));
  }
  if (faults.eeprom_busy_forever) {
    out.emplace_back("eeprom_busy", "forever");
  } else if (faults.eeprom_busy != 0) {
    out.emplace_back("eeprom_busy", std::to_string(faults.eeprom_busy));
  }
  if (faults.eeprom_fail) out.emplace_back("eeprom_fail", "1");
  if (faults.wrong_echo) out.emplace_back("wrong_echo", "1");
  if (faults.refuse_write_at) out.emplace_back("refuse_write_at", Hex32(*faults.refuse_write_at));
  if (faults.unplug_after) out.emplace_back("unplug_after", std::to_string(*faults.unplug_after));
  if (faults.bulk_erase_polls != plain.bulk_erase_polls) {
    out.emplace_back("bulk_erase_polls", std::to_string(faults.bulk_erase_polls));
  }
  if (faults.command_us != 0) out.emplace_back("command_us", std::to_string(faults.command_us));
  if (faults.byte_ns != 0) out.emplace_back("byte_ns", std::to_string(faults.byte_ns));
  if (faults.refuse_open != Faults::OpenRefusal::kNone) {
    out.emplace_back("refuse_open", faults.refuse_open == Faults::OpenRefusal::kDenied ? "denied" : "busy");
  }
  return out;
}

}  // namespace velkin::emu
