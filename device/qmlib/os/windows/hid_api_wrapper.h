// The HID library, bound at run time: the system may lack it, and only the HID interface class
// GUID is needed from it (as the class of the device-change registration).
#pragma once

#include <array>
#include <mutex>

#include "win32_api.h"

namespace velkin::qm::os::win {

inline constexpr const char* kHidLibrary = "Hid.dll";
inline constexpr const char* kHidLoadWarning = "Unable to load 'Hid.dll' !!!";
inline constexpr const char* kLibraryCaption = "QM USB Device Library";

class C_HidApiWrapper {
 public:
  // The functions resolved by name once the library is loaded, in this order.
  static constexpr std::array<const char*, 11> kFunctionNames = {
      "HidD_GetHidGuid",           "HidD_SetFeature",     "HidD_GetFeature",
      "HidD_SetOutputReport",      "HidD_GetInputReport", "HidD_FreePreparsedData",
      "HidD_GetPreparsedData",     "HidD_GetAttributes",  "HidP_GetSpecificButtonCaps",
      "HidP_GetSpecificValueCaps", "HidP_GetCaps"};

  // Loads the library ("Hid.dll", then "Hid.dll" next to the running program); a failure here
  // is silent.
  C_HidApiWrapper();
  ~C_HidApiWrapper();
  C_HidApiWrapper(const C_HidApiWrapper&) = delete;
  C_HidApiWrapper& operator=(const C_HidApiWrapper&) = delete;

  // The HID interface class. When the library is still not loaded the two attempts are made
  // again, and if both fail the user is told so in a message box; the GUID is then all zero, as
  // it is when the library lacks the function.
  GUID HidGuid();

  bool loaded() const { return module_ != nullptr; }
  // A resolved function (index into kFunctionNames), or null.
  FARPROC function(std::size_t index) const { return functions_[index]; }

 private:
  bool Load();

  std::mutex lock_;
  HMODULE module_ = nullptr;
  std::array<FARPROC, kFunctionNames.size()> functions_{};
};

// The process-wide wrapper.
C_HidApiWrapper& ProcessHidApi();

}  // namespace velkin::qm::os::win
