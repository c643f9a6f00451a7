// velkin as a separate program over virtual devices: each device command's text and JSON answers,
// exit statuses, a tray with a fault, a unit pulled, Ctrl-C, an image too large, bad arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/velkin_cli.h"

namespace velkin::test {
namespace {

using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;


bool StartsWith(const Bytes& flash, const Bytes& image) {
  return flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());
}

bool AllErased(const Bytes& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

std::size_t Erases(const std::vector<std::string>& trace) {
  return static_cast<std::size_t>(
      std::count_if(trace.begin(), trace.end(), [](const std::string& l) { return l.rfind("none fd20", 0) == 0; }));
}

VirtualDeviceSetup At(int hub, int port, std::vector<std::pair<std::string, std::string>> more = {}) {
  VirtualDeviceSetup setup;
  setup.settings = {{"hub", std::to_string(hub)}, {"port", std::to_string(port)}};
  setup.settings.insert(setup.settings.end(), more.begin(), more.end());
  return setup;
}

class VelkinCommand : public ::testing::Test {
 protected:
  std::string Record16(const std::string& folder) {
    const Bytes eeprom = devices_.Eeprom(folder);
    return HexBytes({eeprom.begin() + 16, eeprom.begin() + 32});
  }

  VirtualDevices devices_;
  VelkinCli cli_{devices_};
};

TEST_F(VelkinCommand, DevicesListsEachUnitWithItsIdentity) {
  EXPECT_EQ(cli_.Run({"devices"}).Text(), "no units carry QUAMIRA / VOXA CDROM\n");
  EXPECT_TRUE(cli_.Run({"devices", "--json"}).out.empty());

  VirtualDeviceSetup big = At(2, 4, {{"usb_vendor_id", "0x1234"}, {"usb_product_id", "0x00AB"}});
  big.flash_id[2] = 0x16;
  big.flash_size = 4 << 20;
  devices_.Create("big", big);
  devices_.Create("small", At(1, 1));
  devices_.WriteEeprom("big", 0, Pattern(16, 5));
  devices_.WriteEeprom("big", 16, Pattern(16, 9));

  const CliRun run = cli_.Run({"devices", "--json"});
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.Json().size(), 2u) << run.Text();
  const json unit = run.Of("big");
  EXPECT_EQ(unit["vendor"], "QUAMIRA");
  EXPECT_EQ(unit["product"], "VOXA CDROM");
  EXPECT_EQ(unit["usb_vendor_id"], "0x1234");
  EXPECT_EQ(unit["usb_product_id"], "0x00AB");
  EXPECT_EQ(unit["hub"], 2);
  EXPECT_EQ(unit["port"], 4);
  EXPECT_EQ(unit["flash_id"], "202016");
  EXPECT_EQ(unit["flash_size"], 4 << 20);
  std::string product = HexBytes(Pattern(16, 5));
  std::string record = HexBytes(Pattern(16, 9));
  std::transform(product.begin(), product.end(), product.begin(), ::toupper);
  std::transform(record.begin(), record.end(), record.begin(), ::toupper);
  EXPECT_EQ(unit["eeprom_product"], product);
  EXPECT_EQ(unit["eeprom_record"], record);

  const std::string text = cli_.Run({"devices"}).Text();
  const std::string name = unit["name"];
  EXPECT_TRUE(Contains(text, name + ": QUAMIRA / VOXA CDROM, USB 1234:00AB, hub 2, port 4\n")) << text;
  EXPECT_TRUE(Contains(text, "  flash 202016, 4194304 bytes\n")) << text;
  EXPECT_TRUE(Contains(text, "  product record (EEPROM 0): " + product + "\n")) << text;
  EXPECT_TRUE(Contains(text, "  record (EEPROM 16):        " + record + "\n")) << text;
}

// A tray of four with one unit that refuses a write: three verified, one failed, every one
// reported, exit 1; serial numbers in the order of hub, port and name; the log has each unit.
TEST_F(VelkinCommand, ProgramsATrayOfFourWithOneFault) {
  devices_.Create("a", At(2, 1));
  devices_.Create("b", At(1, 2, {{"refuse_write_at", "0x2000"}}));
  devices_.Create("c", At(1, 1));
  devices_.Create("d", At(1, 2));
  const Bytes image = Pattern(5 * 4096 + 77);
  const std::string path = cli_.WriteFile("tray.bin", image);
  const std::string log = cli_.File("station.log");

  const CliRun run = cli_.Run({"program", path, "--all", "--serial", "100", "--record",
                               "AABBCCDDEEFF00112233445566778899", "--json", "--log", log});
  EXPECT_EQ(run.status, 1) << run.err;
  ASSERT_EQ(run.Json().size(), 4u) << run.Text() << run.err;
  for (const char* unit : {"a", "c", "d"}) {
    const json result = run.Of(unit);
    EXPECT_EQ(result["result"], "verified") << result.dump();
    EXPECT_TRUE(result["ok"].get<bool>());
    EXPECT_TRUE(StartsWith(devices_.Flash(unit), image)) << unit;
  }
  const json failed = run.Of("b");
  EXPECT_EQ(failed["result"], "failed");
  EXPECT_EQ(failed["failure"], "refused");
  EXPECT_EQ(failed["step"], "write");
  EXPECT_EQ(failed["address"], 0x2000);
  EXPECT_TRUE(failed["half_written"].get<bool>());
  EXPECT_EQ(failed["file"], path);
  EXPECT_TRUE(Contains(failed["message"], "refused write at address 0x002000")) << failed.dump();

  // c (hub 1, port 1), then b and d (hub 1, port 2, by name), then a (hub 2).
  EXPECT_EQ(Record16("c"),
            "aabbccddeeff001122334455"
            "00000064");
  EXPECT_EQ(Record16("d"),
            "aabbccddeeff001122334455"
            "00000066");
  EXPECT_EQ(Record16("a"),
            "aabbccddeeff001122334455"
            "00000067");
  EXPECT_EQ(run.Of("b")["serial"], 101);
  EXPECT_EQ(Record16("b"), std::string(32, '0'));  // it failed before its record

  std::vector<json> lines;
  const Bytes log_bytes = ReadFileBytes(log);
  const std::string log_text(log_bytes.begin(), log_bytes.end());
  for (std::size_t at = 0, next; (next = log_text.find('\n', at)) != std::string::npos; at = next + 1) {
    lines.push_back(json::parse(log_text.substr(at, next - at)));
  }
  ASSERT_EQ(lines.size(), 4u);
  for (const auto& line : lines) {
    EXPECT_EQ(line["image_sha256"].get<std::string>().size(), 64u);
    EXPECT_EQ(line["image_sha256"], run.Json()[0]["image_sha256"]);
    EXPECT_EQ(line["image_bytes"], image.size());
    EXPECT_EQ(line["flash_id"], "202014");
    EXPECT_TRUE(line["time"].get<std::string>().ends_with("Z"));
    EXPECT_EQ(line["time"].get<std::string>()[10], 'T');
    const bool ok = line["ok"];
    EXPECT_EQ(line["record_written"], ok) << line.dump();
    EXPECT_EQ(line["times_ms"].contains("verify"), ok) << line.dump();
  }

  // The same tray for people: a line per unit naming the file, step and address, and a summary.
  const CliRun text = cli_.Run({"program", path, "--all"});
  EXPECT_EQ(text.status, 1);
  EXPECT_TRUE(Contains(text.Text(), cli_.Name("b") + ": failed in write at address 0x002000 (" + path +
                                        "): refused write at address 0x002000: refused (sense 0x"))
      << text.Text();
  EXPECT_TRUE(Contains(text.Text(), "; the unit is left half written\n")) << text.Text();
  EXPECT_TRUE(Contains(text.Text(), cli_.Name("a") + ": verified, 20557 bytes (" + path + "); erase ")) << text.Text();
  EXPECT_TRUE(Contains(text.Text(), "3 of 4 units done, 1 failed\n")) << text.Text();
}

TEST_F(VelkinCommand, AnImageTooLargeIsRefusedBeforeAnyErase) {
  VirtualDeviceSetup small = At(1, 1);
  small.flash_id[2] = 0x10;  // 64 KiB
  small.flash_size = 1 << 16;
  devices_.Create("small", small);
  devices_.WriteFlash("small", 0, Pattern(1000));
  const Bytes before = devices_.Flash("small");
  devices_.NewTrace("small");

  const CliRun run = cli_.Run({"program", cli_.WriteFile("big.bin", Pattern(65537)), "--all", "--json"});
  EXPECT_EQ(run.status, 1);
  const json result = run.Of("small");
  EXPECT_EQ(result["failure"], "too large") << result.dump();
  EXPECT_EQ(result["step"], "start");
  EXPECT_FALSE(result["half_written"].get<bool>());
  EXPECT_EQ(result["message"], "the image (65537 bytes) does not fit the flash (65536 bytes)");
  EXPECT_EQ(Erases(devices_.NewTrace("small")), 0u);
  EXPECT_EQ(devices_.Flash("small"), before);
}

TEST_F(VelkinCommand, AUnitPulledMidWriteIsReportedPulledNeverDone) {
  devices_.Create("a", At(1, 1, {{"unplug_after", "30"}}));
  devices_.Create("b", At(1, 2));
  const Bytes image = Pattern(40 * 4096);
  const CliRun run = cli_.Run({"program", cli_.WriteFile("img.bin", image), "--all", "--json"});
  EXPECT_EQ(run.status, 1);
  ASSERT_EQ(run.Json().size(), 2u) << run.Text();
  const json pulled = run.Json()[0]["unit"].get<std::string>().rfind("a@", 0) == 0 ? run.Json()[0] : run.Json()[1];
  EXPECT_EQ(pulled["failure"], "unit pulled") << pulled.dump();
  EXPECT_EQ(pulled["step"], "write");
  EXPECT_TRUE(pulled["half_written"].get<bool>());
  EXPECT_TRUE(Contains(pulled["message"], "write failed at address 0x")) << pulled.dump();
  EXPECT_TRUE(Contains(pulled["message"], ": unit pulled"));
  EXPECT_EQ(run.Of("b")["result"], "verified");
}

#ifndef _WIN32
// Ctrl-C while the units are being written: every unit is reported cancelled and half written,
// never done, and the exit status says it was interrupted. (Linux only: a console control event
// needs a console shared with the child, which a child on pipes under Wine does not have.)
TEST_F(VelkinCommand, CtrlCMidWriteStopsEveryUnitAndSaysItIsHalfWritten) {
  for (const char* name : {"a", "b"}) devices_.Create(name, At(1, name[0] - 'a', {{"command_us", "2000"}}));
  const Bytes image = Pattern(200 * 4096);
  auto child = cli_.Start({"program", cli_.WriteFile("img.bin", image), "--all", "--json"});
  ASSERT_TRUE(child);
  // Wait until both units are writing.
  const auto writing = [&](const char* name) {
    const auto trace = devices_.Trace(name);
    return std::any_of(trace.begin(), trace.end(), [](const std::string& l) { return l.rfind("out fd2a", 0) == 0; });
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!(writing("a") && writing("b")) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(child->Interrupt());
  CliRun run;
  run.out = child->ReadAllLines();
  run.status = child->Wait();
  EXPECT_EQ(run.status, 130) << cli_.ReadErr();
  ASSERT_EQ(run.Json().size(), 2u) << run.Text();
  for (const auto& result : run.Json()) {
    EXPECT_EQ(result["result"], "cancelled") << result.dump();
    EXPECT_EQ(result["step"], "write");
    EXPECT_TRUE(result["half_written"].get<bool>());
    EXPECT_TRUE(Contains(result["message"], "the unit is left half written")) << result.dump();
    EXPECT_FALSE(AllErased(devices_.Flash(result["unit"].get<std::string>().substr(0, 1))));
  }
  EXPECT_TRUE(Contains(cli_.ReadErr(), "interrupted"));
}
#endif

TEST_F(VelkinCommand, BadArgumentsChangeNothingAndExitTwo) {
  devices_.Create("a");
  const std::string name = cli_.Name("a");
  const std::string image = cli_.WriteFile("img.bin", Pattern(100));
  devices_.NewTrace("a");
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"flash"},
      {"program", image},                                   // neither --unit nor --all
      {"program", image, "--unit", name, "--all"},          // both
      {"program", image, "--all", "--record", "00112233"},  // a short record
      {"program", image, "--all", "--serial", "ten"},
      {"program", image, "--all", "--serial", "4294967296"},
      {"program", cli_.File("missing.bin"), "--all"},
      {"program", cli_.WriteFile("empty.bin", {}), "--all"},
      {"program", image, "--all", "--log", cli_.File("no/such/folder/log")},
      {"read", "--unit", name},  // no -o
      {"read", "--unit", name, "-o", cli_.File("x.bin"), "--length", "0"},
      {"eeprom", "--unit", name, "--write", "XYZ"},
      {"erase"},
      {"erase", "--unit", name, "--bogus"},
  };
  for (const auto& args : bad) {
    const CliRun run = cli_.Run(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(run.status, 2) << joined << "\n" << run.Text() << run.err;
    EXPECT_FALSE(run.err.empty()) << joined;
  }
  EXPECT_TRUE(devices_.NewTrace("a").empty());
  EXPECT_EQ(cli_.Run({"--help"}).status, 0);
  EXPECT_TRUE(Contains(cli_.Run({"program", "--help"}).Text(), "--serial START"));
}

TEST_F(VelkinCommand, VerifyReadEraseAndEeprom) {
  devices_.Create("a");
  const std::string name = cli_.Name("a");
  const Bytes image = Pattern(3 * 4096 + 5);
  devices_.WriteFlash("a", 0, image);
  const std::string path = cli_.WriteFile("img.bin", image);

  CliRun run = cli_.Run({"verify", path, "--unit", name, "--json"});
  EXPECT_EQ(run.status, 0) << run.Text() << run.err;
  EXPECT_EQ(run.Of("a")["result"], "verified");
  Bytes other = image;
  other[0x1234] ^= 0x01;
  run = cli_.Run({"verify", cli_.WriteFile("other.bin", other), "--unit", name});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.Text(), ": failed in verify at address 0x001234 (")) << run.Text();
  EXPECT_TRUE(Contains(run.Text(), "read-back mismatch at offset 0x001234")) << run.Text();

  const std::string out = cli_.File("out.bin");
  run = cli_.Run({"read", "--unit", name, "-o", out, "--length", "5000", "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFileBytes(out), Bytes(image.begin(), image.begin() + 5000));
  EXPECT_EQ(run.Of("a")["bytes"], 5000);
  // A read that fails leaves no file behind.
  const std::string too_long = cli_.File("too_long.bin");
  run = cli_.Run({"read", "--unit", name, "-o", too_long, "--length", "0x100001", "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.Of("a")["failure"], "too large");
  EXPECT_TRUE(ReadFileBytes(too_long).empty());

  run = cli_.Run({"erase", "--unit", name});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.Text(), name + ": erased; erase ")) << run.Text();
  EXPECT_TRUE(AllErased(devices_.Flash("a")));

  run = cli_.Run({"eeprom", "--unit", name, "--write", "00112233445566778899aabbccddeeff", "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.Of("a")["eeprom_record"], "00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(Record16("a"), "00112233445566778899aabbccddeeff");
  run = cli_.Run({"eeprom", "--unit", name});
  EXPECT_TRUE(Contains(run.Text(), "  record (EEPROM 16):        00112233445566778899AABBCCDDEEFF\n")) << run.Text();

  devices_.Set("a", "eeprom_fail", "1");
  run = cli_.Run({"eeprom", "--unit", name, "--write", std::string(32, '1'), "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.Of("a")["message"], "EEPROM record: EEPROM busy or write refused");

  run = cli_.Run({"erase", "--unit", "nobody@0", "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.Json().at(0)["failure"], "not found");
}

TEST_F(VelkinCommand, NamesFromFilesAreShownSafely) {
  // A control character in a file name reaches the terminal as '?'.
  const CliRun run = cli_.Run({"verify", cli_.File("bad\x7f\x1b[2Jname.bin"), "--all"});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "bad??[2Jname.bin: ")) << run.err;
  EXPECT_FALSE(Contains(run.err, "\x1b"));
}

TEST_F(VelkinCommand, WatchPrintsArrivalsAndRemovals) {
  devices_.Create("a");
  auto child = cli_.Start({"devices", "--watch", "--json"});
  ASSERT_TRUE(child);
  const auto next = [&] {
    const auto line = child->ReadLine(std::chrono::seconds(15));
    return line ? json::parse(*line, nullptr, false) : json();
  };
  json event = next();
  EXPECT_EQ(event["event"], "arrived") << event.dump();
  EXPECT_EQ(event["name"].get<std::string>().substr(0, 2), "a@");
  EXPECT_EQ(event["flash_size"], 1 << 20);
  devices_.Create("b");
  event = next();
  EXPECT_EQ(event["event"], "arrived") << event.dump();
  EXPECT_EQ(event["name"].get<std::string>().substr(0, 2), "b@");
  devices_.Unplug("a");
  event = next();
  EXPECT_EQ(event["event"], "removed") << event.dump();
  EXPECT_EQ(event["name"].get<std::string>().substr(0, 2), "a@");
  if (child->Interrupt()) {
    EXPECT_EQ(child->Wait(), 0);  // Ctrl-C is how a watch ends
  } else {
    child->Kill();
  }
}

}  // namespace
}  // namespace velkin::test
