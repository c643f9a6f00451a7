// Argument handling of the encoder entry: the comma cut, output naming and the atoi-like number reading.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velkin::encoder {

// The input path as the encoders use it: a "," at index 2 or later ends it; a comma at index 0 or 1 is
// kept (so "a,b.wav" stays whole).
std::string CutInputPath(std::string_view input);

// The code file's name: `output` when non-empty; otherwise the input with everything from its last "."
// on removed, followed by ".COD".
std::string CodeFilePath(std::string_view output, std::string_view cut_input);

// The preview file's name: the code file's name followed by ".PCM".
std::string PreviewFilePath(std::string_view code_path);

// The decimal number a text starts with, read as atoi reads it (leading white space, an optional sign,
// then digits; 0 when there are none). Overflow wraps modulo 2^32 instead of being undefined, so the low
// bits of any long number are kept (a label of 300 still gives the marker byte 44).
std::int32_t ParseLeadingDecimal(std::string_view text);

}  // namespace velkin::encoder
