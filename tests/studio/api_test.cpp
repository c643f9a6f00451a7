// The studio's HTTP API against virtual devices: encoding as the console does it, programming one
// unit and a tray with a faulty unit, a unit pulled mid-way, hostile files and foreign requests.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "studio_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"

namespace velkin::test {
namespace {

using nlohmann::json;

std::vector<std::int16_t> Interleave(const std::vector<std::int16_t>& left, const std::vector<std::int16_t>& right) {
  std::vector<std::int16_t> out;
  for (std::size_t i = 0; i < left.size(); ++i) {
    out.push_back(left[i]);
    out.push_back(right[i]);
  }
  return out;
}

// Whether only the current user may open `folder`: mode 0700 on POSIX; on Windows an access list
// whose every entry is that user or the system itself (the studio asks for the user alone; Wine
// keeps no access lists and reports those two entries for every folder, so there this check
// cannot tell, while on Windows it turns away the Administrators and Users entries a folder
// would inherit from the temporary folder).
bool OwnerOnly(const std::filesystem::path& folder) {
#ifdef _WIN32
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.wstring().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  unsigned char user[256];
  DWORD size = sizeof user;
  HANDLE token = nullptr;
  bool only_user = dacl != nullptr && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                   GetTokenInformation(token, TokenUser, user, size, &size);
  if (token != nullptr) CloseHandle(token);
  unsigned char system[SECURITY_MAX_SID_SIZE];
  DWORD system_size = sizeof system;
  only_user = only_user && CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size);
  for (DWORD i = 0; only_user && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    only_user = GetAce(dacl, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE;
    if (!only_user) break;
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    only_user = EqualSid(sid, reinterpret_cast<TOKEN_USER*>(user)->User.Sid) || EqualSid(sid, system);
  }
  LocalFree(descriptor);
  return only_user;
#else
  using std::filesystem::perms;
  const perms p = std::filesystem::status(folder).permissions();
  return (p & perms::owner_all) == perms::owner_all && (p & (perms::group_all | perms::others_all)) == perms::none;
#endif
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

TEST_F(StudioApi, EncodesAsTheConsoleDoesAndLeavesNoWorkFolder) {
  // Stereo at 22050 Hz with the channels in opposite phase: the studio keeps the first channel with
  // the console's MONO, then resamples it with the console's WAVCONV. (Resampling first, as WAVCONV
  // with a mono name does, would run the converter over the interleaved stream and cancel the
  // channels against each other.)
  auto left = Speechlike(22050, 22050);
  std::vector<std::int16_t> right(left.size());
  std::transform(left.begin(), left.end(), right.begin(), [](std::int16_t s) { return static_cast<std::int16_t>(-s); });
  const auto source = SimpleWav(22050, Interleave(left, right), 2);
  WriteFileBytes(files_.File("src.wav"), source);

  json sound;
  std::string tarpel, vossik;
  std::filesystem::path temp;
  {
    StudioProcess studio;
    ASSERT_TRUE(studio.started());
    temp = studio.temp();
    sound = studio.AddSound(source);
    ASSERT_EQ(sound.value("state", ""), "ready") << sound.dump();
    const std::string id = std::to_string(sound["id"].get<int>());
    tarpel = studio.Get("/api/sounds/" + id + "/files/tarpel.cod").body;
    vossik = studio.Get("/api/sounds/" + id + "/files/vossik.cod").body;
    // The prepared source keeps the first channel's loudness.
    const std::string reference = studio.Get("/api/sounds/" + id + "/files/reference.wav").body;
    const auto peak = [](const std::vector<std::int16_t>& s, std::size_t from, std::size_t step) {
      int p = 0;
      for (std::size_t i = from; i < s.size(); i += step) p = std::max(p, std::abs(static_cast<int>(s[i])));
      return p;
    };
    std::vector<std::int16_t> prepared((reference.size() - 44) / 2);
    std::memcpy(prepared.data(), reference.data() + 44, prepared.size() * 2);
    EXPECT_GT(peak(prepared, 0, 1), peak(left, 0, 1) * 8 / 10);
    const Reply picture = studio.Get("/api/sounds/" + id + "/spectrogram/vossik");
    EXPECT_EQ(picture.status, 200);
    EXPECT_GT(picture.body.size(), 1000u);
    EXPECT_NE(std::count(picture.body.begin(), picture.body.end(), '\0'), static_cast<long>(picture.body.size()));
    // The work folder exists while the studio runs, holds the sound and is its user's alone.
    EXPECT_FALSE(std::filesystem::is_empty(temp));
    for (const auto& entry : std::filesystem::directory_iterator(temp)) {
      EXPECT_TRUE(OwnerOnly(entry.path())) << entry.path();
    }
    EXPECT_EQ(studio.Shutdown(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(temp)) << "the work folder was left behind";
  }

  EXPECT_EQ(sound["source"]["channels"], 2);
  EXPECT_EQ(sound["source"]["rate"], 22050);
  EXPECT_NEAR(sound["samples"].get<double>(), 16000, 2);
  const auto& t = sound["encodings"]["tarpel"];
  const auto& v = sound["encodings"]["vossik"];
  EXPECT_EQ(t["bytes"].get<std::size_t>(), tarpel.size());
  EXPECT_EQ(v["bytes"].get<std::size_t>(), vossik.size());
  EXPECT_NEAR(t["bits_per_sample"].get<double>(), 12.0, 0.5);
  EXPECT_NEAR(v["bits_per_sample"].get<double>(), 4.3, 0.5);
  EXPECT_GT(t["snr"].get<double>(), v["snr"].get<double>());
  EXPECT_GT(v["snr"].get<double>(), 10.0);
  EXPECT_GT(v["segmental_snr"].get<double>(), 10.0);
  EXPECT_GE(t["encode_ms"].get<double>(), 0.0);

  auto console = ChildProcess::Start(ProgramPath("VelkinUtils"), {"QUAMIRA", "VOXA CDROM"});
  ASSERT_TRUE(console);
  ASSERT_TRUE(console->ReadUntilPrompt());
  const auto q = [&](const std::string& name) {
    std::string quoted = "\"";
    quoted += files_.File(name);
    return quoted += '"';
  };
  ASSERT_TRUE(console->Command("MONO " + q("src.wav") + " " + q("mono.wav")));
  ASSERT_TRUE(console->Command("WAVCONV " + q("mono.wav") + " " + q("rs.wav")));
  ASSERT_TRUE(console->Command("TARPEL " + q("rs.wav") + " " + q("out.tpl")));
  ASSERT_TRUE(console->Command("VOSSIK " + q("rs.wav") + " " + q("out.vsk")));
  console->WriteLine("QUIT");
  console->Wait();
  EXPECT_EQ(Bytes(tarpel), ReadFileBytes(files_.File("out.tpl")));
  EXPECT_EQ(Bytes(vossik), ReadFileBytes(files_.File("out.vsk")));
}

TEST_F(StudioApi, ShowsMarkersAndSilencesOfTheCodeStream) {
  // 16 kHz mono, loud - silent - loud, with two cue points: nothing to resample.
  auto samples = Speechlike(8000, 16000);
  samples.insert(samples.end(), 8000, 0);
  const auto tail = Speechlike(8000, 16000);
  samples.insert(samples.end(), tail.begin(), tail.end());
  const auto wav = Riff({PcmFmt(16000), Chunk("cue ", CueBody({0, 16000})), Chunk("data", SampleBytes(samples))});
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  const json sound = studio.AddSound(wav, "&threshold=64");
  ASSERT_EQ(sound.value("state", ""), "ready") << sound.dump();
  EXPECT_EQ(sound["settings"]["threshold"], 64);
  for (const char* name : {"tarpel", "vossik"}) {
    const auto& e = sound["encodings"][name];
    EXPECT_FALSE(e["marks"].empty()) << name;
    ASSERT_FALSE(e["silences"].empty()) << name;
    // The silence lies in the quiet middle.
    const auto at = e["silences"][0][0].get<std::uint64_t>();
    EXPECT_GE(at, 7000u) << name;
    EXPECT_LE(at + e["silences"][0][1].get<std::uint64_t>(), 17000u) << name;
  }
  EXPECT_EQ(studio.Post("/api/sounds/1/encode?rate=abc", "", "application/json").status, 400);
  EXPECT_EQ(studio.Post("/api/sounds/1/encode?clock=12", "", "application/json").status, 400);
}

TEST_F(StudioApi, RefusesBadAndHostileFilesWithAReason) {
  StudioProcess studio({"--max-upload", "200000"});
  ASSERT_TRUE(studio.started());
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"not a WAV file", Bytes("hello, this is text and not sound at all"), "not a WAV file"},
      {"12-bit samples", Riff({Chunk("fmt ", FmtBody(1, 1, 8000, 12)), Chunk("data", ByteVector(800, 0x80))}),
       "12-bit PCM samples are not supported"},
      {"no data chunk", Riff({PcmFmt(16000)}), "no data chunk"},
      {"no channels", Riff({Chunk("fmt ", FmtBody(1, 0, 16000, 16)), Chunk("data", ByteVector(64, 1))}), "no channels"},
      {"data claims 4 GiB", Riff({PcmFmt(16000), ChunkWithSize("data", 0xFFFFFFF0u, ByteVector(64, 1))}), ""},
      {"compressed", Riff({Chunk("fmt ", FmtBody(2, 1, 16000, 4)), Chunk("data", ByteVector(64, 1))}), "not PCM"},
  };
  for (const auto& c : cases) {
    const json sound = studio.AddSound(c.bytes);
    ASSERT_TRUE(sound.is_object()) << c.what;
    if (*c.reason == '\0') {
      EXPECT_NE(sound.value("state", ""), "encoding") << c.what;
      continue;
    }
    EXPECT_EQ(sound.value("state", ""), "failed") << c.what;
    EXPECT_NE(sound.value("error", "").find(c.reason), std::string::npos) << c.what << ": " << sound.dump();
  }
  EXPECT_EQ(studio.Post("/api/sounds", "", "audio/wav").status, 400);
  EXPECT_EQ(studio.Post("/api/sounds", std::string(300000, 'x'), "audio/wav").status, 413);
  // Still serving after all that.
  EXPECT_EQ(studio.Get("/api/info").status, 200);
}

TEST_F(StudioApi, RefusesForeignHostsOriginsAndPathsOutsideItsFolder) {
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  const std::string own = "127.0.0.1:" + std::to_string(studio.port());
  EXPECT_EQ(studio.Get("/api/info", {{"Host", "attacker.example:" + std::to_string(studio.port())}}).status, 403);
  EXPECT_EQ(studio.Get("/", {{"Host", "attacker.example"}}).status, 403);
  EXPECT_EQ(studio.Post("/api/shutdown", "", "application/json", {{"Origin", "http://attacker.example"}}).status, 403);
  EXPECT_EQ(studio.Get("/api/info", {{"Origin", "http://" + own}}).status, 200);
  EXPECT_EQ(studio.Get("/api/info", {{"Host", "localhost:" + std::to_string(studio.port())}}).status, 200);
  EXPECT_EQ(studio.Get("/").status, 200);

  const json sound = studio.AddSound(SimpleWav(16000, Speechlike(4000, 16000)));
  ASSERT_EQ(sound.value("state", ""), "ready");
  for (const std::string path : {"/api/sounds/1/files/..%2F..%2F..%2Fetc%2Fpasswd", "/api/sounds/1/files/..",
                                 "/api/sounds/1/files/%2Fetc%2Fpasswd", "/../../../../etc/passwd",
                                 "/api/sounds/..%2F1/files/tarpel.cod", "/api/sounds/1/files/source.wav%00.cod",
                                 "/%2e%2e/%2e%2e/etc/passwd", "/api/sounds/1/spectrogram/..%2Fsource"}) {
    const Reply reply = studio.Get(path);
    EXPECT_TRUE(reply.status == 404 || reply.status == 400) << path << " gave " << reply.status;
    EXPECT_EQ(reply.body.find("root:"), std::string::npos) << path;
  }
}

TEST_F(StudioApi, TakesFilesFromItsCommandLineAndPrintsOnlyItsAddress) {
  // Stereo, so that the mono routine (which prints its own lines) runs too.
  WriteFileBytes(files_.File("a.wav"), SimpleWav(8000, Interleave(Speechlike(8000, 8000), Speechlike(8000, 8000)), 2));
  StudioProcess studio({files_.File("a.wav"), files_.File("missing.wav")});
  ASSERT_TRUE(studio.started());
  const json list = studio.Get("/api/sounds").Json();
  ASSERT_EQ(list.size(), 1u) << list.dump();
  EXPECT_EQ(list[0]["name"], "a.wav");
  const json job = studio.WaitJob(1);
  EXPECT_EQ(job["result"], "encoded") << job.dump();
  EXPECT_EQ(studio.Shutdown(), 0);
  EXPECT_EQ(studio.LaterOutput(), std::vector<std::string>{});
}

TEST_F(StudioApi, ATakenPortIsNotShared) {
  StudioProcess first;
  ASSERT_TRUE(first.started());
  // Asked for the same port, a second studio says so and ends rather than sharing it.
  auto second = ChildProcess::Start(ProgramPath("velkin-studio"), {"--port", std::to_string(first.port())});
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Wait(std::chrono::seconds(10)), 1);
  EXPECT_TRUE(second->ReadAllLines(std::chrono::seconds(1)).empty());
  EXPECT_EQ(first.Get("/api/info").status, 200);
}

TEST_F(StudioProgram, ProgramsOneUnitAndVerifiesItByReadingBack) {
  devices_.Create("a");
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  const json sound = Encoded(studio);
  ASSERT_EQ(sound.value("state", ""), "ready");
  const json list = studio.WaitDevices([](const json& l) { return l.size() == 1; });
  const json unit = UnitOf(list, "a");
  ASSERT_TRUE(unit.is_object()) << list.dump();
  EXPECT_EQ(unit["flash_size"], 1 << 20);
  EXPECT_EQ(unit["flash_id"], "202014");
  EXPECT_EQ(unit["hub"], 1);

  const std::string record = "00112233445566778899aabbccddeeff";
  const json body = {{"sound", 1}, {"encoding", "tarpel"}, {"units", {unit["name"]}}, {"record", record}};
  EventStream events(studio.port());
  const Reply started = studio.Post("/api/program", body.dump(), "application/json");
  ASSERT_EQ(started.status, 202) << started.body;
  const std::uint64_t id = started.Json()["jobs"][0]["id"].get<std::uint64_t>();
  const json job = studio.WaitJob(id);
  EXPECT_EQ(job["state"], "done") << job.dump();
  EXPECT_EQ(job["result"], "verified") << job.dump();
  EXPECT_EQ(job["progress"], 100);

  // The same job as a script following the event stream sees it: its steps in order, each with
  // progress that never goes back, and the result last.
  const auto seen = events.ReadUntil([&](const EventStream::Event& e) {
    return e.type == "job" && e.data.value("id", 0u) == id && e.data.value("state", "") != "running";
  });
  std::vector<std::string> steps;
  int progress = 0;
  for (const auto& e : seen) {
    if (e.type != "job" || e.data.value("id", 0u) != id) continue;
    const std::string step = e.data.value("step", "");
    if (steps.empty() || steps.back() != step) {
      steps.push_back(step);
      progress = 0;
    }
    EXPECT_GE(e.data.value("progress", -1), progress) << e.data.dump();
    progress = e.data.value("progress", -1);
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().data["result"], "verified");
  EXPECT_EQ(progress, 100);
  EXPECT_EQ(steps, (std::vector<std::string>{"erase", "write", "eeprom", "verify"}));

  const std::string code = studio.Get("/api/sounds/1/files/tarpel.cod").body;
  EXPECT_EQ(Prefix(devices_.Flash("a"), code.size()), Bytes(code));
  const auto eeprom = devices_.Eeprom("a");
  EXPECT_EQ(HexBytes({eeprom.begin() + 16, eeprom.begin() + 32}), record);
  EXPECT_EQ(UnitOf(studio.Get("/api/devices").Json(), "a")["eeprom_record"], "00112233445566778899AABBCCDDEEFF");

  // The record alone, as a job of its own.
  const Reply written = studio.Post("/api/devices/" + unit["name"].get<std::string>() + "/eeprom",
                                    json{{"record", std::string(32, 'A')}}.dump(), "application/json");
  ASSERT_EQ(written.status, 202) << written.body;
  const json record_job = studio.WaitJob(written.Json()["job"]["id"].get<std::uint64_t>());
  EXPECT_EQ(record_job["kind"], "eeprom");
  EXPECT_EQ(record_job["result"], "written") << record_job.dump();
  EXPECT_EQ(record_job["details"]["eeprom_record"], std::string(32, 'A'));
  EXPECT_EQ(UnitOf(studio.Get("/api/devices").Json(), "a")["eeprom_record"], std::string(32, 'A'));
  EXPECT_EQ(
      studio
          .Post("/api/devices/" + unit["name"].get<std::string>() + "/eeprom", R"({"record":"12"})", "application/json")
          .status,
      400);
}

TEST_F(StudioProgram, ATrayOfThreeUnitsWithOneRefusingAWrite) {
  for (const char* name : {"a", "b", "c"}) devices_.Create(name);
  devices_.Set("b", "refuse_write_at", "0x2000");
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  ASSERT_EQ(Encoded(studio).value("state", ""), "ready");
  studio.WaitDevices([](const json& l) { return l.size() == 3; });

  const Reply started = studio.Post("/api/program", json{{"sound", 1}, {"encoding", "tarpel"}, {"units", "all"}}.dump(),
                                    "application/json");
  ASSERT_EQ(started.status, 202) << started.body;
  std::map<std::string, json> results;
  const json jobs = started.Json()["jobs"];
  for (const auto& j : jobs) {
    const json job = studio.WaitJob(j["id"].get<std::uint64_t>());
    results[job["subject"].get<std::string>().substr(0, 1)] = job;
  }
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results["a"]["result"], "verified");
  EXPECT_EQ(results["c"]["result"], "verified");
  EXPECT_EQ(results["b"]["state"], "failed");
  EXPECT_NE(results["b"]["result"].get<std::string>().find("refused write at address 0x002000"), std::string::npos)
      << results["b"].dump();
  const std::string code = studio.Get("/api/sounds/1/files/tarpel.cod").body;
  EXPECT_EQ(Prefix(devices_.Flash("a"), code.size()), Bytes(code));
  EXPECT_EQ(Prefix(devices_.Flash("c"), code.size()), Bytes(code));
}

TEST_F(StudioProgram, SaysWhichStepFailedAndKeepsOneJobPerUnit) {
  for (const char* name : {"reads", "eeprom", "slow"}) devices_.Create(name);
  devices_.Set("reads", "check", "read");      // every read-back refused
  devices_.Set("eeprom", "eeprom_fail", "1");  // the EEPROM write ends without its mark
  devices_.Set("slow", "eeprom_busy", "60");   // about 0.6 s of busy replies
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  ASSERT_EQ(Encoded(studio, 1.0).value("state", ""), "ready");
  studio.WaitDevices([](const json& l) { return l.size() == 3; });

  const json request = {{"sound", 1}, {"encoding", "vossik"}, {"units", "all"}, {"record", std::string(32, '5')}};
  const Reply started = studio.Post("/api/program", request.dump(), "application/json");
  ASSERT_EQ(started.status, 202) << started.body;
  // While the slow unit waits for its EEPROM, it takes no second job; the page's list says busy.
  const json slow = UnitOf(studio.Get("/api/devices").Json(), "slow");
  EXPECT_EQ(slow["busy"], true);
  const Reply again =
      studio.Post("/api/program", json{{"sound", 1}, {"units", {slow["name"]}}}.dump(), "application/json");
  EXPECT_EQ(again.status, 409) << again.body;
  EXPECT_EQ(again.Json()["refused"][0]["unit"], slow["name"]);

  std::map<std::string, json> results;
  const json jobs = started.Json()["jobs"];
  for (const auto& j : jobs) {
    const json job = studio.WaitJob(j["id"].get<std::uint64_t>());
    const std::string subject = job["subject"];
    results[subject.substr(0, subject.find('@'))] = job;
  }
  EXPECT_EQ(results["reads"]["state"], "failed");
  EXPECT_EQ(results["reads"]["result"].get<std::string>().rfind("read-back failed at address 0x000000", 0), 0u)
      << results["reads"].dump();
  EXPECT_EQ(results["eeprom"]["state"], "failed");
  EXPECT_EQ(results["eeprom"]["result"].get<std::string>().rfind("EEPROM record", 0), 0u) << results["eeprom"].dump();
  EXPECT_EQ(results["slow"]["result"], "verified") << results["slow"].dump();
  EXPECT_GT(results["slow"]["times_ms"]["eeprom"].get<double>(), 300.0);
}

TEST_F(StudioProgram, AUnitPulledWhileProgrammingIsNeverVerified) {
  devices_.Create("a");
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  ASSERT_EQ(Encoded(studio, 10.0).value("state", ""), "ready");
  const json list = studio.WaitDevices([](const json& l) { return l.size() == 1; });
  // Gone after the erase and a few blocks of the write.
  devices_.Set("a", "unplug_after", "40");
  const Reply started =
      studio.Post("/api/program", json{{"sound", 1}, {"encoding", "tarpel"}, {"units", {list[0]["name"]}}}.dump(),
                  "application/json");
  ASSERT_EQ(started.status, 202) << started.body;
  const json job = studio.WaitJob(started.Json()["jobs"][0]["id"].get<std::uint64_t>());
  EXPECT_EQ(job["state"], "failed") << job.dump();
  EXPECT_NE(job["result"], "verified");
  EXPECT_NE(job["result"].get<std::string>().find("unit pulled"), std::string::npos) << job.dump();
}

TEST_F(StudioProgram, AUnitUnpluggedWhileItsRecordIsWrittenIsNeverVerified) {
  devices_.Create("a");
  devices_.Set("a", "eeprom_busy", "100");  // about a second per EEPROM operation
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  ASSERT_EQ(Encoded(studio, 1.0).value("state", ""), "ready");
  const json list = studio.WaitDevices([](const json& l) { return l.size() == 1; });
  ASSERT_EQ(list.size(), 1u);
  const json request = {{"sound", 1}, {"units", {list[0]["name"]}}, {"record", std::string(32, '7')}};
  const Reply started = studio.Post("/api/program", request.dump(), "application/json");
  ASSERT_EQ(started.status, 202) << started.body;
  const std::string id = std::to_string(started.Json()["jobs"][0]["id"].get<std::uint64_t>());
  json job;
  for (int i = 0; i < 500 && (job = studio.Get("/api/jobs/" + id).Json())["step"] != "eeprom"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(job["step"], "eeprom") << job.dump();
  devices_.Unplug("a");
  job = studio.WaitJob(std::stoull(id));
  EXPECT_EQ(job["state"], "failed") << job.dump();
  EXPECT_EQ(job["result"], "EEPROM record: unit pulled") << job.dump();
  // Its row stays, marked gone, with the job's result.
  const json gone = studio.WaitDevices([](const json& l) { return l.size() == 1 && l[0]["present"] == false; });
  ASSERT_EQ(gone.size(), 1u) << gone.dump();
  EXPECT_EQ(gone[0]["last_job"]["result"], "EEPROM record: unit pulled") << gone.dump();
}

TEST_F(StudioProgram, UnitsAppearAndGoWithoutAsking) {
  devices_.Create("a");
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  studio.WaitDevices([](const json& l) { return l.size() == 1; });
  EventStream events(studio.port());
  devices_.Create("b");
  // The arrival comes as an event with the whole new list, as the page gets it.
  const auto seen =
      events.ReadUntil([](const EventStream::Event& e) { return e.type == "devices" && e.data.size() == 2; });
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(UnitOf(seen.back().data, "b").is_object()) << seen.back().data.dump();
  const json two = studio.WaitDevices([](const json& l) { return l.size() == 2; });
  ASSERT_EQ(two.size(), 2u) << two.dump();
  devices_.Unplug("a");
  const json one = studio.WaitDevices([](const json& l) { return l.size() == 1; });
  ASSERT_EQ(one.size(), 1u) << one.dump();
  EXPECT_TRUE(UnitOf(one, "b").is_object());
  // Requests that make no sense are answered, not obeyed.
  EXPECT_EQ(studio.Post("/api/program", json{{"sound", 99}, {"units", "all"}}.dump(), "application/json").status, 404);
  EXPECT_EQ(studio.Post("/api/program", "{\"sound\": 1,", "application/json").status, 400);
  EXPECT_EQ(studio.Post("/api/program", "[1, 2]", "application/json").status, 400);
  EXPECT_EQ(studio.Post("/api/program", json{{"sound", "1"}}.dump(), "application/json").status, 404);
  const json sound = Encoded(studio, 0.5);
  ASSERT_EQ(sound.value("state", ""), "ready");
  for (const json& bad :
       {json{{"sound", 1}, {"encoding", 5}}, json{{"sound", 1}, {"encoding", "mp3"}}, json{{"sound", 1}, {"units", 7}},
        json{{"sound", 1}, {"units", {"nobody"}}}, json{{"sound", 1}, {"record", "xyz"}}}) {
    const Reply reply = studio.Post("/api/program", bad.dump(), "application/json");
    EXPECT_TRUE(reply.status == 400 || reply.status == 404) << bad.dump() << " gave " << reply.status;
    EXPECT_TRUE(reply.Json().contains("error")) << reply.body;
  }
  EXPECT_EQ(studio.Post("/api/devices/nobody/eeprom", R"({"record":"00"})", "application/json").status, 404);
  // A studio that stops ends its open event streams rather than waiting for their clients.
  EXPECT_EQ(studio.Shutdown(), 0);
  EXPECT_TRUE(events.EndsWithin(std::chrono::seconds(10)));
}

}  // namespace
}  // namespace velkin::test
