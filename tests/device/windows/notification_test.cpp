// Device-change registration for a window, and the HID library bound at run time.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/qmlib/device_agent.h"
#include "device/qmlib/os/backend.h"
#include "device/qmlib/os/windows/hid_api_wrapper.h"
#include "device/quorvane/os/notification_host.h"
#include "fake_windows.h"
#include "tests/support/scoped_env.h"

namespace velkin::qm::os::win::test {
namespace {

// The HID interface class the system's HID library reports.
constexpr GUID kHidClass{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr GUID kScriptedGuid{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
const auto kHidModule = reinterpret_cast<HMODULE>(0x6000);

void WINAPI ScriptedGetHidGuid(GUID* guid) {
  *guid = kScriptedGuid;
}

FARPROC AsProcedure(void(WINAPI* function)(GUID*)) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

const std::vector<std::string> kHidFunctions = {
    "HidD_GetHidGuid",           "HidD_SetFeature",     "HidD_GetFeature",
    "HidD_SetOutputReport",      "HidD_GetInputReport", "HidD_FreePreparsedData",
    "HidD_GetPreparsedData",     "HidD_GetAttributes",  "HidP_GetSpecificButtonCaps",
    "HidP_GetSpecificValueCaps", "HidP_GetCaps"};

bool IsZero(const GUID& guid) {
  return IsEqualGUID(guid, GUID{});
}

TEST(WinHidLibrary, IsLoadedByNameWithEveryFunctionResolvedAndFreedAtTheEnd) {
  FakeWindows system;
  system.SetLibrary("Hid.dll", kHidModule);
  system.SetProcedure("HidD_GetHidGuid", AsProcedure(ScriptedGetHidGuid));
  {
    C_HidApiWrapper hid;
    EXPECT_EQ(system.loaded_libraries(), std::vector<std::string>{"Hid.dll"});
    EXPECT_EQ(system.resolved_procedures(), kHidFunctions);
    EXPECT_TRUE(IsEqualGUID(hid.HidGuid(), kScriptedGuid));
    EXPECT_TRUE(system.freed_libraries().empty());
  }
  EXPECT_EQ(system.freed_libraries(), std::vector<HMODULE>{kHidModule});
  EXPECT_TRUE(system.message_boxes().empty());
}

TEST(WinHidLibrary, IsLookedForNextToTheProgramWhenTheSystemHasNone) {
  FakeWindows system;
  system.SetProgramPath("C:\\Tools\\Velkin\\VelkinUtils.exe");
  system.SetLibrary("C:\\Tools\\Velkin\\Hid.dll", kHidModule);
  system.SetProcedure("HidD_GetHidGuid", AsProcedure(ScriptedGetHidGuid));
  C_HidApiWrapper hid;
  EXPECT_EQ(system.loaded_libraries(), (std::vector<std::string>{"Hid.dll", "C:\\Tools\\Velkin\\Hid.dll"}));
  EXPECT_TRUE(hid.loaded());
  EXPECT_TRUE(IsEqualGUID(hid.HidGuid(), kScriptedGuid));
}

TEST(WinHidLibrary, AMissingLibraryIsSilentUntilTheGuidIsAskedFor) {
  FakeWindows system;
  {
    C_HidApiWrapper hid;
    EXPECT_FALSE(hid.loaded());
    EXPECT_EQ(system.loaded_libraries().size(), 2u);
    EXPECT_TRUE(system.message_boxes().empty()) << "nothing is shown while the library loads";

    EXPECT_TRUE(IsZero(hid.HidGuid()));
    EXPECT_EQ(system.loaded_libraries().size(), 4u) << "both places are tried again";
    ASSERT_EQ(system.message_boxes().size(), 1u);
    EXPECT_EQ(system.message_boxes()[0].text, "Unable to load 'Hid.dll' !!!");
    EXPECT_FALSE(system.message_boxes()[0].caption.empty());
    EXPECT_EQ(system.message_boxes()[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));

    // Installed meanwhile: the next question finds it, without a word.
    system.SetLibrary("Hid.dll", kHidModule);
    system.SetProcedure("HidD_GetHidGuid", AsProcedure(ScriptedGetHidGuid));
    EXPECT_TRUE(IsEqualGUID(hid.HidGuid(), kScriptedGuid));
    EXPECT_EQ(system.message_boxes().size(), 1u);
  }
  EXPECT_EQ(system.freed_libraries(), std::vector<HMODULE>{kHidModule});
}

TEST(WinHidLibrary, ALibraryWithoutTheFunctionGivesAZeroGuidQuietly) {
  FakeWindows system;
  system.SetLibrary("Hid.dll", kHidModule);
  C_HidApiWrapper hid;
  EXPECT_TRUE(IsZero(hid.HidGuid()));
  EXPECT_TRUE(system.message_boxes().empty());
}

TEST(WinNotifications, TheAgentRegistersItsWindowForTheHidClassAndKeepsOneRegistration) {
  ::velkin::test::UnsetEnv(kEmulatorVariable);
  ProcessHidApi();  // bound to the system's HID library before the fake takes over
  FakeWindows system;
  const auto window = reinterpret_cast<HANDLE>(0x1234);
  {
    C_QMMassStorageDeviceAgent agent;
    EXPECT_EQ(agent.RegisterNotifications(NotifyWindow{window}), 1);
    ASSERT_EQ(system.registrations().size(), 1u);
    const NotificationCall& call = system.registrations()[0];
    EXPECT_EQ(call.recipient, window);
    EXPECT_EQ(call.flags, static_cast<DWORD>(DEVICE_NOTIFY_WINDOW_HANDLE));
    // DEV_BROADCAST_DEVICEINTERFACE_A: size, type, reserved, class GUID, empty name.
    ASSERT_EQ(call.filter.size(), 32u);
    const std::vector<std::uint8_t> head(call.filter.begin(), call.filter.begin() + 12);
    EXPECT_EQ(head, (std::vector<std::uint8_t>{32, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0}));
    GUID guid;
    std::memcpy(&guid, call.filter.data() + 12, sizeof guid);
    EXPECT_TRUE(IsEqualGUID(guid, kHidClass)) << "from the system's HID library";
    EXPECT_EQ(call.filter[28], 0);

    EXPECT_EQ(agent.RegisterNotifications(NotifyWindow{window}), 1);
    ASSERT_EQ(system.registrations().size(), 2u);
    ASSERT_EQ(system.unregistrations().size(), 1u) << "the first registration is given up";
  }
  // The agent's end gives up the second.
  EXPECT_EQ(system.unregistrations().size(), 2u);
  EXPECT_NE(system.unregistrations()[0], system.unregistrations()[1]);
}

TEST(WinNotifications, TheRegistrationIsGivenUpAlsoAfterVirtualDevicesWereSelected) {
  ::velkin::test::UnsetEnv(kEmulatorVariable);
  ProcessHidApi();
  FakeWindows system;
  C_QMMassStorageDeviceAgent agent;
  EXPECT_EQ(agent.RegisterNotifications(NotifyWindow{reinterpret_cast<HANDLE>(0x1234)}), 1);
  ASSERT_EQ(system.registrations().size(), 1u);
  ::velkin::test::ScopedEnv emulated(kEmulatorVariable, "C:\\virtual");
  EXPECT_EQ(agent.UnregisterNotifications(), 1);
  EXPECT_EQ(system.unregistrations().size(), 1u);
}

TEST(WinNotifications, TheSystemTakesTheRegistrationOfAHiddenWindow) {
  ::velkin::test::UnsetEnv(kEmulatorVariable);
  EXPECT_TRUE(IsEqualGUID(ProcessHidApi().HidGuid(), kHidClass));
  HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  EXPECT_NE(StartPlatformWindowNotifications(NotifyWindow{window}), nullptr);
  DestroyWindow(window);
}

// Quorvane's hidden window registers for four interface classes. It does so through the same
// system-call table as the rest of the backend, so the stand-in sees every registration and its end.
TEST(WinNotifications, QuorvanesWindowRegistersFourClassesThroughTheTableAndGivesThemUp) {
  ::velkin::test::UnsetEnv(kEmulatorVariable);
  struct NoTimers : quorvane::os::TimerHandler {
    void OnTimer(unsigned) override {}
  } handler;
  FakeWindows system;
  {
    const auto host = quorvane::os::CreateNotificationHost(handler);
    ASSERT_NE(host, nullptr);
    ASSERT_EQ(system.registrations().size(), 4u);
    const std::vector<GUID> expected = {
        {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},  // USB devices
        {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}},  // disks
        kHidClass,
        {0xAD498944, 0x762F, 0x11D0, {0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C}},  // network adapters
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const NotificationCall& call = system.registrations()[i];
      EXPECT_NE(call.recipient, nullptr) << "the hidden window";
      EXPECT_EQ(call.flags, static_cast<DWORD>(DEVICE_NOTIFY_WINDOW_HANDLE));
      ASSERT_EQ(call.filter.size(), 32u);
      GUID guid;
      std::memcpy(&guid, call.filter.data() + 12, sizeof guid);
      EXPECT_TRUE(IsEqualGUID(guid, expected[i])) << "class " << i;
    }
    EXPECT_TRUE(system.unregistrations().empty());
  }
  EXPECT_EQ(system.unregistrations().size(), 4u) << "the unload gives up every registration";
}

}  // namespace
}  // namespace velkin::qm::os::win::test
