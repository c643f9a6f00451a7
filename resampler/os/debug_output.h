// The debugger output channel for the converter's file-error messages: the debugger's output window
// on Windows, standard error elsewhere (never standard output, which belongs to the console).
#pragma once

namespace velkin::sondrel {

void WriteDebugOutput(const char* text);

}  // namespace velkin::sondrel
