#include <cstdio>

#include "resampler/os/debug_output.h"

namespace velkin::sondrel {

void WriteDebugOutput(const char* text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
}

}  // namespace velkin::sondrel
