#include "entry_args.h"

namespace velkin::encoder {

std::string CutInputPath(std::string_view input) {
  const auto comma = input.find(',');
  if (comma != std::string_view::npos && comma >= 2) input = input.substr(0, comma);
  return std::string(input);
}

std::string CodeFilePath(std::string_view output, std::string_view cut_input) {
  if (!output.empty()) return std::string(output);
  const auto dot = cut_input.rfind('.');
  std::string path(dot == std::string_view::npos ? cut_input : cut_input.substr(0, dot));
  path += ".COD";
  return path;
}

std::string PreviewFilePath(std::string_view code_path) {
  return std::string(code_path) + ".PCM";
}

std::int32_t ParseLeadingDecimal(std::string_view text) {
  std::size_t i = 0;
  auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

}  // namespace velkin::encoder
