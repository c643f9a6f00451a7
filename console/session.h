// Start and end of a console run: argument copies, the device connection and QUIT.
#pragma once

namespace velkin::console {

// Program entry: checks the arguments, announces the program and runs the shell.
int RunConsole(int argc, char** argv);

// Ends the process the way QUIT does (exit status 0).
[[noreturn]] void EndSession();

}  // namespace velkin::console
