// What the command line needs from the system: Ctrl-C as a request to stop, the terminal, and
// writing a line to disk for good.
#pragma once

#include <cstdio>
#include <string>

namespace velkin::cli::os {

// From now on Ctrl-C and a request to terminate (SIGINT and SIGTERM; the console's control
// events on Windows) only set a flag that the program polls: the units' jobs are then cancelled
// between two commands and every unit is reported, instead of the process ending mid-write.
void CatchInterrupts();
bool Interrupted();

// Whether the stream is a terminal a person watches.
bool IsTerminal(std::FILE* stream);
// Makes the terminal take the cursor movements the progress bars use; false when it cannot.
bool PrepareTerminal(std::FILE* stream);
// The terminal's width in columns, or 0 when unknown.
int TerminalColumns(std::FILE* stream);

// Appends `text` to the file (created when missing) and waits until it is on the disk (fsync,
// FlushFileBuffers). False with the reason in `error`.
bool AppendDurably(const std::string& path, const std::string& text, std::string* error);

}  // namespace velkin::cli::os
