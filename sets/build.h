// Building a sound set into one image, and fitting it to a flash: the library's front door, used by
// `velkin build` / `velkin fit` and by the studio.
//
//   sets::Diagnostics diagnostics;
//   auto set = sets::ReadSetFile("phrases.toml", diagnostics);   // or a SetFile made in memory
//   sets::BuildRequest request;
//   request.unitFlash = 262144;            // used when the set says capacity = "unit"
//   request.image = "phrases.cod";         // empty: keep everything in memory
//   auto result = sets::BuildSet(*set, request, control, diagnostics);
//   // result->report: per clip and for the image; result->fit when the set left a choice to fit
//
// A build prepares every clip, joins them into one 16-bit mono WAV with a region per clip, encodes
// it with the encoder's export, decodes the image and checks every region against its clip, and
// reports. When the set leaves the encoder, rate or threshold to the program ("auto"), fit runs
// first: every encoder, rate and threshold allowed, each encoded and scored, the best-scoring one
// that fits the capacity chosen.
//
// Files: the image and the joined WAV beside it (the image's name with ".wav") are written to
// temporary names and renamed into place only when everything succeeded; a failed build leaves
// nothing behind and changes no file.
//
// Threads: the work runs on the calling thread and up to `RunControl::threads - 1` more. Progress
// is reported from those threads, one call at a time. Results are plain values (report_json.h
// turns them into JSON).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sets/diagnostics.h"
#include "sets/quality.h"
#include "sets/set_file.h"
#include "sets/work_pool.h"

namespace velkin::sets {

enum class Step { kRead, kPrepare, kEncode, kCheck, kWrite };
// "read", "prepare", "encode", "check", "write"
const char* StepName(Step step);

struct Progress {
  Step step = Step::kRead;
  double fraction = 0.0;  // of this step, 0..1
  std::string detail;     // what is being done ("vossik 16000 Hz, threshold 32")
  bool fit = false;       // part of a fit (a build that fits first reports both)
};

struct RunControl {
  // Called from the library's threads, one call at a time; empty: no reports.
  std::function<void(const Progress&)> progress;
  // Set (from any thread) to stop: the work stops at the next clip or candidate and the call
  // returns with a "stopped" error. An export already running finishes its file first.
  const std::atomic<bool>* cancel = nullptr;
  // Asked too, when given (a command line's Ctrl-C flag).
  std::function<bool()> stop;
  unsigned threads = 0;   // 0: one per core
  ThreadStarter starter;  // empty: std::thread
};

// How long each step took, in seconds, by step name.
using Timings = std::map<std::string, double>;

// The settings an image is made with.
struct ImageSettings {
  Encoder encoder = Encoder::kVossik;
  std::uint32_t rate = 16000;
  std::uint32_t threshold = 0;
  std::uint32_t clock = kDefaultClock;
};

// One configuration fit tried.
struct Candidate {
  ImageSettings settings;
  std::uint64_t bytes = 0;
  bool fits = false;
  double scoreDb = 0.0;      // the worst clip's segmental SNR at its own rate
  double meanScoreDb = 0.0;  // the clips' mean, which breaks ties
  std::size_t worstClip = 0;
  std::vector<double> clipScoresDb;
  std::string error;  // set when the candidate could not be made (it is then never chosen)
  bool ok() const { return error.empty(); }
};

struct RateBound {
  std::uint32_t rate = 0;
  double scoreDb = 0.0;  // the worst clip at this rate with no coding at all
};

struct FitResult {
  std::uint64_t capacity = 0;
  double seconds = 0.0;               // of sound in the set (clips and pauses)
  std::vector<Candidate> candidates;  // by encoder, rate, threshold
  std::vector<RateBound> bounds;      // per rate tried
  std::optional<std::size_t> chosen;  // into candidates
  std::string why;                    // the choice explained, or why there is none
  // When nothing fits: what the smallest candidate has too much.
  std::uint64_t bytesOver = 0;
  double secondsOver = 0.0;
  Timings timings;
};

// How a region of the image compares with its clip (see regions.h).
struct RegionCheck {
  bool found = false;  // the stream has a region for it
  std::uint32_t cue = 0;
  std::uint32_t label = 0;
  std::uint64_t length = 0;  // samples decoded
  int shift = 0;             // samples it starts early
  int maxError = 0;
  double snrDb = 0.0;
  bool ok = false;
  std::string note;
};

struct ClipReport {
  std::size_t index = 0;
  std::string name;
  std::string file;
  std::uint32_t cue = 0;
  std::uint32_t label = 0;
  std::uint64_t start = 0;  // in the image, samples at its rate
  std::uint64_t length = 0;
  double startSeconds = 0.0;
  double seconds = 0.0;
  std::uint64_t pause = 0;      // silent samples after it
  std::uint64_t codeBytes = 0;  // from its start marker to its end marker
  double share = 0.0;           // codeBytes of the capacity
  Quality coded;                // against the clip as prepared at the image's rate
  double scoreDb = 0.0;         // segmental SNR at its own rate (fit's measure)
  std::uint32_t ownRate = 0;
  double gainDb = 0.0;
  std::uint64_t clipped = 0;
  double trimmedSeconds = 0.0;
  RegionCheck check;
};

struct BuildReport {
  std::string set;  // the set file, as named
  ImageSettings settings;
  std::uint64_t capacity = 0;
  std::uint64_t imageBytes = 0;
  std::int64_t freeBytes = 0;  // capacity - imageBytes
  bool fits = false;
  std::uint64_t samples = 0;  // in the joined sound
  double seconds = 0.0;
  std::uint64_t otherBytes = 0;  // header, markers, pauses and end of stream
  double scoreDb = 0.0;          // the worst clip's
  bool checked = false;          // every region is its clip
  std::vector<ClipReport> clips;
  std::filesystem::path image;  // where it was written; empty when kept in memory
  std::filesystem::path joined;
  Timings timings;
};

struct BuildRequest {
  // The capacity: `capacity` when given (a flash size from the command line), else the set's
  // bytes, else, for capacity = "unit", `unitFlash` (the selected unit's flash size).
  std::optional<std::uint64_t> capacity;
  std::optional<std::uint64_t> unitFlash;
  std::string unitName;  // named in messages about the unit's flash
  // Where to write the image; the joined WAV goes beside it with the extension ".wav". Empty:
  // nothing is written, the bytes come back in the result.
  std::filesystem::path image;
};

// Why a build or fit gave no result.
enum class Failure {
  kNone,
  kInput,       // the set, a clip or the request is wrong: nothing was done
  kDoesNotFit,  // the image is larger than the capacity, or no candidate fits
  kImage,       // the image was made but does not hold its clips as it should
  kOutput,      // a file could not be written
  kStopped,     // the caller asked to stop
};

// The failure's name in reports: "none", "input", "does not fit", "image", "output", "stopped".
const char* FailureName(Failure failure);

struct BuildResult {
  Failure failure = Failure::kNone;
  BuildReport report;
  std::optional<FitResult> fit;  // when the set left a choice to fit
  std::vector<std::uint8_t> imageBytes;
  std::vector<std::uint8_t> joinedWave;  // the joined WAV file's bytes
};

// Builds the set. Nothing, with the errors in `diagnostics`, when it cannot be built; a set that
// does not fit is an error too. `failed`, when given, then receives why (and the report and fit
// as far as they got, for showing).
std::optional<BuildResult> BuildSet(const SetFile& set, const BuildRequest& request, const RunControl& control,
                                    Diagnostics& diagnostics, BuildResult* failed = nullptr);

// Tries every candidate the set allows (every encoder, rate and threshold left to "auto"; a value
// the set gives is kept) and chooses. Nothing, with the errors, when the clips cannot be read or
// prepared; a fit where nothing fits is a result (no `chosen`), not an error.
std::optional<FitResult> FitSet(const SetFile& set, const BuildRequest& request, const RunControl& control,
                                Diagnostics& diagnostics, Failure* failure = nullptr);

// The capacity a request gives a set; nothing, with the error, when the set says "unit" and no
// unit's flash size is known.
std::optional<std::uint64_t> ResolveCapacity(const SetFile& set, const BuildRequest& request, Diagnostics& diagnostics);

// The joined WAV's path for an image path: the same name with ".wav".
std::filesystem::path JoinedPathFor(const std::filesystem::path& image);

}  // namespace velkin::sets
