#include "records.h"

namespace velkin::programming {
namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseRecord(std::string_view text, Record* out) {
  if (text.size() != 2 * Record{}.size()) return false;
  Record bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = DigitValue(text[2 * i]);
    const int low = DigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  *out = bytes;
  return true;
}

std::string HexText(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
  return out;
}

Record SerialRecord(const Record& prefix, std::uint32_t serial) {
  Record record = prefix;
  for (std::size_t i = 0; i < 4; ++i) record[12 + i] = static_cast<std::uint8_t>(serial >> (24 - 8 * i));
  return record;
}

}  // namespace velkin::programming
