#include <windows.h>

#include "resampler/os/debug_output.h"

namespace velkin::sondrel {

void WriteDebugOutput(const char* text) {
  OutputDebugStringA(text);
}

}  // namespace velkin::sondrel
