// Result codes of the device class library. Every operation returns one; the export layers
// reduce 0 to TRUE and everything else to FALSE.
#pragma once

#include <cstdint>

namespace velkin::qm {

inline constexpr std::int32_t kQmOk = 0;
inline constexpr std::int32_t kQmPassThroughFailed = 1;  // three failed attempts; last OS error kept
inline constexpr std::int32_t kQmNotOpen = 2;
inline constexpr std::int32_t kQmOpenFailed = 3;
inline constexpr std::int32_t kQmCheckCondition = 4;  // sense triple kept
inline constexpr std::int32_t kQmIndexOutsideList = 6;
inline constexpr std::int32_t kQmUnusable = 9;        // unusable entry or interface, or enumeration not started
inline constexpr std::int32_t kQmUnknownDevice = 17;  // no device under that name or index
inline constexpr std::int32_t kQmNoAnswer = 20;       // a listed device no longer answers
inline constexpr std::int32_t kQmNoEnumerator = 0x101;

// Query-interface failure (the COM E_FAIL value).
inline constexpr std::int32_t kQmInterfaceFailed = static_cast<std::int32_t>(0x80004005u);

// The command length and time-out the device table always passes.
inline constexpr std::uint8_t kCommandLength = 16;
inline constexpr std::uint32_t kCommandTimeoutSeconds = 10;

// The device table has this many slots; list entries at higher indexes never get one.
inline constexpr int kTableSlots = 32;

}  // namespace velkin::qm
