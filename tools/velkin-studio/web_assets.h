// The page's files, built into the program.
#pragma once

#include <cstddef>
#include <span>

namespace velkin::studio {

struct WebAsset {
  const char* name;  // file name, served as "/<name>"
  const char* type;  // Content-Type
  const unsigned char* data;
  std::size_t size;
};

std::span<const WebAsset> WebAssets();

}  // namespace velkin::studio
