// The command line's frame: the application, its commands from the table, parsing, the exit
// status.
#pragma once

namespace velkin::cli {

int Main(int argc, char** argv);

}  // namespace velkin::cli
