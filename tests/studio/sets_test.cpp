// Sound sets through the studio's HTTP API, as the page and a script with curl use them: clips in,
// a set file opened and saved, the set built (fitted where it leaves a choice) into an image that
// holds every clip as a region, programmed into a virtual unit; and every bad input named.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "studio_fixture.h"

namespace velkin::test {
namespace {

using nlohmann::json;

class StudioSets : public StudioApi {
 protected:
  // A clip of `seconds` at `rate` with `channels` channels: the tone rises with `n`.
  static std::string Clip(int n, double seconds = 0.4, std::uint32_t rate = 22050, std::uint16_t channels = 1) {
    const auto frames = static_cast<std::size_t>(seconds * rate);
    auto mono = Sine(frames, 220.0 + 70.0 * n, rate, 9000);
    const auto noise = Noise(frames, static_cast<std::uint32_t>(n), 1500);
    std::vector<std::int16_t> samples;
    for (std::size_t i = 0; i < frames; ++i) {
      for (std::uint16_t c = 0; c < channels; ++c) samples.push_back(static_cast<std::int16_t>(mono[i] + noise[i]));
    }
    return Text(SimpleWav(rate, samples, channels));
  }

  static json Set(StudioProcess& studio, const json& settings = {}) {
    const Reply made = studio.Post("/api/sets", R"({"name": "phrases"})", "application/json");
    EXPECT_EQ(made.status, 201) << made.body;
    const std::string path = "/api/sets/" + std::to_string(made.Json()["id"].get<int>());
    if (!settings.empty()) {
      EXPECT_EQ(studio.Post(path, settings.dump(), "application/json").status, 200);
    }
    return made.Json();
  }

  static Reply AddClip(StudioProcess& studio, int set, const std::string& name, const std::string& wav) {
    return studio.Post("/api/sets/" + std::to_string(set) + "/clips?name=" + name, wav, "audio/wav");
  }

  // Starts a build and waits for it; the job's last snapshot.
  static json Build(StudioProcess& studio, int set, const json& body = json::object()) {
    const Reply started = studio.Post("/api/sets/" + std::to_string(set) + "/build", body.dump(), "application/json");
    EXPECT_EQ(started.status, 202) << started.body;
    return studio.WaitJob(started.Json()["job"]["id"].get<std::uint64_t>());
  }

  static json Full(StudioProcess& studio, int set) { return studio.Get("/api/sets/" + std::to_string(set)).Json(); }

  // Settings that leave nothing to fit: one build, quickly.
  const json fixed_ = {{"encoder", "vossik"}, {"rate", 16000}, {"threshold", 0}, {"capacity", 262144}};
};

TEST_F(StudioSets, FiveClipsFittedToAUnitsFlashAreProgrammedAndVerified) {
  CreateUnitWithFlash("a", 256);
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  const std::string unit = studio.WaitDevices([](const json& l) { return l.size() == 1; })[0]["name"];
  // Left to fit, for the unit's flash; sources of several rates, channel counts and lengths.
  const int set = Set(studio, {{"capacity", "unit"}})["id"];
  const std::uint32_t rates[] = {22050, 44100, 16000, 48000, 11025};
  for (int n = 1; n <= 5; ++n) {
    const Reply added = AddClip(studio, set, "clip" + std::to_string(n) + ".wav",
                                Clip(n, 0.2 + 0.05 * n, rates[n - 1], static_cast<std::uint16_t>(1 + n % 2)));
    ASSERT_EQ(added.status, 201) << added.body;
  }
  // The order changed by the page: the last clip first, with a label of its own.
  json full = Full(studio, set);
  json order = json::array();
  order.push_back({{"id", full["clip_list"][4]["id"]}, {"label", 200}, {"pause", 0.1}});
  for (int i = 0; i < 4; ++i) order.push_back({{"id", full["clip_list"][i]["id"]}});
  ASSERT_EQ(studio.Post("/api/sets/" + std::to_string(set), json{{"clips", order}}.dump(), "application/json").status,
            200);

  // Without a unit there is no capacity for "unit".
  const json unitless = Build(studio, set);
  EXPECT_EQ(unitless["state"], "failed");
  EXPECT_NE(unitless["result"].get<std::string>().find("unit"), std::string::npos) << unitless.dump();

  const json job = Build(studio, set, {{"unit", unit}});
  ASSERT_EQ(job["state"], "done") << job.dump();
  full = Full(studio, set);
  const json& build = full["build"];
  EXPECT_TRUE(full["built"].get<bool>());
  ASSERT_TRUE(build["fit"].is_object());
  EXPECT_FALSE(build["fit"]["candidates"].empty());
  EXPECT_EQ(build["fit"]["capacity"], 256u << 10);
  const json& choice = build["fit"]["choice"];
  // The choice is the best score among the candidates that fit.
  for (const auto& c : build["fit"]["candidates"]) {
    if (c["fits"] == true && c.contains("score_db")) {
      EXPECT_LE(c["score_db"], choice["score_db"]) << c.dump();
    }
  }
  EXPECT_FALSE(build["fit"]["why"].get<std::string>().empty());
  const json& report = build["report"];
  EXPECT_EQ(report["settings"]["encoder"], choice["encoder"]);
  EXPECT_EQ(report["settings"]["rate"], choice["rate"]);
  EXPECT_TRUE(report["fits"].get<bool>());
  EXPECT_TRUE(report["checked"].get<bool>());
  ASSERT_EQ(report["clips"].size(), 5u);
  EXPECT_EQ(report["clips"][0]["file"], "clip5.wav");
  EXPECT_EQ(report["clips"][0]["label"], 200);
  EXPECT_EQ(report["clips"][0]["pause"].get<int>(), static_cast<int>(0.1 * report["settings"]["rate"].get<int>()));
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(report["clips"][i]["cue"], i);
    EXPECT_TRUE(report["clips"][i]["check"]["ok"].get<bool>()) << report["clips"][i].dump();
  }
  // Each encoder heard, region by region, whichever the image carries.
  for (const char* key : {"tarpel", "vossik"}) {
    ASSERT_EQ(build["tracks"][key]["regions"].size(), 5u) << key;
    EXPECT_EQ(build["tracks"][key]["regions"][0]["label"], 200);
    EXPECT_EQ(studio.Get("/api/sets/" + std::to_string(set) + "/files/" + key + ".wav").status, 200);
  }

  // The downloads: the image, and the joined WAV with a cue point per clip.
  const Reply image = studio.Get("/api/sets/" + std::to_string(set) + "/files/image.cod");
  ASSERT_EQ(image.status, 200);
  EXPECT_EQ(image.body.size(), report["image_bytes"].get<std::size_t>());
  EXPECT_NE(image.Header("Content-Disposition").find("phrases.cod"), std::string::npos);
  const Reply joined = studio.Get("/api/sets/" + std::to_string(set) + "/files/joined.wav");
  ASSERT_EQ(joined.status, 200);
  EXPECT_EQ(joined.body.compare(0, 4, "RIFF"), 0);
  EXPECT_NE(joined.body.find("cue "), std::string::npos);
  EXPECT_EQ(studio.Get("/api/sets/" + std::to_string(set) + "/files/..%2Fclips").status, 404);

  // Programmed with the program route every unit job uses.
  const Reply started = studio.Post("/api/program", json{{"set", set}, {"units", {unit}}}.dump(), "application/json");
  ASSERT_EQ(started.status, 202) << started.body;
  const json programmed = studio.WaitJob(started.Json()["jobs"][0]["id"].get<std::uint64_t>());
  EXPECT_EQ(programmed["result"], "verified") << programmed.dump();
  EXPECT_EQ(programmed["details"]["set"], set);
  EXPECT_EQ(programmed["details"]["name"], "phrases");
  const auto flash = devices_.Flash("a");
  ASSERT_GE(flash.size(), image.body.size());
  EXPECT_EQ(std::string(flash.begin(), flash.begin() + static_cast<long>(image.body.size())), image.body);

  // A change makes the image another set's: it is not programmed until built again.
  ASSERT_EQ(studio.Post("/api/sets/" + std::to_string(set), R"({"clock": 8000000})", "application/json").status, 200);
  EXPECT_FALSE(Full(studio, set)["built"].get<bool>());
  const Reply stale = studio.Post("/api/program", json{{"set", set}, {"units", {unit}}}.dump(), "application/json");
  EXPECT_EQ(stale.status, 409);
  EXPECT_NE(stale.body.find("changed since it was built"), std::string::npos);
}

TEST_F(StudioSets, ASetFileOpenedWaitsForItsClipsAndIsSavedBackToTheSameSet) {
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  const int set = Set(studio)["id"];
  const std::string text =
      "encoder = \"tarpel\"\nrate = 11025\nthreshold = 32\nclock = 12000000\ncapacity = 131072\n\n"
      "[[clip]]\nfile = \"sounds/hello.wav\"\nlabel = 7\ngain = -3.0\n\n"
      "[[clip]]\nfile = \"bye.wav\"\ntrim = true\npause = 0.25\n";
  const Reply opened =
      studio.Post("/api/sets/" + std::to_string(set) + "/setfile?name=greetings.toml", text, "application/toml");
  ASSERT_EQ(opened.status, 200) << opened.body;
  json full = opened.Json();
  EXPECT_EQ(full["name"], "greetings");
  ASSERT_EQ(full["clip_list"].size(), 2u);
  EXPECT_FALSE(full["clip_list"][0]["audio"].get<bool>());

  // Not built while a clip has no audio, and the clip is named.
  const Reply early = studio.Post("/api/sets/" + std::to_string(set) + "/build", "{}", "application/json");
  EXPECT_EQ(early.status, 409);
  EXPECT_NE(early.body.find("clip 1 (sounds/hello.wav) has no audio yet"), std::string::npos) << early.body;

  // A clip's file fills the clip that names it, rather than adding one.
  ASSERT_EQ(AddClip(studio, set, "bye.wav", Clip(2)).status, 201);
  ASSERT_EQ(AddClip(studio, set, "hello.wav", Clip(1)).status, 201);
  full = Full(studio, set);
  ASSERT_EQ(full["clip_list"].size(), 2u);
  EXPECT_EQ(full["clip_list"][0]["file"], "sounds/hello.wav");
  EXPECT_TRUE(full["clip_list"][0]["audio"].get<bool>());
  EXPECT_EQ(full["clip_list"][0]["info"]["rate"], 22050);
  EXPECT_EQ(
      studio.Get("/api/sets/" + std::to_string(set) + "/clips/" + full["clip_list"][0]["id"].dump() + "/file").body,
      Clip(1));

  const json job = Build(studio, set);
  ASSERT_EQ(job["state"], "done") << job.dump();
  full = Full(studio, set);
  EXPECT_TRUE(full["build"]["fit"].is_null()) << "nothing was left to fit";
  EXPECT_EQ(full["build"]["report"]["settings"],
            json({{"encoder", "tarpel"}, {"rate", 11025}, {"threshold", 32}, {"clock", 12000000}}));
  EXPECT_EQ(full["build"]["report"]["clips"][0]["label"], 7);
  EXPECT_EQ(full["build"]["report"]["clips"][1]["label"], 2);

  // Saved, it is the set file again: read back into a second set, the same set.
  const Reply saved = studio.Get("/api/sets/" + std::to_string(set) + "/setfile");
  ASSERT_EQ(saved.status, 200);
  EXPECT_NE(saved.Header("Content-Disposition").find("greetings.toml"), std::string::npos);
  const int again = Set(studio)["id"];
  const Reply reopened = studio.Post("/api/sets/" + std::to_string(again) + "/setfile?name=greetings.toml", saved.body,
                                     "application/toml");
  ASSERT_EQ(reopened.status, 200) << reopened.body;
  // A saved set names every label, also those that were the clip's position.
  const auto settings_of = [](json f) {
    for (auto& c : f["clip_list"]) {
      c.erase("label");
      c.erase("id");
      c.erase("audio");
      c.erase("info");
    }
    for (const char* k : {"id", "bytes", "revision", "build", "built", "job", "building"}) f.erase(k);
    return f;
  };
  EXPECT_EQ(settings_of(reopened.Json()), settings_of(Full(studio, set)));
}

TEST_F(StudioSets, BadInputIsRefusedWithTheFileAndLineOrTheClipNamed) {
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  const int set = Set(studio, fixed_)["id"];
  const std::string path = "/api/sets/" + std::to_string(set);

  // A set file: the line of the bad value, and nothing of it taken.
  const Reply label = studio.Post(path + "/setfile?name=bad.toml",
                                  "capacity = 4096\n[[clip]]\nfile = \"a.wav\"\nlabel = 300\n", "application/toml");
  EXPECT_EQ(label.status, 400);
  EXPECT_EQ(label.Json()["error"].get<std::string>().rfind("bad.toml:4: ", 0), 0u) << label.body;
  EXPECT_EQ(label.Json()["diagnostics"][0]["line"], 4);
  EXPECT_EQ(studio.Post(path + "/setfile?name=bad.toml", "rate = [", "application/toml").status, 400);
  EXPECT_EQ(Full(studio, set)["capacity"], 262144);
  EXPECT_EQ(studio.Post(path + "/setfile", std::string(70 << 10, '#'), "application/toml").status, 413);

  // A clip that is not a WAV file, or not PCM: named.
  const Reply text = AddClip(studio, set, "notes.wav", "this is text, not sound");
  EXPECT_EQ(text.status, 400);
  EXPECT_EQ(text.Json()["error"].get<std::string>().rfind("notes.wav: ", 0), 0u) << text.body;
  auto adpcm = PcmFmt(8000);
  adpcm[0] = 2;  // format tag 2
  const Reply compressed =
      AddClip(studio, set, "squeezed.wav", Text(Riff({Chunk("fmt ", adpcm), Chunk("data", {1, 2})})));
  EXPECT_EQ(compressed.status, 400) << compressed.body;
  EXPECT_EQ(AddClip(studio, set, "", Clip(1)).status, 400);
  EXPECT_EQ(Full(studio, set)["clip_list"].size(), 0u);

  // A clip that is silence only, named when the set is built.
  ASSERT_EQ(AddClip(studio, set, "quiet.wav", Text(SimpleWav(16000, std::vector<std::int16_t>(8000, 0)))).status, 201);
  const json silent = Build(studio, set);
  EXPECT_EQ(silent["state"], "failed");
  EXPECT_EQ(silent["failure"], "input");
  EXPECT_NE(silent["result"].get<std::string>().find("quiet.wav"), std::string::npos) << silent.dump();
  const json quiet_id = Full(studio, set)["clip_list"][0]["id"];
  EXPECT_EQ(studio.Delete(path + "/clips/" + quiet_id.dump()).status, 200);
  EXPECT_EQ(studio.Delete(path + "/clips/" + quiet_id.dump()).status, 404);

  // Thirty-two clips at most: the 33rd would carry cue index 0 again.
  const std::string clip = Clip(3, 0.05, 8000);
  for (int n = 0; n < 32; ++n) ASSERT_EQ(AddClip(studio, set, "c" + std::to_string(n) + ".wav", clip).status, 201);
  const Reply over = AddClip(studio, set, "c32.wav", clip);
  EXPECT_EQ(over.status, 409);
  EXPECT_NE(over.body.find("32 clips"), std::string::npos) << over.body;

  // Edits: all or nothing, the clip named.
  json clips = json::array();
  const json listed = Full(studio, set)["clip_list"];
  for (const auto& c : listed) clips.push_back({{"id", c["id"]}});
  json bad = clips;
  bad[2]["label"] = 256;
  const Reply high = studio.Post(path, json{{"clips", bad}, {"clock", 8000000}}.dump(), "application/json");
  EXPECT_EQ(high.status, 400);
  EXPECT_NE(high.Json()["error"].get<std::string>().find("clip 3 (c2.wav): label 256 is over 255"), std::string::npos)
      << high.body;
  EXPECT_EQ(Full(studio, set)["clock"], 12000000);
  json dropped = clips;
  dropped.erase(dropped.size() - 1);
  EXPECT_EQ(studio.Post(path, json{{"clips", dropped}}.dump(), "application/json").status, 400);
  json twice = clips;
  twice[1] = twice[0];
  EXPECT_EQ(studio.Post(path, json{{"clips", twice}}.dump(), "application/json").status, 400);
  for (const char* body : {R"({"rate": 12345})", R"({"encoder": "mp3"})", R"({"capacity": 0})", R"({"colour": 1})",
                           R"({"threshold": -1})", "[]", "{"}) {
    EXPECT_EQ(studio.Post(path, body, "application/json").status, 400) << body;
  }
  // Two clips with one label are allowed, and said.
  json same = clips;
  same[0]["label"] = 99;
  same[1]["label"] = 99;
  ASSERT_EQ(studio.Post(path, json{{"clips", same}}.dump(), "application/json").status, 200);
  const json warnings = Full(studio, set)["diagnostics"];
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0]["severity"], "warning");

  EXPECT_EQ(studio.Get("/api/sets/99").status, 404);
  EXPECT_EQ(studio.Post("/api/sets/99/build", "{}", "application/json").status, 404);
  EXPECT_EQ(studio.Post("/api/program", R"({"set": 99})", "application/json").status, 404);
  EXPECT_EQ(studio.Post("/api/program", json{{"set", set}}.dump(), "application/json").status, 409);
}

TEST_F(StudioSets, WhenNothingFitsTheBuildSaysHowMuchMustGoAndAnImageTooLargeForAUnitIsRefused) {
  CreateUnitWithFlash("small", 64);
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  const std::string unit = studio.WaitDevices([](const json& l) { return l.size() == 1; })[0]["name"];
  const int set = Set(studio, {{"encoder", "tarpel"}, {"rate", 16000}, {"threshold", 0}, {"capacity", 20000}})["id"];
  ASSERT_EQ(AddClip(studio, set, "long.wav", Clip(1, 4.0, 16000)).status, 201);

  const json job = Build(studio, set);
  EXPECT_EQ(job["state"], "failed");
  const json build = Full(studio, set)["build"];
  EXPECT_EQ(build["failure"], "does_not_fit");
  EXPECT_GT(build["report"]["image_bytes"].get<int>(), 20000);
  EXPECT_FALSE(Full(studio, set)["built"].get<bool>());

  // Left to fit: every candidate tried is too large, and the fit says by how much.
  ASSERT_EQ(studio.Post("/api/sets/" + std::to_string(set), R"({"rate": "auto", "capacity": 2000})", "application/json")
                .status,
            200);
  Build(studio, set);
  const json fit = Full(studio, set)["build"]["fit"];
  ASSERT_TRUE(fit.is_object());
  EXPECT_TRUE(fit["chosen"].is_null());
  EXPECT_GT(fit["bytes_over"].get<int>(), 0);
  EXPECT_GT(fit["seconds_over"].get<double>(), 0.0);

  // Built for a larger capacity than the unit has: refused before any job, nothing erased.
  ASSERT_EQ(
      studio.Post("/api/sets/" + std::to_string(set), R"({"rate": 16000, "capacity": 1000000})", "application/json")
          .status,
      200);
  ASSERT_EQ(Build(studio, set)["state"], "done");
  const Reply refused = studio.Post("/api/program", json{{"set", set}, {"units", {unit}}}.dump(), "application/json");
  EXPECT_EQ(refused.status, 409) << refused.body;
  EXPECT_EQ(refused.Json()["refused"][0]["error"].get<std::string>().find("does not fit the flash (65536 bytes)") !=
                std::string::npos,
            true)
      << refused.body;
  const auto flash = devices_.Flash("small");
  EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(StudioSets, ABuildCancelledEndsCancelledAndTheSetCanChangeAgain) {
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  // Left to fit: dozens of candidates, so the cancel comes while it runs.
  const int set = Set(studio, {{"capacity", 262144}})["id"];
  for (int n = 0; n < 6; ++n)
    ASSERT_EQ(AddClip(studio, set, "c" + std::to_string(n) + ".wav", Clip(n, 1.0)).status, 201);
  const Reply started = studio.Post("/api/sets/" + std::to_string(set) + "/build", "{}", "application/json");
  ASSERT_EQ(started.status, 202);
  const auto id = started.Json()["job"]["id"].get<std::uint64_t>();
  // The set does not change under a build.
  EXPECT_EQ(studio.Post("/api/sets/" + std::to_string(set), R"({"clock": 8000000})", "application/json").status, 409);
  EXPECT_EQ(studio.Post("/api/sets/" + std::to_string(set) + "/build", "{}", "application/json").status, 409);
  EXPECT_EQ(studio.Post("/api/jobs/" + std::to_string(id) + "/cancel", "{}", "application/json").status, 202);
  const json job = studio.WaitJob(id);
  EXPECT_EQ(job["state"], "failed");
  EXPECT_EQ(job["failure"], "cancelled") << job.dump();
  EXPECT_EQ(studio.Post("/api/sets/" + std::to_string(set), R"({"clock": 8000000})", "application/json").status, 200);
  EXPECT_EQ(studio.Post("/api/jobs/999/cancel", "{}", "application/json").status, 404);
  EXPECT_EQ(studio.Delete("/api/sets/" + std::to_string(set)).status, 200);
  EXPECT_EQ(studio.Get("/api/sets").Json(), json::array());
}

}  // namespace
}  // namespace velkin::test
