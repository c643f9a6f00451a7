// What the page has chosen (the sound shown, the encoding, the EEPROM record typed, the units
// ticked), kept by the studio so that a page that is reloaded, or opened again, comes back to it.
#pragma once

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace velkin::studio {

class Selection {
 public:
  nlohmann::json Get();
  // Takes the fields of `change` it knows, each checked; the others are left as they are. False,
  // with the reason, when a field is of the wrong kind (and then nothing is taken).
  bool Set(const nlohmann::json& change, std::string& error);

 private:
  std::mutex lock_;
  nlohmann::json value_ = {
      {"sound", nullptr}, {"encoding", "vossik"}, {"record", ""}, {"units", nlohmann::json::array()}};
};

}  // namespace velkin::studio
