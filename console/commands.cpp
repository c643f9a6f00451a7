// The command table: the words and their order decide which handler a line reaches.
#include "audio_commands.h"
#include "connection.h"
#include "device_commands.h"
#include "download.h"
#include "shell.h"

namespace velkin::console {

std::span<const CommandEntry> CommandTable() {
  static const CommandEntry kTable[] = {
      {"VOSSIK", VossikCommand},
      {"TARPEL", TarpelCommand},
      {"WAVCONV", WavconvCommand},
      {"MONO", MonoCommand},
      {"FLASHID", FlashIdCommand},
      {"READEEPROM", ReadEepromCommand},
      {"WRITEEEPROM", WriteEepromCommand},
      {"STATUS", StatusCommand},
      {"DOWNLOAD", DownloadCommand},
      {"TEST", TestCommand},
      {"QUIT", QuitCommand},
  };
  return kTable;
}

}  // namespace velkin::console
