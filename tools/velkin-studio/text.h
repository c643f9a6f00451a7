// Texts from files, requests and command lines made fit to show: any bytes in, UTF-8 out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velkin::studio {

// `bytes` as UTF-8 of at most `max_bytes` bytes: each byte that does not belong to a well-formed
// character becomes U+FFFD, control characters are dropped, and the cut falls between characters.
std::string ShownText(std::string_view bytes, std::size_t max_bytes);

}  // namespace velkin::studio
