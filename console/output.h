// Output conventions of the console: every answer line starts with one of three markers.
#pragma once

namespace velkin::console {

inline constexpr const char* kInfo = "*";
inline constexpr const char* kSuccess = "+";
inline constexpr const char* kFailure = "-";

inline constexpr const char* kPrompt = "velkin>";
inline constexpr const char* kWelcome = "VELKIN: Welcome to Velkin Util 1.44";

}  // namespace velkin::console
