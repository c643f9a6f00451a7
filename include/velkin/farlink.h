/* Farlink: opens the playback device by the vendor and product texts it reports and drives its
 * SPI flash, its EEPROM and its I/O port with the device's vendor commands.
 *
 * Every function returns TRUE (1) or FALSE (0). Buffers and texts belong to the caller and are
 * only used during the call. FLNK_OpenDevice comes first: until a device is open every other
 * function except FLNK_CloseDevice returns FALSE at once, without any device traffic. Nothing is
 * printed or logged; a failure is a FALSE result.
 *
 * The functions may be called from several threads: each call's exchange with the device (a
 * command, or a request block with its reply blocks) runs whole, without another call's commands
 * in between. */
#ifndef VELKIN_FARLINK_H
#define VELKIN_FARLINK_H

#include <stdint.h>

#include "platform.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Finds the devices whose SCSI vendor and product texts equal the given ones (at most 31
 * characters of each take part; case counts; a blank and an underscore count as equal) and opens
 * the first one listed. TRUE when at least one device matched and the first one was opened. An
 * empty text matches no device. */
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_OpenDevice(const char* vendor, const char* product);

/* Closes the opened device and forgets it. Always TRUE. */
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_CloseDevice(void);

/* Whether the opened device still answers. FALSE also closes and forgets it (for instance after
 * it was pulled out); later calls then return FALSE until the next successful FLNK_OpenDevice. */
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_IsDeviceConnect(void);

/* Erases the flash sector or block that holds `address`. sizeCode (its low byte is sent) counts
 * 512-byte units: 8 for a 4 KiB sector, 128 for a 64 KiB block. */
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_EraseMemory(uint32_t address, uint32_t sizeCode);

/* Reads `count` bytes of flash from `address` into `buffer`. Counts are cut to 16 bits. */
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadMemory(uint32_t address, uint8_t* buffer, uint32_t count);

/* Writes `count` bytes from `buffer` into flash at `address` (an erased area: programming only
 * clears bits). Counts are cut to 16 bits. */
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteMemory(uint32_t address, const uint8_t* buffer, uint32_t count);

/* One data-out command carrying `count` bytes of `buffer` unchanged (a request block). Counts
 * are cut to 16 bits. */
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteData(const uint8_t* buffer, uint32_t count);

/* One data-in command reading `count` bytes into `buffer` (a reply block). Counts are cut to
 * 16 bits. */
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadData(uint8_t* buffer, uint32_t count);

/* The flash chip's identification bytes in JEDEC order. The three outputs are written only on
 * success. */
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadSpiFlashInfo(uint8_t* manufacturer, uint8_t* memoryType,
                                                        uint8_t* capacityCode);

/* EEPROM access. The address is the low byte of `address`; FLNK_WriteEEPROM_1Byte writes the low
 * byte of `data`. The 16-byte functions move 16 bytes from or to `data`. While the device reports
 * the EEPROM busy the call waits, 10 ms between polls, and gives up with FALSE after about three
 * seconds. */
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteEEPROM_1Byte(uint32_t address, uint32_t data);
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadEEPROM_1Byte(uint32_t address, uint8_t* data);
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteEEPROM_16Byte(uint32_t address, const uint8_t* data);
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadEEPROM_16Byte(uint32_t address, uint8_t* data);

/* Switches the device's I/O port: a non-zero flag takes it (at open), 0 releases it (at exit). */
VELKIN_EXPORT int32_t VELKIN_CALL FLNK_SetIOPort(int32_t flag);

#ifdef __cplusplus
}
#endif

#endif
