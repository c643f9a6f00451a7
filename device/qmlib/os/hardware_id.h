// The hardware ID of a mass-storage unit, composed the way Windows writes it, so that every
// backend feeds the same identity match.
#pragma once

#include <string>
#include <string_view>

namespace velkin::qm::os {

enum class UnitType { kDisk, kCdRom };

namespace detail {
inline void AppendField(std::string& out, std::string_view text, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    out += (c == ' ') ? '_' : c;
  }
}
}  // namespace detail

// "USBSTOR\CdRom" + "QUAMIRA_" + "VOXA_CDROM______" + "1.00" for a CD-ROM type unit that
// reports vendor "QUAMIRA", product "VOXA CDROM" and revision "1.00". Vendor and product are
// cut or blank-padded to 8 and 16 characters (INQUIRY fields), blanks becoming underscores;
// trailing blanks of the revision are dropped.
inline std::string ComposeHardwareId(UnitType type, std::string_view vendor, std::string_view product,
                                     std::string_view revision) {
  std::string id = type == UnitType::kCdRom ? "USBSTOR\\CdRom" : "USBSTOR\\Disk";
  detail::AppendField(id, vendor, 8);
  detail::AppendField(id, product, 16);
  while (!revision.empty() && revision.back() == ' ') revision.remove_suffix(1);
  detail::AppendField(id, revision.substr(0, 4), revision.size() < 4 ? revision.size() : 4);
  return id;
}

}  // namespace velkin::qm::os
