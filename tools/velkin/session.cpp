#include "session.h"

#include <cstdio>

namespace velkin::cli {
namespace {

// The length of the UTF-8 sequence at `text[i]` if it is a well-formed one of a printable
// character, else 0. C1 controls (U+0080..U+009F) are not printable: terminals act on some.
std::size_t PrintableSequence(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead >= 0x20 && lead < 0x7F) return 1;
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3F);
  }
  const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  if (code <= 0x9F) return 0;
  return length;
}

}  // namespace

void Session::Emit(const nlohmann::json& object) const {
  // Texts from units and files are not always UTF-8; they are replaced rather than refused.
  const std::string line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void Session::Say(const std::string& line) const {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Session::Error(const std::string& text) const {
  std::fprintf(stderr, "velkin: %s\n", text.c_str());
  std::fflush(stderr);
}

void AddJsonOption(CLI::App& command, Session& session) {
  command.add_flag("--json", session.json, "One JSON object per result on standard output, one line each")
      ->group("Common options");
}

void AddCommonOptions(CLI::App& command, Session& session) {
  AddJsonOption(command, session);
  command.add_option("--vendor", session.vendor, "The vendor text the units carry (default QUAMIRA)")
      ->type_name("TEXT")
      ->group("Common options");
  command.add_option("--product", session.product, "The product text the units carry (default \"VOXA CDROM\")")
      ->type_name("TEXT")
      ->group("Common options");
}

std::string SafeText(std::string_view text, std::size_t limit) {
  std::string out;
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (characters == limit) {
      out += "...";
      break;
    }
    const std::size_t length = PrintableSequence(text, i);
    if (length == 0) {
      out += '?';
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
    ++characters;
  }
  return out;
}

std::string Address(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(address));
  return text;
}

}  // namespace velkin::cli
