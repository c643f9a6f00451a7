#include "text.h"

namespace velkin::studio {
namespace {

// The length of the well-formed UTF-8 character at the start of `s`, or 0.
std::size_t CharacterLength(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto continuation = [&](std::size_t i) { return i < s.size() && (byte(i) & 0xC0) == 0x80; };
  const unsigned char first = byte(0);
  if (first < 0x80) return 1;
  if (first >= 0xC2 && first <= 0xDF) return continuation(1) ? 2 : 0;
  if (first >= 0xE0 && first <= 0xEF) {
    if (!continuation(1) || !continuation(2)) return 0;
    // Neither an overlong form nor a surrogate.
    if (first == 0xE0 && byte(1) < 0xA0) return 0;
    if (first == 0xED && byte(1) >= 0xA0) return 0;
    return 3;
  }
  if (first >= 0xF0 && first <= 0xF4) {
    if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
    // Neither overlong nor beyond U+10FFFF.
    if (first == 0xF0 && byte(1) < 0x90) return 0;
    if (first == 0xF4 && byte(1) >= 0x90) return 0;
    return 4;
  }
  return 0;
}

bool IsControl(std::string_view character) {
  const auto first = static_cast<unsigned char>(character[0]);
  if (character.size() == 1) return first < 0x20 || first == 0x7F;
  // U+0080..U+009F
  return character.size() == 2 && first == 0xC2 && static_cast<unsigned char>(character[1]) < 0xA0;
}

}  // namespace

std::string ShownText(std::string_view bytes, std::size_t max_bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  while (!bytes.empty()) {
    const std::size_t length = CharacterLength(bytes);
    const std::string_view character = length == 0 ? kReplacement : bytes.substr(0, length);
    bytes.remove_prefix(length == 0 ? 1 : length);
    if (IsControl(character)) continue;
    if (out.size() + character.size() > max_bytes) break;
    out += character;
  }
  return out;
}

}  // namespace velkin::studio
