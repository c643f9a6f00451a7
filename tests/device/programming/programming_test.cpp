// The programming library through its interface, against virtual devices: listing, the jobs and
// their results (step, address, text), cancelling, the tray and the watcher.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "device/programming/job.h"
#include "device/programming/records.h"
#include "device/programming/tray.h"
#include "device/programming/unit.h"
#include "device/programming/watch.h"
#include "tests/support/virtual_devices.h"

namespace velkin::programming {
namespace {

using test::VirtualDevices;
using test::VirtualDeviceSetup;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t size, std::uint8_t seed = 1) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 12));
  return bytes;
}

VirtualDeviceSetup With(std::vector<std::pair<std::string, std::string>> settings) {
  VirtualDeviceSetup setup;
  setup.settings = std::move(settings);
  return setup;
}

VirtualDeviceSetup WithCapacity(std::uint8_t code, std::size_t flash_size = 1 << 20) {
  VirtualDeviceSetup setup;
  setup.flash_id[2] = code;
  setup.flash_size = flash_size;
  return setup;
}

bool AllErased(const Bytes& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

std::size_t CountCommands(const std::vector<std::string>& trace, const std::string& prefix) {
  return static_cast<std::size_t>(
      std::count_if(trace.begin(), trace.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

JobRequest ProgramRequest(const Bytes& image, std::optional<Record> record = std::nullopt, bool verify = true) {
  JobRequest request;
  request.kind = JobKind::kProgram;
  request.image = std::make_shared<const Bytes>(image);
  request.record = record;
  request.verify = verify;
  return request;
}

class Programming : public ::testing::Test {
 protected:
  // The library's name of the virtual device in folder `folder`.
  std::string NameOf(const std::string& folder) {
    for (const auto& unit : ListUnits({}, false)) {
      if (unit.name.rfind(folder.substr(0, 7) + "@", 0) == 0) return unit.name;
    }
    return "";
  }
  std::unique_ptr<Unit> Open(const std::string& folder) {
    OpenResult opened = OpenUnit({}, NameOf(folder));
    EXPECT_TRUE(opened.unit) << opened.error;
    return std::move(opened.unit);
  }

  VirtualDevices devices_;
};

TEST_F(Programming, ListsUnitsWithTheirIdentityInTrayOrder) {
  VirtualDeviceSetup setup;
  setup.flash_id[2] = 0x15;  // 2 MiB
  setup.settings = {{"hub", "2"}, {"port", "1"}, {"usb_vendor_id", "0x1234"}, {"usb_product_id", "0xABCD"}};
  devices_.Create("second", setup);
  devices_.Create("first", With({{"hub", "1"}, {"port", "3"}}));
  VirtualDeviceSetup other;
  other.vendor = "SOMEONE";
  devices_.Create("other", other);
  devices_.Create("locked", With({{"refuse_open", "denied"}}));
  devices_.WriteEeprom("second", 0, Pattern(16, 3));
  devices_.WriteEeprom("second", 16, Pattern(16, 9));

  auto units = ListUnits({}, true);
  ASSERT_EQ(units.size(), 3u);  // the one with other texts is not ours
  std::sort(units.begin(), units.end(), TrayOrder);
  const auto locked = std::find_if(units.begin(), units.end(), [](const auto& u) { return !u.open_error.empty(); });
  ASSERT_NE(locked, units.end());
  EXPECT_EQ(locked->name.substr(0, 7), "locked@");
  EXPECT_FALSE(locked->flash_id);
  units.erase(locked);

  EXPECT_EQ(units[0].name.substr(0, 6), "first@");
  const UnitIdentity& second = units[1];
  EXPECT_EQ(second.name.substr(0, 7), "second@");
  EXPECT_EQ(second.vendor, "QUAMIRA");
  EXPECT_EQ(second.product, "VOXA CDROM");
  EXPECT_EQ(second.usb_vendor_id, 0x1234);
  EXPECT_EQ(second.usb_product_id, 0xABCD);
  EXPECT_EQ(second.hub, 2);
  EXPECT_EQ(second.port, 1);
  ASSERT_TRUE(second.flash_id);
  EXPECT_EQ(*second.flash_id, (std::array<std::uint8_t, 3>{0x20, 0x20, 0x15}));
  EXPECT_EQ(second.flash_size, 2u << 20);
  ASSERT_TRUE(second.product_record && second.record);
  EXPECT_EQ(Bytes(second.product_record->begin(), second.product_record->end()), Pattern(16, 3));
  EXPECT_EQ(Bytes(second.record->begin(), second.record->end()), Pattern(16, 9));

  // Without reading the units, only what the system says of them.
  for (const auto& unit : ListUnits({}, false)) EXPECT_FALSE(unit.flash_id) << unit.name;
}

TEST_F(Programming, ProgramErasesTheWholeFlashWritesTheRecordAndVerifies) {
  devices_.Create("a");
  auto unit = Open("a");
  ASSERT_TRUE(unit);
  devices_.NewTrace("a");
  const Bytes image = Pattern(10 * 4096 + 100);
  Record record{};
  ASSERT_TRUE(ParseRecord("00112233445566778899aabbccddeeff", &record));

  std::vector<std::pair<Step, int>> seen;
  const JobResult result =
      RunJob(*unit, ProgramRequest(image, record), [&](Step s, int p) { seen.emplace_back(s, p); });
  ASSERT_TRUE(result.ok()) << result.text;
  EXPECT_TRUE(result.verified);
  EXPECT_EQ(result.text, "verified");
  EXPECT_EQ(result.step, Step::kDone);
  EXPECT_EQ(result.bytes, image.size());

  const Bytes flash = devices_.Flash("a");
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  EXPECT_TRUE(AllErased({flash.begin() + static_cast<long>(image.size()), flash.end()}));
  const Bytes eeprom = devices_.Eeprom("a");
  EXPECT_EQ(Bytes(eeprom.begin() + 16, eeprom.begin() + 32), Bytes(record.begin(), record.end()));

  // Sixteen 64 KiB erases (code 128) before the first write; eleven writes, the last one short.
  const auto trace = devices_.NewTrace("a");
  EXPECT_EQ(CountCommands(trace, "none fd20"), 16u);
  EXPECT_EQ(CountCommands(trace, "none fd2000000000060080"), 1u);
  EXPECT_EQ(CountCommands(trace, "out fd2a"), 11u);
  EXPECT_EQ(CountCommands(trace, "out fd2a0000a000060064"), 1u);
  const auto first_write =
      std::find_if(trace.begin(), trace.end(), [](auto& l) { return l.rfind("out fd2a", 0) == 0; });
  EXPECT_EQ(std::count_if(first_write, trace.end(), [](auto& l) { return l.rfind("none fd20", 0) == 0; }), 0);

  // Steps in order, each with progress that never goes back and ends at 100; a time for each.
  std::vector<Step> steps;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    if (steps.empty() || steps.back() != seen[i].first) {
      steps.push_back(seen[i].first);
    } else {
      EXPECT_GT(seen[i].second, seen[i - 1].second);
    }
    if (i + 1 == seen.size() || seen[i + 1].first != seen[i].first) {
      EXPECT_EQ(seen[i].second, 100);
    }
  }
  EXPECT_EQ(steps, (std::vector<Step>{Step::kErase, Step::kWrite, Step::kEeprom, Step::kVerify}));
  ASSERT_EQ(result.times.size(), 4u);
  EXPECT_EQ(result.times[3].step, Step::kVerify);
}

TEST_F(Programming, WithoutVerifyingNothingIsReadBackAndNothingClaimsVerified) {
  devices_.Create("a");
  auto unit = Open("a");
  ASSERT_TRUE(unit);
  devices_.NewTrace("a");
  const JobResult result = RunJob(*unit, ProgramRequest(Pattern(5000), std::nullopt, false));
  ASSERT_TRUE(result.ok()) << result.text;
  EXPECT_FALSE(result.verified);
  EXPECT_EQ(result.text, "written, not verified");
  EXPECT_EQ(CountCommands(devices_.NewTrace("a"), "in fd28"), 0u);
}

TEST_F(Programming, RefusesBeforeTouchingTheFlash) {
  devices_.Create("small", WithCapacity(0x10, 1 << 16));
  devices_.Create("unknown", WithCapacity(0x30));
  devices_.WriteFlash("small", 0, Pattern(100));
  auto small = Open("small");
  auto unknown = Open("unknown");
  ASSERT_TRUE(small && unknown);
  devices_.NewTrace("small");
  devices_.NewTrace("unknown");

  JobResult result = RunJob(*small, ProgramRequest(Pattern(65537)));
  EXPECT_EQ(result.failure, Failure::kTooLarge);
  EXPECT_EQ(result.step, Step::kStart);
  EXPECT_FALSE(result.flash_touched);
  EXPECT_EQ(result.text, "the image (65537 bytes) does not fit the flash (65536 bytes)");
  JobRequest read;
  read.kind = JobKind::kRead;
  read.length = 65537;
  EXPECT_EQ(RunJob(*small, read).failure, Failure::kTooLarge);
  EXPECT_EQ(CountCommands(devices_.NewTrace("small"), "none fd20"), 0u);
  const Bytes kept = devices_.Flash("small");
  EXPECT_EQ(Bytes(kept.begin(), kept.begin() + 100), Pattern(100));

  // A flash whose size cannot be known is not guessed at.
  result = RunJob(*unknown, ProgramRequest(Pattern(100)));
  EXPECT_EQ(result.failure, Failure::kUnknownFlash) << result.text;
  EXPECT_EQ(CountCommands(devices_.NewTrace("unknown"), "none fd20"), 0u);

  // An empty image, and a unit that has a job already.
  EXPECT_EQ(RunJob(*small, ProgramRequest({})).failure, Failure::kFileError);
  ASSERT_TRUE(small->TryClaim());
  result = RunJob(*small, ProgramRequest(Pattern(10)));
  EXPECT_EQ(result.failure, Failure::kBusy);
  small->Release();
}

TEST_F(Programming, FailuresNameTheStepTheAddressAndLeaveTheUnitHalfWritten) {
  devices_.Create("refuses", With({{"refuse_write_at", "0x2000"}}));
  devices_.Create("eeprom", With({{"eeprom_fail", "1"}}));
  devices_.Create("reads", With({{"check", "read"}}));
  const Bytes image = Pattern(6 * 4096);

  JobResult result = RunJob(*Open("refuses"), ProgramRequest(image));
  EXPECT_EQ(result.failure, Failure::kRefused);
  EXPECT_EQ(result.step, Step::kWrite);
  EXPECT_EQ(result.address, 0x2000u);
  EXPECT_EQ(result.text.rfind("refused write at address 0x002000: refused (sense 0x", 0), 0u) << result.text;
  EXPECT_TRUE(result.half_written());
  EXPECT_FALSE(result.verified);

  Record record{};
  result = RunJob(*Open("eeprom"), ProgramRequest(image, record));
  EXPECT_EQ(result.failure, Failure::kEepromFailed);
  EXPECT_EQ(result.step, Step::kEeprom);
  EXPECT_EQ(result.text, "EEPROM record: EEPROM busy or write refused");

  result = RunJob(*Open("reads"), ProgramRequest(image));
  EXPECT_EQ(result.failure, Failure::kRefused);
  EXPECT_EQ(result.step, Step::kVerify);
  EXPECT_EQ(result.text.rfind("read-back failed at address 0x000000: refused", 0), 0u) << result.text;

  // A verify of other bytes than the flash holds names the first differing byte.
  devices_.WriteFlash("refuses", 0, Bytes(0x1235, 0x00));
  JobRequest verify;
  verify.kind = JobKind::kVerify;
  verify.image = std::make_shared<const Bytes>(Bytes(0x1236, 0x00));
  auto unit = Open("refuses");
  result = RunJob(*unit, verify);
  EXPECT_EQ(result.failure, Failure::kMismatch);
  EXPECT_EQ(result.address, 0x1235u);
  EXPECT_EQ(result.text, "read-back mismatch at offset 0x001235");
  EXPECT_FALSE(result.flash_touched);
  verify.image = std::make_shared<const Bytes>(Bytes(0x1235, 0x00));
  EXPECT_TRUE(RunJob(*unit, verify).verified);
}

TEST_F(Programming, AUnitPulledMidWriteIsReportedPulled) {
  devices_.Create("a");
  auto unit = Open("a");
  ASSERT_TRUE(unit);
  devices_.Set("a", "unplug_after", "22");  // sixteen erases, then a few blocks
  const JobResult result = RunJob(*unit, ProgramRequest(Pattern(20 * 4096)));
  EXPECT_EQ(result.failure, Failure::kUnitPulled);
  EXPECT_EQ(result.step, Step::kWrite);
  EXPECT_TRUE(result.half_written());
  ASSERT_TRUE(result.address);
  EXPECT_EQ(
      result.text, "write failed at address 0x" + [&] {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%06X", *result.address);
        return std::string(hex);
      }() + ": unit pulled");
}

TEST_F(Programming, ACancelledJobStopsBetweenCommandsAndSaysWhereItLeftTheUnit) {
  devices_.Create("a");
  auto unit = Open("a");
  ASSERT_TRUE(unit);
  std::atomic<bool> cancel{false};
  const auto cancel_at = [&](Step step, int percent) {
    return [&, step, percent](Step s, int p) {
      if (s == step && p >= percent) cancel = true;
    };
  };
  JobResult result = RunJob(*unit, ProgramRequest(Pattern(20 * 4096)), cancel_at(Step::kWrite, 40), &cancel);
  EXPECT_EQ(result.failure, Failure::kCancelled);
  EXPECT_EQ(result.step, Step::kWrite);
  EXPECT_TRUE(result.half_written());
  ASSERT_TRUE(result.address);
  EXPECT_EQ(*result.address % 4096, 0u);
  EXPECT_GT(*result.address, 0u);
  EXPECT_NE(result.text.find("the unit is left half written"), std::string::npos) << result.text;
  // Nothing past the block where it stopped was written.
  const Bytes flash = devices_.Flash("a");
  EXPECT_TRUE(AllErased({flash.begin() + *result.address, flash.end()}));

  // Cancelled before it began: nothing touched, and it says so.
  result = RunJob(*unit, ProgramRequest(Pattern(100)), {}, &cancel);
  EXPECT_EQ(result.failure, Failure::kCancelled);
  EXPECT_FALSE(result.flash_touched);
  EXPECT_EQ(devices_.Flash("a"), flash);
}

TEST_F(Programming, ReadEraseAndEepromJobs) {
  devices_.Create("a");
  devices_.WriteFlash("a", 0, Pattern(9000));
  auto unit = Open("a");
  ASSERT_TRUE(unit);

  JobRequest request;
  request.kind = JobKind::kRead;
  request.length = 9000;
  JobResult result = RunJob(*unit, request);
  ASSERT_TRUE(result.ok()) << result.text;
  EXPECT_EQ(result.data, Pattern(9000));
  request.length.reset();
  EXPECT_EQ(RunJob(*unit, request).data.size(), 1u << 20);

  request.kind = JobKind::kErase;
  result = RunJob(*unit, request);
  ASSERT_TRUE(result.ok()) << result.text;
  EXPECT_EQ(result.text, "erased");
  EXPECT_TRUE(AllErased(devices_.Flash("a")));

  request.kind = JobKind::kEepromWrite;
  request.record = SerialRecord(Record{0xAA, 0xBB}, 0x01020304);
  result = RunJob(*unit, request);
  ASSERT_TRUE(result.ok()) << result.text;
  ASSERT_TRUE(result.record);
  EXPECT_EQ(RecordText(*result.record), "AABB0000000000000000000001020304");
  const Bytes eeprom = devices_.Eeprom("a");
  EXPECT_EQ(test::HexBytes(Bytes(eeprom.begin() + 16, eeprom.begin() + 32)), "aabb0000000000000000000001020304");
  request.kind = JobKind::kEepromRead;
  result = RunJob(*unit, request);
  ASSERT_TRUE(result.ok() && result.product_record && result.record) << result.text;
  EXPECT_EQ(*result.record, *request.record);

  devices_.Set("a", "eeprom_fail", "1");
  request.kind = JobKind::kEepromWrite;
  result = RunJob(*unit, request);
  EXPECT_EQ(result.failure, Failure::kEepromFailed);
  EXPECT_EQ(result.text, "EEPROM record: EEPROM busy or write refused");
}

TEST(Records, ParseAndSerialLayout) {
  Record record{};
  EXPECT_TRUE(ParseRecord("00112233445566778899aabbccddeeff", &record));
  EXPECT_EQ(RecordText(record), "00112233445566778899AABBCCDDEEFF");
  const Record before = record;
  for (const char* bad : {"", "0011", "00112233445566778899aabbccddeefg", "00112233445566778899aabbccddeeff00",
                          " 0112233445566778899aabbccddeeff"}) {
    EXPECT_FALSE(ParseRecord(bad, &record)) << bad;
    EXPECT_EQ(record, before);
  }
  // The serial is big-endian in the last four bytes; the prefix's first twelve bytes stay.
  EXPECT_EQ(RecordText(SerialRecord(before, 1000)), "00112233445566778899AABB000003E8");
  EXPECT_EQ(RecordText(SerialRecord(Record{}, 0xFFFFFFFF)), "000000000000000000000000FFFFFFFF");
}

class ProgrammingTray : public Programming {};

TEST_F(ProgrammingTray, EveryUnitFinishesWhateverTheOthersDo) {
  for (const char* name : {"a", "b", "c", "d"}) devices_.Create(name);
  devices_.Set("b", "refuse_write_at", "0x3000");
  const Bytes image = Pattern(8 * 4096);
  std::vector<TrayUnit> units;
  for (const char* name : {"a", "b", "c", "d"}) units.push_back({NameOf(name), ProgramRequest(image)});
  units.push_back({"nobody@00000000", ProgramRequest(image)});
  // The fourth unit's thread cannot be started.
  int started = 0;
  Tray tray({}, [&](std::function<void()> body) {
    if (++started == 4) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  });
  std::mutex lock;
  std::vector<std::size_t> finished;
  std::vector<int> last_percent(units.size(), -1);
  tray.Start(units, {.opened = {},
                     .progress =
                         [&](std::size_t i, Step, int p) {
                           std::lock_guard guard(lock);
                           last_percent[i] = p;
                         },
                     .finished =
                         [&](std::size_t i, const TrayResult&) {
                           std::lock_guard guard(lock);
                           finished.push_back(i);
                         }});
  const auto results = tray.Wait();
  ASSERT_EQ(results.size(), 5u);
  EXPECT_EQ(finished.size(), 5u);
  EXPECT_TRUE(results[0].job.verified) << results[0].job.text;
  EXPECT_TRUE(results[2].job.verified) << results[2].job.text;
  EXPECT_EQ(results[1].job.failure, Failure::kRefused);
  EXPECT_EQ(results[1].job.address, 0x3000u);
  EXPECT_EQ(results[3].job.failure, Failure::kCannotStart);
  EXPECT_NE(results[3].job.text.find("cannot start a thread"), std::string::npos);
  EXPECT_EQ(results[4].job.failure, Failure::kNotFound);
  EXPECT_EQ(results[0].identity.flash_size, 1u << 20);
  EXPECT_EQ(last_percent[0], 100);
  for (const char* name : {"a", "c"}) {
    const Bytes flash = devices_.Flash(name);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << name;
  }
  EXPECT_TRUE(AllErased(devices_.Flash("d")));
}

TEST_F(ProgrammingTray, CancelStopsEveryRunningUnit) {
  for (const char* name : {"a", "b"}) {
    VirtualDeviceSetup slow = With({{"command_us", "2000"}});
    slow.trace = false;
    devices_.Create(name, slow);
  }
  Tray tray({});
  std::vector<TrayUnit> units;
  for (const char* name : {"a", "b"}) units.push_back({NameOf(name), ProgramRequest(Pattern(64 * 4096))});
  std::atomic<int> writing{0};
  tray.Start(units, {.opened = {},
                     .progress =
                         [&](std::size_t, Step s, int p) {
                           if (s == Step::kWrite && p == 0) ++writing;
                         },
                     .finished = {}});
  while (writing < 2 && !tray.WaitFor(std::chrono::milliseconds(5))) {
  }
  tray.Cancel();
  for (const auto& result : tray.Wait()) {
    EXPECT_EQ(result.job.failure, Failure::kCancelled) << result.job.text;
    EXPECT_TRUE(result.job.half_written());
  }
}

TEST_F(Programming, TheWatcherReportsArrivalsAndRemovals) {
  devices_.Create("a");
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::pair<UnitChange::Kind, UnitIdentity>> seen;
  std::string error;
  auto watcher = UnitWatcher::Start(
      {},
      [&](const UnitChange& change) {
        std::lock_guard guard(lock);
        seen.emplace_back(change.kind, change.identity);
        changed.notify_all();
      },
      &error);
  ASSERT_TRUE(watcher) << error;
  const auto wait_for = [&](std::size_t n) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(10), [&] { return seen.size() >= n; });
  };
  ASSERT_TRUE(wait_for(1));
  devices_.Create("b");
  ASSERT_TRUE(wait_for(2));
  devices_.Unplug("a");
  ASSERT_TRUE(wait_for(3));
  std::lock_guard guard(lock);
  EXPECT_EQ(seen[0].first, UnitChange::Kind::kArrived);
  EXPECT_EQ(seen[0].second.name.substr(0, 2), "a@");
  EXPECT_EQ(seen[0].second.flash_size, 1u << 20);
  EXPECT_EQ(seen[1].first, UnitChange::Kind::kArrived);
  EXPECT_EQ(seen[1].second.name.substr(0, 2), "b@");
  EXPECT_EQ(seen[2].first, UnitChange::Kind::kRemoved);
  EXPECT_EQ(seen[2].second.name.substr(0, 2), "a@");
  ASSERT_EQ(watcher->Units().size(), 1u);
  EXPECT_EQ(watcher->Units()[0]->name().substr(0, 2), "b@");
}

}  // namespace
}  // namespace velkin::programming
