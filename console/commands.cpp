// The command table: the words and their order decide which handler a line reaches.
#include <iterator>

#include "shell.h"

namespace velkin::console {

std::span<const CommandEntry> CommandTable() {
  static const CommandEntry kTable[] = {
      {"TEST", TestCommand},
  };
  return kTable;
}

}  // namespace velkin::console
