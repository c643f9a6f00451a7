/* Quorvane: drives the playback device for a host program and tells the host when the device
 * arrives (and has been opened) or is gone.
 *
 * The host never opens the device itself. It calls QRVN_InitDllv once with a notification target
 * and a message number; from then on the library finds the device by its fixed identification
 * texts ("QUAMIRA", "VOXA CDROM"), watches devices arriving and leaving, and notifies the host:
 *
 *   wParam 1 (QRVN_NOTIFY_DEVICE_OPENED): the device has been found and opened;
 *   wParam 2 (QRVN_NOTIFY_DEVICE_GONE):   the device is gone (a check found no open device that
 *                                         still answers).
 *
 * lParam is always 0. A burst of arrivals is answered once, 1000 ms after the last of them; a
 * burst of removals once, 500 ms after the last. Nothing is sent while the target is null or the
 * message number is 0; everything else works the same.
 *
 * The notification target depends on the platform:
 *
 * - Windows: the host's window handle (HWND). QRVN_InitDllv must be called from a thread that runs
 *   a message loop: the library's hidden window, its two timers and the notifications live on
 *   that thread, and each notification is a SendMessageA(window, message, wParam, 0) from there.
 *
 * - Elsewhere: a function of type QRVN_NotifyCallback. The library runs an event thread of its own
 *   (it also runs the two timers) and calls callback(message, wParam, 0) synchronously from that
 *   thread, one notification at a time, exactly where Windows would send the message. The
 *   callback may call the other QRVN_ functions.
 *
 * On both, when the device is present at QRVN_InitDllv, notification 1 is delivered before
 * QRVN_InitDllv returns.
 *
 * Every function returns TRUE (1) or FALSE (0), except QRVN_GetDeviceStatus. Buffers belong to the
 * caller and are only used during the call; a null buffer where bytes would move gives FALSE.
 * While no device is open every device function returns FALSE at once, without device traffic.
 * The device functions may be called from any thread; each call's exchange with the device (a
 * command, or a request block with its reply blocks) runs whole. Nothing is printed or logged.
 *
 * Calling QRVN_InitDllv again keeps the library's window (or event thread) and replaces the
 * target and the message number; the device is opened, with notification 1 to the new target,
 * only if it is not open already. */
#ifndef VELKIN_QUORVANE_H
#define VELKIN_QUORVANE_H

#include <stdint.h>

#include "platform.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QRVN_NOTIFY_DEVICE_OPENED 1
#define QRVN_NOTIFY_DEVICE_GONE 2

#if defined(_WIN32)
/* The host window (an HWND) that receives the notification messages. */
typedef void* QRVN_NotifyTarget;
#else
/* Receives the notifications on the library's event thread; lParam is always 0. */
typedef void (*QRVN_NotifyCallback)(uint32_t message, uintptr_t wParam, intptr_t lParam);
typedef QRVN_NotifyCallback QRVN_NotifyTarget;
#endif

/* Set-up: creates the library's hidden window (Windows) or event thread, starts watching device
 * arrivals and removals, stores the target and the message number, and opens the device if it is
 * present (notification 1). TRUE when the window (event thread) exists, whether or not a device
 * was found: a device that comes later is announced by notification 1 then. */
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_InitDllv(QRVN_NotifyTarget target, uint32_t message);

/* 1 while a device is open and passed its last check, else 0. Causes no device traffic. */
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_GetDeviceStatus(void);

/* Erases the flash sector or block that holds `address`. sizeCode (its low byte is sent) counts
 * 512-byte units: 8 for a 4 KiB sector, 128 for a 64 KiB block. */
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_SingleEraseMemory(uint32_t address, uint32_t sizeCode);

/* Reads or writes `count` bytes of flash at `address` (counts are cut to 16 bits). Writing only
 * clears bits: write into erased flash. */
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadMemory(uint32_t address, uint8_t* buffer, uint32_t count);
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteMemory(uint32_t address, const uint8_t* buffer, uint32_t count);

/* One data-out command carrying `count` bytes of `buffer` unchanged (a request block), or one
 * data-in command reading `count` bytes (a reply block). Counts are cut to 16 bits. */
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteData(const uint8_t* buffer, uint32_t count);
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadData(uint8_t* buffer, uint32_t count);

/* A raw vendor command: the 16-byte block holds the high and the low byte of `code` in bytes 0
 * and 1, zeros, and "QM" in bytes 14 and 15. A non-zero `direction` sends `count` bytes of
 * `buffer` (count 0: no data phase); 0 reads `count` bytes into `buffer`. Counts are cut to 16
 * bits. TRUE when the device accepted the command. */
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_CommandData(uint32_t code, uint32_t direction, uint8_t* buffer, uint32_t count);

/* The flash chip's identification bytes in JEDEC order, written only on success. */
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadSpiFlashInfo(uint8_t* manufacturer, uint8_t* memoryType,
                                                        uint8_t* capacityCode);

/* EEPROM access. The address is the low byte of `address`; QRVN_WriteEEPROM_1 writes the low byte
 * of `data`. The 16-byte functions move 16 bytes from or to `data`. While the device reports the
 * EEPROM busy the call waits, 10 ms between polls, and gives up with FALSE after about three
 * seconds. */
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteEEPROM_1(uint32_t address, uint32_t data);
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadEEPROM_1(uint32_t address, uint8_t* data);
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteEEPROM_16(uint32_t address, const uint8_t* data);
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadEEPROM_16(uint32_t address, uint8_t* data);

/* Starts erasing the whole flash chip and returns as soon as the device has accepted it. The host
 * then calls QRVN_IsBulkEraseEnd until it returns TRUE; neither call waits. */
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_BulkErase(void);
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_IsBulkEraseEnd(void);

/* Switches the device's I/O port: a non-zero flag takes it, 0 releases it. */
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_SetIOPort(int32_t flag);

#ifdef __cplusplus
}
#endif

#endif
