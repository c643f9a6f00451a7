#include "hid_api_wrapper.h"

#include <string>

namespace velkin::qm::os::win {
namespace {

using GetHidGuidFunction = void(WINAPI*)(GUID*);

// The directory of the running program, with its final separator; empty when unknown.
std::string ProgramDirectory() {
  char path[MAX_PATH + 1] = {};
  const DWORD length = Api().GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  const std::string program(path, length);
  const std::size_t separator = program.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : program.substr(0, separator + 1);
}

}  // namespace

C_HidApiWrapper::C_HidApiWrapper() {
  Load();
}

C_HidApiWrapper::~C_HidApiWrapper() {
  if (module_ != nullptr) Api().FreeLibrary(module_);
}

bool C_HidApiWrapper::Load() {
  HMODULE module = Api().LoadLibraryA(kHidLibrary);
  if (module == nullptr) {
    const std::string directory = ProgramDirectory();
    if (!directory.empty()) module = Api().LoadLibraryA((directory + kHidLibrary).c_str());
  }
  if (module == nullptr) return false;
  module_ = module;
  for (std::size_t i = 0; i < kFunctionNames.size(); ++i)
    functions_[i] = Api().GetProcAddress(module_, kFunctionNames[i]);
  return true;
}

GUID C_HidApiWrapper::HidGuid() {
  std::lock_guard guard(lock_);
  GUID guid{};
  if (module_ == nullptr && !Load()) {
    Api().MessageBoxA(nullptr, kHidLoadWarning, kLibraryCaption, MB_OK | MB_ICONWARNING);
    return guid;
  }
  if (functions_[0] != nullptr) {
    // Through a plain function type, as GetProcAddress's result type is not the function's own.
    reinterpret_cast<GetHidGuidFunction>(reinterpret_cast<void (*)()>(functions_[0]))(&guid);
  }
  return guid;
}

C_HidApiWrapper& ProcessHidApi() {
  // Built on first need rather than while this library loads: loading another library from
  // inside the system's load notification of this one can deadlock on the loader lock. Given
  // back (and the HID library freed) when this library unloads.
  static C_HidApiWrapper wrapper;
  return wrapper;
}

}  // namespace velkin::qm::os::win
