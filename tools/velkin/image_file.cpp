#include "image_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device/programming/records.h"
#include "device/qmlib/vendor_command_set.h"

namespace velkin::cli {

std::shared_ptr<const std::vector<std::uint8_t>> ReadImage(const std::string& path, std::string* error) {
  // The largest flash a unit is built with; a larger file is not read into memory at all.
  constexpr std::uint64_t kLargest = std::uint64_t{1} << velkin::qm::kLargestCapacityCode;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return nullptr;
  }
  auto bytes = std::make_shared<std::vector<std::uint8_t>>();
  std::uint8_t chunk[65536];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    if (bytes->size() + n > kLargest) {
      std::fclose(file);
      *error = "larger than any unit's flash (" + std::to_string(kLargest) + " bytes)";
      return nullptr;
    }
    bytes->insert(bytes->end(), chunk, chunk + n);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *error = "cannot be read";
    return nullptr;
  }
  if (bytes->empty()) {
    *error = "the image is empty";
    return nullptr;
  }
  return bytes;
}

std::optional<std::uint32_t> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::uint64_t value = 0;
  for (std::size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

CLI::Validator RecordCheck() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        programming::Record record{};
        return programming::ParseRecord(text, &record) ? "" : "a record is 32 hexadecimal digits, not " + text;
      },
      "");
}

CLI::Validator NumberCheck(std::uint32_t least) {
  return CLI::Validator(
      [least](std::string& text) -> std::string {
        const auto value = ParseNumber(text);
        if (!value) return "not a 32-bit number: " + text;
        if (*value < least) return "must be at least " + std::to_string(least) + ": " + text;
        return "";
      },
      "");
}

}  // namespace velkin::cli
