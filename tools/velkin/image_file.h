// The image a command writes or compares, read whole, and the checks of the options that name
// records and numbers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace velkin::cli {

// The whole file; empty with the reason in `error` when it cannot be read, is empty, or is
// larger than any unit's flash.
std::shared_ptr<const std::vector<std::uint8_t>> ReadImage(const std::string& path, std::string* error);

// A decimal or 0x-hexadecimal number that fits 32 bits.
std::optional<std::uint32_t> ParseNumber(const std::string& text);

// CLI11 checks: 32 hexadecimal digits; a number of ParseNumber (at least `least`).
CLI::Validator RecordCheck();
CLI::Validator NumberCheck(std::uint32_t least = 0);

}  // namespace velkin::cli
