// The console's device commands, connection lines and hot-plug reactions, driven through its
// standard input against virtual devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// dbt.h needs the types of windows.h.
#include <dbt.h>
#endif

#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/virtual_devices.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

const std::string kZeros(32, '0');

#ifdef _WIN32
// The monitor window announces itself first.
bool IsMonitorStartLine(const std::string& l) {
  return l.rfind("hInstance ", 0) == 0 || l.rfind("InitInstance hWnd ", 0) == 0;
}
#else
bool IsMonitorStartLine(const std::string&) {
  return false;
}
#endif

Lines ConnectLines(const std::string& flash_line = "+FLASHID: M25P80", const std::string& record = kZeros,
                   const std::string& product = kZeros) {
  Lines l{"*USB:SetIOPort TRUE return 1", "*USB:CONNECT"};
  if (!flash_line.empty()) l.push_back(flash_line);
  l.push_back("+READEEPROM:" + record);
  l.push_back("+PRODUCT:" + product);
  return l;
}

class ConsoleDevice : public ::testing::Test {
 protected:
  void Start() {
    child_ = ChildProcess::Start(ProgramPath("VelkinUtils"), {"QUAMIRA", "VOXA CDROM"});
    ASSERT_TRUE(child_);
    auto start = child_->ReadUntilPrompt();
    ASSERT_TRUE(start);
    for (const auto& l : *start) {
      if (l.rfind("InitInstance hWnd ", 0) == 0) monitor_window_ = std::stoull(l.substr(18), nullptr, 16);
    }
    start->erase(std::remove_if(start->begin(), start->end(), IsMonitorStartLine), start->end());
    ASSERT_GE(start->size(), 2u);
    EXPECT_EQ((*start)[0], "*VELKIN: Welcome to Velkin Util 1.44");
    EXPECT_EQ((*start)[1], "*USB: QUAMIRA VOXA CDROM");
    start_lines_.assign(start->begin() + 2, start->end());
  }
  void TearDown() override {
    if (child_) {
      child_->CloseInput();
      child_->Wait();
    }
  }
  Lines Run(const std::string& line, std::chrono::milliseconds timeout = 60s) {
    auto answer = child_->Command(line, timeout);
    EXPECT_TRUE(answer) << "no prompt after: " << line;
    return answer.value_or(Lines{"<no prompt>"});
  }
  // Lines printed by the monitor thread while the shell waits for input.
  Lines ReadLines(std::size_t count, std::chrono::milliseconds timeout = 15s) {
    Lines lines;
    while (lines.size() < count) {
      auto l = child_->ReadLine(timeout);
      if (!l) break;
      lines.push_back(*l);
    }
    return lines;
  }
  std::string Image(const std::string& name, const ByteVector& bytes) {
    const auto path = (devices_.root() / name).string();
    WriteFileBytes(path, bytes);
    return path;
  }

  VirtualDevices devices_;
  std::unique_ptr<ChildProcess> child_;
  Lines start_lines_;
  std::uint64_t monitor_window_ = 0;  // the hidden window's handle from its start-up line (Windows)
};

TEST_F(ConsoleDevice, StartWithDevicePresentAnnouncesIt) {
  VirtualDeviceSetup setup;
  devices_.Create("unit", setup);
  devices_.WriteEeprom("unit", 0, {0xDE, 0xAD});
  devices_.WriteEeprom("unit", 16, {0x01, 0x02, 0xAB});
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_EQ(start_lines_,
            ConnectLines("+FLASHID: M25P80", "0102AB" + std::string(26, '0'), "DEAD" + std::string(28, '0')));
  EXPECT_EQ(Run("STATUS"), Lines{"+STATUS: return 1"});
  child_->WriteLine("QUIT");
  EXPECT_EQ(child_->ReadAllLines(), Lines{"*USB:SetIOPort FALSE return 1"});
  EXPECT_EQ(child_->Wait(), 0);
}

TEST_F(ConsoleDevice, StartWithoutDeviceIsSilentAndQuitStillReleasesThePort) {
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_EQ(start_lines_, Lines{});
  EXPECT_EQ(Run("STATUS"), Lines{"-STATUS: return 0"});
  EXPECT_EQ(Run("FLASHID"), Lines{"-FLASHID:Unknown"});
  EXPECT_EQ(Run("READEEPROM"), Lines{"+READEEPROM:00000008"});
  child_->WriteLine("quit");
  EXPECT_EQ(child_->ReadAllLines(), Lines{"*USB:SetIOPort FALSE return 0"});
  EXPECT_EQ(child_->Wait(), 0);
}

TEST_F(ConsoleDevice, PlugUnplugAndUnrelatedArrival) {
  ASSERT_NO_FATAL_FAILURE(Start());
  VirtualDeviceSetup setup;
  setup.flash_id[2] = 0x17;
  devices_.Create("unit", setup);
  EXPECT_EQ(ReadLines(5), ConnectLines("+FLASHID: M25P64"));
  EXPECT_EQ(Run("STATUS"), Lines{"+STATUS: return 1"});

  // Another storage device arriving while the unit is open repeats the announcement.
  VirtualDeviceSetup other;
  other.vendor = "OTHERCO";
  other.product = "USB DISK";
  other.cdrom = false;
  devices_.Create("other", other);
  EXPECT_EQ(ReadLines(5), ConnectLines("+FLASHID: M25P64"));

  // Removing the unrelated device leaves the unit connected: no line.
  devices_.Unplug("other");
  devices_.Unplug("unit");
  EXPECT_EQ(ReadLines(1), Lines{"*USB:DISCONNECT"});
  EXPECT_EQ(Run("STATUS"), Lines{"-STATUS: return 0"});
  EXPECT_EQ(ReadLines(1, 1s), Lines{});  // DISCONNECT came once

  devices_.Plug("unit");
  EXPECT_EQ(ReadLines(5), ConnectLines("+FLASHID: M25P64"));
}

TEST_F(ConsoleDevice, FlashIdByCapacityCode) {
  const struct {
    std::uint8_t code;
    Lines answer;
  } cases[] = {{0x10, {"-FLASHID:Unknown"}}, {0x11, {"-FLASHID:Unknown"}}, {0x12, {}}, {0x13, {"+FLASHID: MP2P40"}},
               {0x15, {"+FLASHID: M25P16"}}, {0x16, {"+FLASHID: M25P32"}}, {0x18, {}}};
  // The identity of a unit is fixed while it is plugged in: one unit per capacity code, each
  // announced (with its FLASHID line) when the console starts.
  for (const auto& c : cases) {
    const std::string name = "unit" + std::to_string(c.code);
    VirtualDeviceSetup setup;
    setup.flash_id[2] = c.code;
    devices_.Create(name, setup);
    ASSERT_NO_FATAL_FAILURE(Start());
    Lines expected{"*USB:SetIOPort TRUE return 1", "*USB:CONNECT"};
    expected.insert(expected.end(), c.answer.begin(), c.answer.end());
    EXPECT_EQ(Lines(start_lines_.begin(), start_lines_.end() - 2), expected) << std::hex << int{c.code};
    EXPECT_EQ(Run("FLASHID"), c.answer) << std::hex << int{c.code};
    child_->CloseInput();
    child_->Wait();
    devices_.Unplug(name);
  }
  devices_.Create("echo");
  devices_.Set("echo", "wrong_echo", "1");
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_EQ(Run("FLASHID"), Lines{"-FLASHID:Unknown"});
}

TEST_F(ConsoleDevice, WriteEepromEchoesInUpperCaseAndRefusesBadRecords) {
  devices_.Create("unit");
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_EQ(Run("WRITEEEPROM \"00112233445566778899aabbccddeeff\""),
            Lines{"+WRITEEEPROM:00112233445566778899AABBCCDDEEFF"});
  const auto eeprom = devices_.Eeprom("unit");
  ASSERT_GE(eeprom.size(), 32u);
  EXPECT_EQ(
      ByteVector(eeprom.begin() + 16, eeprom.begin() + 32),
      (ByteVector{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
  EXPECT_EQ(Run("READEEPROM"), (Lines{"+READEEPROM:00112233445566778899AABBCCDDEEFF", "+PRODUCT:" + kZeros}));
  for (const std::string& bad :
       std::vector<std::string>{std::string(30, '1'), std::string(34, '1'), "0011223344556677889900aabbccddgg"}) {
    EXPECT_EQ(Run("WRITEEEPROM \"" + bad + "\""), (Lines{"", "-WRITEEEPROM:bad parameter"})) << bad;
  }
  EXPECT_EQ(Run("WRITEEEPROM"), (Lines{"", "-WRITEEEPROM:bad parameter"}));
  devices_.Set("unit", "eeprom_fail", "1");
  EXPECT_EQ(Run("WRITEEEPROM \"ffffffffffffffffffffffffffffffff\""), Lines{"-WRITEEEPROM:Error"});
  EXPECT_EQ(Run("READEEPROM"), Lines{"+READEEPROM:00000008"});
}

// Erase and write progress of a successful DOWNLOAD, after the three information lines.
Lines EraseLines(int count) {
  Lines l;
  for (int i = 0; i < count; ++i) {
    l.push_back("*ERASE:" + std::to_string(static_cast<int>(static_cast<double>(i) / count * 100.0)));
  }
  l.push_back("*ERASE:100");
  return l;
}

const std::regex kOpenLine(R"(\*WRITE:open (.*) size (-?\d+) hFile=(-?\d+)\[-1\])");

TEST_F(ConsoleDevice, DownloadErasesWritesAndVerifies) {
  VirtualDeviceSetup setup;
  setup.flash_size = 4194304;
  devices_.Create("unit", setup);
  // Old content everywhere: the erase must clear it.
  devices_.WriteFlash("unit", 0, ByteVector(4194304, 0x00));
  ASSERT_NO_FATAL_FAILURE(Start());
  const auto image_bytes = SampleBytes(Noise(5000, 7, 30000));
  const auto image = Image("image.bin", image_bytes);
  const auto answer = Run("DOWNLOAD \"" + image + "\" \"4194304\" \"65536\" \"00112233445566778899AABBCCDDEEFF\"");
  Lines expected{"*DOWNLOAD:file " + image, "*DOWNLOAD:flash size 4194304 400000", "*DOWNLOAD:sector size 65536 10000"};
  const auto erase = EraseLines(64);
  expected.insert(expected.end(), erase.begin(), erase.end());
  ASSERT_EQ(answer.size(), expected.size() + 6) << ::testing::PrintToString(answer);
  EXPECT_EQ(Lines(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
  std::smatch m;
  const std::string open_line = answer[expected.size()];
  ASSERT_TRUE(std::regex_match(open_line, m, kOpenLine)) << open_line;
  EXPECT_EQ(m[1], image);
  EXPECT_EQ(m[2], "10000");
  EXPECT_NE(m[3], "-1");
  EXPECT_EQ(Lines(answer.end() - 5, answer.end()),
            (Lines{"*WRITE:33", "*WRITE:66", "*WRITE:100", "+WRITEEEPROM:00112233445566778899AABBCCDDEEFF",
                   "+DOWNLOAD:write Ok"}));
  const auto flash = devices_.Flash("unit");
  ASSERT_EQ(flash.size(), 4194304u);
  EXPECT_TRUE(std::equal(image_bytes.begin(), image_bytes.end(), flash.begin()));
  EXPECT_TRUE(std::all_of(flash.begin() + 10000, flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(devices_.Eeprom("unit")[31], 0xFF);
}

TEST_F(ConsoleDevice, DownloadPercentagesComeFromDoublePrecision) {
  devices_.Create("unit");
  ASSERT_NO_FATAL_FAILURE(Start());
  const auto image = Image("small.bin", ByteVector(100, 0x42));
  const auto answer = Run("DOWNLOAD \"" + image + "\" \"409600\" \"4096\" \"0011223344556677889900AABBCCDDE\"");
  ASSERT_GT(answer.size(), 104u);
  EXPECT_EQ(answer[3 + 29], "*ERASE:28");
  EXPECT_EQ(answer[3 + 57], "*ERASE:56");
  EXPECT_EQ(answer[3 + 58], "*ERASE:57");
  EXPECT_EQ(answer[3 + 100], "*ERASE:100");
  // A 31-digit record is passed over without a word.
  EXPECT_EQ(Lines(answer.end() - 2, answer.end()), (Lines{"*WRITE:100", "+DOWNLOAD:write Ok"}));
  // Sector size 4096 erases with code 8: the trace shows it in byte 8 of the erase command.
  const auto trace = devices_.Trace("unit");
  EXPECT_TRUE(std::any_of(trace.begin(), trace.end(),
                          [](const std::string& t) { return t.find("fd2000000000060008") != std::string::npos; }));
}

TEST_F(ConsoleDevice, DownloadRefusesBadArgumentsBeforeTouchingTheDevice) {
  devices_.Create("unit");
  ASSERT_NO_FATAL_FAILURE(Start());
  const auto image = Image("x.bin", ByteVector(10, 1));
  for (const std::string& line : std::vector<std::string>{
           "DOWNLOAD \"" + image + "\" \"4096\"", "DOWNLOAD \"" + image + "\" \"4096\" \"0\"",
           "DOWNLOAD \"" + image + "\" \"-4096\" \"4096\"", "DOWNLOAD \"" + image + "\" \"abc\" \"4096\"",
           "DOWNLOAD \"" + image + "\" \"4096\" \"4096\" \"0011223344556677889900AABBCCDDXX\""}) {
    EXPECT_EQ(Run(line), Lines{"-DOWNLOAD:bad parameter"}) << line;
  }
  const auto flash = devices_.Flash("unit");
  EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(ConsoleDevice, DownloadPassesOverARecordLongerThanItsBuffer) {
  devices_.Create("unit");
  ASSERT_NO_FATAL_FAILURE(Start());
  const auto image = Image("x.bin", ByteVector(10, 1));
  const auto eeprom = devices_.Eeprom("unit");
  const auto answer = Run("DOWNLOAD \"" + image + "\" \"4096\" \"4096\" \"" + std::string(200, 'A') + "\"");
  EXPECT_EQ(Lines(answer.end() - 2, answer.end()), (Lines{"*WRITE:100", "+DOWNLOAD:write Ok"}));
  EXPECT_EQ(devices_.Eeprom("unit"), eeprom);
}

TEST_F(ConsoleDevice, DownloadFailures) {
  devices_.Create("unit");
  ASSERT_NO_FATAL_FAILURE(Start());
  const auto image = Image("img.bin", ByteVector(10000, 0x11));
  const auto empty = Image("empty.bin", {});

  // Flash smaller than one sector: no erase call, then the erase failure.
  EXPECT_EQ(Run("DOWNLOAD \"" + image + "\" \"4096\" \"65536\""),
            (Lines{"*DOWNLOAD:file " + image, "*DOWNLOAD:flash size 4096 1000", "*DOWNLOAD:sector size 65536 10000",
                   "*ERASE:100", "-DOWNLOAD:memory erase failure"}));

  // An empty image: a complete erase, the open line, then the write failure.
  auto answer = Run("DOWNLOAD \"" + empty + "\" \"8192\" \"4096\"");
  ASSERT_EQ(answer.size(), 8u);
  EXPECT_TRUE(std::regex_match(answer[6], kOpenLine)) << answer[6];
  EXPECT_EQ(answer[7], "-DOWNLOAD:memory write failure");

  // A missing image: the open line with -1, the error line, the write failure.
  const auto missing = (devices_.root() / "missing.bin").string();
  answer = Run("DOWNLOAD \"" + missing + "\" \"4096\" \"4096\"");
  ASSERT_EQ(answer.size(), 8u);
  EXPECT_EQ(answer[5], "*WRITE:open " + missing + " size -1 hFile=-1[-1]");
  EXPECT_EQ(answer[6].rfind("*WRITE:hFile=-1, error=", 0), 0u) << answer[6];
  EXPECT_EQ(answer[7], "-DOWNLOAD:memory write failure");

  // A folder is no image: refused at the open, as Windows refuses it, before any block is read.
  const auto folder = (devices_.root() / "folder.bin").string();
  std::filesystem::create_directory(folder);
  answer = Run("DOWNLOAD \"" + folder + "\" \"4096\" \"4096\"");
  ASSERT_EQ(answer.size(), 8u);
  EXPECT_EQ(answer[5], "*WRITE:open " + folder + " size 0 hFile=-1[-1]");
  EXPECT_TRUE(std::regex_match(answer[6], std::regex(R"(\*WRITE:hFile=-1, error=[1-9]\d*)"))) << answer[6];
  EXPECT_EQ(answer[7], "-DOWNLOAD:memory write failure");

  // A refused erase.
  devices_.Set("unit", "check", "erase");
  answer = Run("DOWNLOAD \"" + image + "\" \"8192\" \"4096\"");
  EXPECT_EQ(Lines(answer.end() - 2, answer.end()), (Lines{"*ERASE:100", "-DOWNLOAD:memory erase failure"}));
  devices_.Set("unit", "check", "");

  // A write refused at the second block: the lines stop after the first block.
  devices_.Set("unit", "refuse_write_at", "4096");
  answer = Run("DOWNLOAD \"" + image + "\" \"16384\" \"4096\"");
  EXPECT_EQ(Lines(answer.end() - 2, answer.end()), (Lines{"*WRITE:33", "-DOWNLOAD:memory write failure"}));
  devices_.Set("unit", "refuse_write_at", "");
  const auto flash = devices_.Flash("unit");
  EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 4096, [](std::uint8_t b) { return b == 0x11; }));
  EXPECT_TRUE(std::all_of(flash.begin() + 4096, flash.begin() + 16384, [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(ConsoleDevice, RefusedEepromRecordStillEndsWithSuccessLine) {
  devices_.Create("unit");
  ASSERT_NO_FATAL_FAILURE(Start());
  devices_.Set("unit", "eeprom_busy", "forever");
  const auto image = Image("img.bin", ByteVector(10, 0x22));
  const auto answer = Run("DOWNLOAD \"" + image + "\" \"4096\" \"4096\" \"" + std::string(32, 'A') + "\"", 120s);
  EXPECT_EQ(Lines(answer.end() - 3, answer.end()), (Lines{"*WRITE:100", "-WRITEEEPROM:Error", "+DOWNLOAD:write Ok"}));
}

TEST_F(ConsoleDevice, UnplugDuringDownloadIsAWriteFailure) {
  VirtualDeviceSetup setup;
  setup.flash_size = 1 << 20;
  devices_.Create("unit", setup);
  ASSERT_NO_FATAL_FAILURE(Start());
  const auto image = Image("big.bin", ByteVector(1 << 20, 0x33));
  // The unit vanishes after a few dozen commands, in the middle of the writes.
  devices_.Set("unit", "unplug_after", "40");
  const auto answer = Run("DOWNLOAD \"" + image + "\" \"1048576\" \"65536\"");
  ASSERT_FALSE(answer.empty());
  EXPECT_EQ(answer.back(), "-DOWNLOAD:memory write failure");
  EXPECT_EQ(std::count(answer.begin(), answer.end(), "+DOWNLOAD:write Ok"), 0);
}

TEST_F(ConsoleDevice, MonitorLinesDuringDownloadStayWhole) {
  VirtualDeviceSetup setup;
  setup.flash_size = 1 << 20;
  devices_.Create("unit", setup);
  ASSERT_NO_FATAL_FAILURE(Start());
  const auto image = Image("big.bin", ByteVector(1 << 20, 0x44));
  child_->WriteLine("DOWNLOAD \"" + image + "\" \"1048576\" \"4096\"");
  VirtualDeviceSetup other;
  other.vendor = "OTHERCO";
  devices_.Create("other", other);
  auto answer = child_->ReadUntilPrompt(120s);
  ASSERT_TRUE(answer);
  // Every line is one of the known kinds; the connect lines arrived somewhere in between.
  const std::regex known(
      R"(\*DOWNLOAD:.*|\*ERASE:\d+|\*WRITE:\d+|\*WRITE:open .*|\*USB:SetIOPort TRUE return 1|\*USB:CONNECT|)"
      R"(\+FLASHID: M25P80|\+READEEPROM:[0-9A-F]{32}|\+PRODUCT:[0-9A-F]{32}|\+DOWNLOAD:write Ok)");
  for (const auto& l : *answer) EXPECT_TRUE(std::regex_match(l, known)) << l;
  // The arrival may be handled after the prompt: then its lines follow it.
  auto connect = std::count(answer->begin(), answer->end(), "*USB:CONNECT");
  if (connect == 0) {
    const auto late = ReadLines(5);
    connect = std::count(late.begin(), late.end(), "*USB:CONNECT");
  }
  EXPECT_EQ(connect, 1);
  EXPECT_EQ(answer->back(), "+DOWNLOAD:write Ok");
}

// QUIT while the monitor is busy with a stream of arrivals and removals (each one opening the
// unit, reading its identity and records): the process ends with status 0 and the QUIT line
// last, whatever the monitor was doing. Under ThreadSanitizer a race with the libraries' teardown
// shows as a non-zero status.
TEST_F(ConsoleDevice, QuitDuringHotPlugChurnEndsCleanly) {
  devices_.Create("unit");
  VirtualDeviceSetup other;
  other.vendor = "OTHERCO";
  other.plugged = false;
  devices_.Create("other", other);
  for (int round = 0; round < 6; ++round) {
    ASSERT_NO_FATAL_FAILURE(Start());
    std::atomic<bool> stop{false};
    // The unit and the unrelated disk take turns; each round ends with the unit plugged in.
    std::thread churn([&] {
      bool unit_in = true;
      while (!stop) {
        devices_.Plug(unit_in ? "other" : "unit");
        devices_.Unplug(unit_in ? "unit" : "other");
        unit_in = !unit_in;
        std::this_thread::sleep_for(60ms);
      }
      if (!unit_in) {
        devices_.Plug("unit");
        devices_.Unplug("other");
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + 70 * round));
    child_->WriteLine("QUIT");
    const Lines rest = child_->ReadAllLines(60s);
    const int status = child_->Wait(60s);
    stop = true;
    churn.join();
    ASSERT_FALSE(rest.empty()) << "round " << round;
    EXPECT_TRUE(std::regex_match(rest.back(), std::regex(R"(\*USB:SetIOPort FALSE return [01])")))
        << "round " << round << ": " << rest.back();
    EXPECT_EQ(status, 0) << "round " << round;
    child_.reset();
  }
}

#ifdef _WIN32
// The system delivers its device-change broadcasts to the hidden window with a sent (not posted)
// WM_DEVICECHANGE whose lParam points to the broadcast record: an arrival or removal code carries
// a pointer, so PostMessage refuses it. Sent from this process, they take the same path.
LRESULT SendDeviceChange(std::uint64_t window, WPARAM event) {
  DEV_BROADCAST_DEVICEINTERFACE_A record{};
  record.dbcc_size = sizeof record;
  record.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)), WM_DEVICECHANGE, event,
                             reinterpret_cast<LPARAM>(&record), SMTO_NORMAL, 30000, &result);
}

TEST_F(ConsoleDevice, SystemDeviceChangeMessagesReachTheMonitorWindow) {
  devices_.Create("unit");
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_EQ(start_lines_, ConnectLines());
  ASSERT_NE(monitor_window_, 0u);

  // An arrival elsewhere while the unit is open repeats the announcement.
  ASSERT_NE(SendDeviceChange(monitor_window_, DBT_DEVICEARRIVAL), 0);
  EXPECT_EQ(ReadLines(5), ConnectLines());

  // A removal while the unit still answers: nothing.
  ASSERT_NE(SendDeviceChange(monitor_window_, DBT_DEVICEREMOVECOMPLETE), 0);
  EXPECT_EQ(ReadLines(1, 1s), Lines{});

  // The unit stops answering without its folder going away, so only this message can tell.
  devices_.Set("unit", "fail", "inquiry");
  ASSERT_NE(SendDeviceChange(monitor_window_, DBT_DEVICEREMOVECOMPLETE), 0);
  EXPECT_EQ(ReadLines(1), Lines{"*USB:DISCONNECT"});
  EXPECT_EQ(Run("STATUS"), Lines{"-STATUS: return 0"});
}
#endif

}  // namespace
}  // namespace velkin::test
