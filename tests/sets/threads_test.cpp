// The encoders' exports called from two threads at once (as fit does, and the studio's encode jobs
// do): each call keeps its state to itself, so the bytes are those of calls one after another.
// Also run under ThreadSanitizer (the tsan preset).
#include <gtest/gtest.h>

#include <velkin/tarpel.h>
#include <velkin/vossik.h>

#include <thread>

#include "sets/build.h"
#include "tests/support/sound_sets.h"

namespace velkin::test {
namespace {

using Export = int32_t(VELKIN_CALL*)(const char*, const char*, const char*, const char*, int32_t, uint32_t,
                                     EncoderProgressCallback, intptr_t);

// Each call's progress reports, in order.
int32_t VELKIN_CALL Record(int32_t, int32_t percent, intptr_t user) {
  reinterpret_cast<std::vector<int32_t>*>(user)->push_back(percent);
  return 0;
}

TEST(SetsThreads, ExportsRunOnTwoThreadsAtOnce) {
  SetFolder folder;
  const std::string one = folder.Speech("one.wav", 1.0, 16000, 1);
  const std::string two = folder.Speech("two.wav", 0.8, 16000, 2);
  for (const Export call : {TARPEL, VOSSIK}) {
    // One after another first.
    std::vector<int32_t> calls_one, calls_two;
    ASSERT_EQ(call(folder.File("one.cod").c_str(), one.c_str(), "12000000", "8", 0, 0, Record,
                   reinterpret_cast<intptr_t>(&calls_one)),
              1);
    ASSERT_EQ(call(folder.File("two.cod").c_str(), two.c_str(), "12000000", "8", 0, 40, Record,
                   reinterpret_cast<intptr_t>(&calls_two)),
              1);
    // Then both at once, several times over.
    for (int round = 0; round < 3; ++round) {
      std::vector<int32_t> got_one, got_two;
      int32_t result_one = 0, result_two = 0;
      std::thread other([&] {
        result_two = call(folder.File("two-b.cod").c_str(), two.c_str(), "12000000", "8", 0, 40, Record,
                          reinterpret_cast<intptr_t>(&got_two));
      });
      result_one = call(folder.File("one-b.cod").c_str(), one.c_str(), "12000000", "8", 0, 0, Record,
                        reinterpret_cast<intptr_t>(&got_one));
      other.join();
      EXPECT_EQ(result_one, 1);
      EXPECT_EQ(result_two, 1);
      EXPECT_EQ(ReadFileBytes(folder.File("one-b.cod")), ReadFileBytes(folder.File("one.cod")));
      EXPECT_EQ(ReadFileBytes(folder.File("two-b.cod")), ReadFileBytes(folder.File("two.cod")));
      EXPECT_EQ(got_one, calls_one);
      EXPECT_EQ(got_two, calls_two);
    }
  }
}

TEST(SetsThreads, AFitOnTwoThreadsIsTheFitOnOne) {
  SetFolder folder;
  folder.Speech("a.wav", 0.3, 44100, 3, ClipFormat::kPcm24Stereo);
  folder.Speech("b.wav", 0.2, 22050, 4);
  const std::string path = folder.Set("set.toml", "threshold = \"auto\"\n" + ClipTables({"a.wav", "b.wav"}));
  sets::Diagnostics d;
  const auto set = sets::ReadSetFile(path, d);
  ASSERT_TRUE(set) << d.Text();
  sets::BuildRequest request;
  request.capacity = 20000;
  sets::RunControl one_thread;
  one_thread.threads = 1;
  sets::RunControl two_threads;
  two_threads.threads = 2;
  const auto alone = sets::FitSet(*set, request, one_thread, d);
  const auto together = sets::FitSet(*set, request, two_threads, d);
  ASSERT_TRUE(alone && together) << d.Text();
  ASSERT_EQ(alone->candidates.size(), together->candidates.size());
  for (std::size_t i = 0; i < alone->candidates.size(); ++i) {
    EXPECT_EQ(alone->candidates[i].bytes, together->candidates[i].bytes);
    EXPECT_EQ(alone->candidates[i].clipScoresDb, together->candidates[i].clipScoresDb);
  }
  EXPECT_EQ(alone->chosen, together->chosen);
}

}  // namespace
}  // namespace velkin::test
