// DOWNLOAD: erase the flash sector by sector, write an image file into it, write the EEPROM record.
#pragma once

#include <cstdint>

namespace velkin::console {

// Erases `count` sectors of `sector_size` bytes from address 0 with progress lines. Returns the
// result of the last erase call (0 when none was made).
int EraseFlash(std::int32_t count, std::int32_t sector_size);

// Writes the image file from address 0 in 4096-byte blocks with progress lines. Returns 1 when
// every block was written, 0 otherwise (also for an empty or unreadable file).
int WriteFlashImage(const char* path);

void DownloadCommand(const char* line);

}  // namespace velkin::console
