// The studio's sounds as a user meets them: every PCM and float WAV taken, a short file said so,
// cue points carried across a rate change, names told apart, renamed, removed and used for the
// downloads, and an encode that reports every step up to its figures.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "studio_fixture.h"

namespace velkin::test {
namespace {

using nlohmann::json;

// `samples` (16-bit values) as the sample bytes of another format that holds them exactly.
ByteVector Widened(const std::vector<std::int16_t>& samples, int bits, bool floating) {
  ByteVector out;
  for (const std::int16_t s : samples) {
    if (floating) {
      PutU32(out, std::bit_cast<std::uint32_t>(static_cast<float>(s) / 32768.0f));
    } else if (bits == 24) {
      const auto v = static_cast<std::uint32_t>(static_cast<std::int32_t>(s) * 256);
      PutU8(out, static_cast<std::uint8_t>(v));
      PutU8(out, static_cast<std::uint8_t>(v >> 8));
      PutU8(out, static_cast<std::uint8_t>(v >> 16));
    } else {
      PutU32(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(s) * 65536));
    }
  }
  return out;
}

std::string IdOf(const json& sound) {
  return std::to_string(sound["id"].get<int>());
}

TEST_F(StudioApi, EveryPcmAndFloatWaveIsPreparedAndAShortFileIsSaidSo) {
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  const auto samples = Speechlike(8000, 16000);
  const json plain = studio.AddSound(SimpleWav(16000, samples));
  ASSERT_EQ(plain.value("state", ""), "ready") << plain.dump();
  const std::string expected = studio.Get("/api/sounds/" + IdOf(plain) + "/files/vossik.cod").body;
  ASSERT_FALSE(expected.empty());

  // The same samples in wider containers: once prepared, the encoders get exactly the 16-bit file.
  struct Case {
    const char* what;
    ByteVector format;
    ByteVector data;
  };
  const std::vector<Case> same = {
      {"24-bit PCM", Chunk("fmt ", FmtBody(1, 1, 16000, 24)), Widened(samples, 24, false)},
      {"32-bit PCM (extensible)", Chunk("fmt ", ExtensibleFmtBody(1, 1, 16000, 32, 32)), Widened(samples, 32, false)},
      {"32-bit float", Chunk("fmt ", FmtBody(3, 1, 16000, 32)), Widened(samples, 32, true)},
      {"32-bit float (extensible)", Chunk("fmt ", ExtensibleFmtBody(3, 1, 16000, 32, 32)), Widened(samples, 32, true)},
  };
  for (const auto& c : same) {
    const json sound = studio.AddSound(Riff({c.format, Chunk("data", c.data)}));
    ASSERT_EQ(sound.value("state", ""), "ready") << c.what << ": " << sound.dump();
    EXPECT_EQ(sound["source"]["format"], c.what);
    EXPECT_EQ(studio.Get("/api/sounds/" + IdOf(sound) + "/files/vossik.cod").body, expected) << c.what;
    EXPECT_TRUE(sound["notes"].empty()) << sound.dump();
  }

  // 8-bit and 24-bit stereo at 44.1 kHz: the first channel at the target rate.
  ByteVector stereo24;
  const auto wide = Speechlike(44100, 44100);
  for (const std::int16_t s : wide) {
    const ByteVector frame = Widened({s, static_cast<std::int16_t>(-s)}, 24, false);
    stereo24.insert(stereo24.end(), frame.begin(), frame.end());
  }
  const json stereo = studio.AddSound(Riff({PcmFmt(44100, 2, 24), Chunk("data", stereo24)}));
  ASSERT_EQ(stereo.value("state", ""), "ready") << stereo.dump();
  EXPECT_EQ(stereo["samples"], 16000);
  EXPECT_GT(stereo["encodings"]["vossik"]["snr"].get<double>(), 10.0);
  const json eight = studio.AddSound(Riff({PcmFmt(8000, 1, 8), Chunk("data", ByteVector(8000, 0x90))}));
  EXPECT_EQ(eight.value("state", ""), "ready") << eight.dump();

  // A data chunk that declares 1.26 s and holds 0.15 s is taken as far as it goes, and said so.
  const ByteVector held = SampleBytes(Speechlike(2400, 16000));
  const json truncated = studio.AddSound(Riff({PcmFmt(16000), ChunkWithSize("data", 16000 * 2 * 126 / 100, held)}));
  ASSERT_EQ(truncated.value("state", ""), "ready") << truncated.dump();
  EXPECT_EQ(truncated["source"]["truncated"], true);
  EXPECT_EQ(truncated["samples"], 2400);
  EXPECT_EQ(truncated["notes"], json::array({"the file ends after 0.15 s of its 1.26 s"}));
}

TEST_F(StudioApi, CuePointsAreCarriedAcrossARateChange) {
  // Two seconds at 16 kHz with eight cue points, each with a region length and a numeric label;
  // the last at the very last frame, which has no frame left at 8000 Hz.
  const std::vector<std::uint32_t> positions = {1001, 4000, 8000, 12000, 16000, 20000, 24000, 31999};
  std::vector<ByteVector> adtl;
  for (std::uint32_t i = 0; i < positions.size(); ++i) {
    adtl.push_back(LtxtChunk(i + 1, i == 0 ? 333 : 1000));
    adtl.push_back(LablChunk(i + 1, std::to_string(11 + i)));
  }
  const auto wav = Riff({PcmFmt(16000), Chunk("data", SampleBytes(Speechlike(32000, 16000))),
                         Chunk("cue ", CueBody(positions)), Chunk("LIST", AdtlBody(adtl))});
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  const json first = studio.AddSound(wav);
  ASSERT_EQ(first.value("state", ""), "ready") << first.dump();
  EXPECT_EQ(first["markers"].size(), 8u);
  EXPECT_EQ(first["encodings"]["vossik"]["marks"].size(), 16u);

  const Reply again = studio.Post("/api/sounds/" + IdOf(first) + "/encode?rate=8000", "{}", "application/json");
  ASSERT_EQ(again.status, 202) << again.body;
  studio.WaitJob(again.Json()["job"]["id"].get<std::uint64_t>());
  const json sound = studio.Get("/api/sounds/" + IdOf(first)).Json();
  ASSERT_EQ(sound.value("state", ""), "ready") << sound.dump();
  EXPECT_EQ(sound["encoded_with"]["rate"], 8000);

  // Positions and lengths halved and rounded to the nearest frame, halves away from zero.
  const json& kept = sound["markers"];
  ASSERT_EQ(kept.size(), 7u) << sound.dump();
  EXPECT_EQ(kept[0]["position"], 501);
  EXPECT_EQ(kept[0]["length"], 167);
  EXPECT_EQ(kept[0]["label"], "11");
  for (std::size_t i = 1; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i]["position"], positions[i] / 2);
    EXPECT_EQ(kept[i]["length"], 500);
  }
  // The encoders got them: a start and an end mark for each, where the markers now stand.
  for (const char* name : {"tarpel", "vossik"}) {
    const json& marks = sound["encodings"][name]["marks"];
    ASSERT_EQ(marks.size(), 14u) << name;
    std::vector<std::uint64_t> starts;
    std::vector<int> labels;
    for (const auto& m : marks) {
      if (m["type"] != "start") continue;
      starts.push_back(m["at"].get<std::uint64_t>());
      labels.push_back(m["label"].get<int>());
    }
    // TARPEL marks the very sample; VOSSIK where its block coding lets it, a few samples early.
    const std::vector<std::uint64_t> wanted = {501, 2000, 4000, 6000, 8000, 10000, 12000};
    ASSERT_EQ(starts.size(), wanted.size()) << name;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      EXPECT_LE(starts[i], wanted[i]) << name << " " << i;
      EXPECT_GE(starts[i] + (std::string(name) == "tarpel" ? 0 : 16), wanted[i]) << name << " " << i;
    }
    EXPECT_EQ(labels, (std::vector<int>{11, 12, 13, 14, 15, 16, 17})) << name;
  }
  // The one that could not be kept is named, where it was and why.
  ASSERT_EQ(sound["lost_markers"].size(), 1u);
  EXPECT_EQ(sound["lost_markers"][0]["id"], 8);
  EXPECT_EQ(sound["lost_markers"][0]["position"], 31999);
  ASSERT_EQ(sound["notes"].size(), 1u);
  EXPECT_EQ(sound["notes"][0],
            "marker 8 \"18\" at 2.000 s could not be kept: at 8000 Hz it falls at or after the end of the sound");
}

TEST_F(StudioApi, NamesAreToldApartAndSoundsAreRenamedRemovedAndDownloadedByName) {
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  const auto wav = Text(SimpleWav(16000, Speechlike(1600, 16000)));
  const auto add = [&](const std::string& name, const std::string& bytes) {
    const Reply reply = studio.Post("/api/sounds?name=" + name, bytes, "audio/wav");
    EXPECT_EQ(reply.status, 201) << reply.body;
    const json body = reply.Json();
    studio.WaitJob(body["job"]["id"].get<std::uint64_t>());
    return body["sound"];
  };
  const json first = add("prompt.wav", wav);
  const json second = add("prompt.wav", wav);
  const json third = add("prompt.wav", wav);
  EXPECT_EQ(first["name"], "prompt.wav");
  EXPECT_EQ(second["name"], "prompt.wav (2)");
  EXPECT_EQ(third["name"], "prompt.wav (3)");

  const auto saved_as = [&](const json& sound, const std::string& file) {
    return studio.Get("/api/sounds/" + IdOf(sound) + "/files/" + file).Header("Content-Disposition");
  };
  EXPECT_EQ(saved_as(first, "vossik.cod"), "attachment; filename=\"prompt.vsk\"");
  EXPECT_EQ(saved_as(first, "tarpel.cod"), "attachment; filename=\"prompt.tpl\"");
  EXPECT_EQ(saved_as(first, "vossik.wav"), "attachment; filename=\"prompt-vossik.wav\"");
  EXPECT_EQ(saved_as(first, "source.wav"), "attachment; filename=\"prompt.wav\"");
  EXPECT_EQ(saved_as(second, "vossik.cod"), "attachment; filename=\"prompt (2).vsk\"");

  const auto rename = [&](const json& sound, const json& body) {
    return studio.Post("/api/sounds/" + IdOf(sound) + "/rename", body.dump(), "application/json");
  };
  // A new name is told apart from the others as a new sound's is, and downloads follow it.
  EXPECT_EQ(rename(third, {{"name", "prompt.wav (2)"}}).Json()["name"], "prompt.wav (2) (2)");
  const Reply renamed = rename(second, {{"name", "caf\xC3\xA9\n.WAV"}});
  ASSERT_EQ(renamed.status, 200) << renamed.body;
  EXPECT_EQ(renamed.Json()["name"], "caf\xC3\xA9.WAV");
  EXPECT_EQ(saved_as(second, "tarpel.cod"), "attachment; filename=\"caf_.tpl\"; filename*=UTF-8''caf%C3%A9.tpl");
  EXPECT_EQ(rename(second, {{"name", " \x01 "}}).status, 400);
  EXPECT_EQ(rename(second, {{"title", "x"}}).status, 400);
  EXPECT_EQ(studio.Post("/api/sounds/99/rename", json{{"name", "x"}}.dump(), "application/json").status, 404);

  // A file that failed is named, renamed and removed like any other.
  const json failed = add("prompt.wav", "this is text, not sound");
  EXPECT_EQ(studio.Get("/api/sounds/" + IdOf(failed)).Json()["state"], "failed");
  EXPECT_EQ(failed["name"], "prompt.wav (2)");
  EXPECT_EQ(rename(failed, {{"name", "notes.txt"}}).Json()["name"], "notes.txt");
  EXPECT_EQ(studio.Delete("/api/sounds/" + IdOf(failed)).status, 200);
  EXPECT_EQ(studio.Get("/api/sounds").Json().size(), 3u);
}

TEST_F(StudioApi, AnEncodeReportsEveryStepUpToItsFiguresAndTheSettingsItWasAskedFor) {
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  EventStream events(studio.port());
  const auto wav = Text(SimpleWav(22050, Speechlike(22050 * 2, 22050)));
  const Reply added = studio.Post("/api/sounds?name=a.wav&rate=8000&threshold=12", wav, "audio/wav");
  ASSERT_EQ(added.status, 201) << added.body;
  // The settings are the sound's from the start, not only once it is encoded.
  const json settings = {{"rate", 8000}, {"clock", "12000000"}, {"threshold", 12}};
  EXPECT_EQ(added.Json()["sound"]["settings"], settings);
  const std::uint64_t id = added.Json()["job"]["id"];
  const auto seen = events.ReadUntil([&](const EventStream::Event& e) {
    return e.type == "job" && e.data.value("id", 0u) == id && e.data.value("state", "") != "running";
  });
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().data["result"], "encoded") << seen.back().data.dump();
  std::vector<std::string> steps;
  int progress = 0;
  for (const auto& e : seen) {
    if (e.type != "job" || e.data.value("id", 0u) != id) continue;
    const std::string step = e.data.value("step", "");
    if (steps.empty() || steps.back() != step) steps.push_back(step);
    // One bar over the whole job that never goes back, whatever runs side by side.
    EXPECT_GE(e.data.value("progress", -1), progress) << e.data.dump();
    progress = e.data.value("progress", -1);
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"reading", "preparing", "encoding", "figures"}));
  EXPECT_EQ(progress, 100);
  const json sound = studio.Get("/api/sounds/" + std::to_string(added.Json()["sound"]["id"].get<int>())).Json();
  EXPECT_EQ(sound["settings"], settings);
  EXPECT_EQ(sound["encoded_with"], settings);
  EXPECT_EQ(sound["samples"], 16000);
}

}  // namespace
}  // namespace velkin::test
