// Reading single values of an open registry key.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "win32_api.h"

namespace velkin::qm::os::win {

// A 32-bit value, or nothing when it is missing or of another size.
inline std::optional<DWORD> ReadDwordValue(HKEY key, const char* name) {
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof value;
  if (Api().RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      size != sizeof value) {
    return std::nullopt;
  }
  return value;
}

// A text of at most `max_chars` characters, or nothing when it is missing or longer. The text
// ends at its first NUL, also when the stored value carries none.
inline std::optional<std::string> ReadTextValue(HKEY key, const char* name, DWORD max_chars) {
  std::vector<char> buffer(max_chars + 2, '\0');  // room for the NUL, and one more that stays NUL
  DWORD type = 0;
  DWORD size = max_chars + 1;
  if (Api().RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::string(buffer.data(), strnlen(buffer.data(), max_chars + 1));
}

}  // namespace velkin::qm::os::win
