#include "selection.h"

#include "text.h"

namespace velkin::studio {
namespace {

using nlohmann::json;

// A tray has a few units; a page that ticks more than this is not one of ours.
constexpr std::size_t kMaxUnits = 128;
constexpr std::size_t kUnitNameBytes = 64;

bool HexDigits(const std::string& text) {
  return text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

}  // namespace

json Selection::Get() {
  std::lock_guard guard(lock_);
  return value_;
}

bool Selection::Set(const json& change, std::string& error) {
  if (!change.is_object()) {
    error = "expected a JSON object";
    return false;
  }
  std::lock_guard guard(lock_);
  json next = value_;
  if (change.contains("sound")) {
    const json& sound = change["sound"];
    if (!sound.is_null() && !sound.is_number_unsigned()) {
      error = "sound must be a sound's number or null";
      return false;
    }
    next["sound"] = sound;
  }
  if (change.contains("encoding")) {
    if (change["encoding"] != "tarpel" && change["encoding"] != "vossik") {
      error = "encoding must be \"tarpel\" or \"vossik\"";
      return false;
    }
    next["encoding"] = change["encoding"];
  }
  if (change.contains("record")) {
    // As typed so far: up to 32 hexadecimal digits.
    const json& record = change["record"];
    if (!record.is_string() || record.get<std::string>().size() > 32 || !HexDigits(record.get<std::string>())) {
      error = "record must be up to 32 hexadecimal digits";
      return false;
    }
    next["record"] = record;
  }
  if (change.contains("units")) {
    const json& units = change["units"];
    if (!units.is_array() || units.size() > kMaxUnits) {
      error = "units must be a list of at most " + std::to_string(kMaxUnits) + " unit names";
      return false;
    }
    json names = json::array();
    for (const json& name : units) {
      if (!name.is_string() || name.get<std::string>().empty() || name.get<std::string>().size() > kUnitNameBytes) {
        error = "units must be a list of unit names";
        return false;
      }
      names.push_back(ShownText(name.get<std::string>(), kUnitNameBytes));
    }
    next["units"] = std::move(names);
  }
  value_ = std::move(next);
  return true;
}

}  // namespace velkin::studio
