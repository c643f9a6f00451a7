#include "sets/build.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <system_error>

#include "formats/code_file.h"
#include "formats/code_file_layout.h"
#include "sets/clips.h"
#include "sets/encode.h"
#include "sets/join.h"
#include "sets/judge.h"
#include "sets/regions.h"

namespace velkin::sets {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Thrown inside the work when the caller asked to stop; caught where the work began.
struct StopRequested {};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string SettingsText(const ImageSettings& s) {
  return std::string(EncoderKey(s.encoder)) + " at " + std::to_string(s.rate) + " Hz, threshold " +
         std::to_string(s.threshold);
}

// Progress calls, one at a time, and the stop flag.
class Reporter {
 public:
  explicit Reporter(const RunControl& control) : control_(control) {}

  void Report(Step step, double fraction, const std::string& detail = {}) {
    if (!control_.progress) return;
    std::lock_guard guard(lock_);
    control_.progress({step, std::clamp(fraction, 0.0, 1.0), detail, fit_});
  }
  bool Stopped() const { return (control_.cancel && control_.cancel->load()) || (control_.stop && control_.stop()); }
  void ThrowIfStopped() const {
    if (Stopped()) throw StopRequested{};
  }
  void SetFit(bool fit) { fit_ = fit; }
  unsigned Threads() const { return control_.threads ? control_.threads : MachineThreads(); }
  const ThreadStarter& Starter() const { return control_.starter; }

 private:
  const RunControl& control_;
  std::mutex lock_;
  bool fit_ = false;
};

// A folder of its own for the files the exports read and write, removed with what it holds.
class TempFolder {
 public:
  TempFolder() {
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    std::random_device random;
    for (int attempt = 0; attempt < 16 && path_.empty(); ++attempt) {
      const fs::path candidate = base / ("velkin-set-" + std::to_string(random()));
      if (fs::create_directory(candidate, ec) && !ec) path_ = candidate;
    }
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

bool WriteWholeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

// The clips at one rate, joined, with their judge.
struct RateBench {
  std::uint32_t rate = 0;
  std::vector<std::vector<std::int16_t>> clips;
  RateJudge judge;
  JoinedSound joined;
  double clipSeconds = 0.0;
  fs::path wav;  // the joined WAV in a temporary folder, once written
};

// Everything a build or a fit shares: the clips read and prepared, and each rate's bench.
class Bench {
 public:
  Bench(const SetFile& set, Reporter& reporter) : set_(set), reporter_(reporter) {}

  bool Load(Diagnostics& diagnostics) {
    const std::size_t n = set_.clips.size();
    std::vector<std::optional<LoadedClip>> loaded(n);
    std::vector<Diagnostics> found(n);
    std::atomic<std::size_t> done{0};
    RunTasks(
        n, reporter_.Threads(),
        [&](std::size_t i) {
          reporter_.ThrowIfStopped();
          loaded[i] = LoadClip(set_, i, found[i]);
          reporter_.Report(Step::kRead, static_cast<double>(++done) / static_cast<double>(n), set_.clips[i].file);
        },
        reporter_.Starter());
    for (const auto& d : found) diagnostics.Append(d);
    if (diagnostics.HasErrors()) return false;
    for (auto& clip : loaded) clips_.push_back(std::move(*clip));
    return true;
  }

  // Prepares the clips at every rate of `rates` not yet prepared, and joins them.
  bool Prepare(const std::vector<std::uint32_t>& rates, Diagnostics& diagnostics) {
    std::vector<std::uint32_t> missing;
    for (const auto r : rates) {
      if (!benches_.count(r)) missing.push_back(r);
    }
    const std::size_t n = clips_.size();
    std::vector<std::unique_ptr<RateBench>> made;
    for (const auto r : missing) {
      made.push_back(std::make_unique<RateBench>());
      made.back()->rate = r;
      made.back()->clips.resize(n);
    }
    std::vector<std::string> errors(missing.size() * n);
    std::atomic<std::size_t> done{0};
    const auto total = static_cast<double>(errors.size());
    // The clips at each rate, the highest rates first: their tasks are the longest.
    RunTasks(
        missing.size() * n, reporter_.Threads(),
        [&](std::size_t task) {
          reporter_.ThrowIfStopped();
          const std::size_t r = missing.size() - 1 - task / n;
          const std::size_t i = task % n;
          RateBench& bench = *made[r];
          ClipAtRate(clips_[i], bench.rate, bench.clips[i], errors[r * n + i]);
          reporter_.Report(Step::kPrepare, static_cast<double>(++done) / total, std::to_string(bench.rate) + " Hz");
        },
        reporter_.Starter());
    for (std::size_t r = 0; r < missing.size(); ++r) {
      for (std::size_t i = 0; i < n; ++i) {
        const std::string& error = errors[r * n + i];
        if (error.empty()) continue;
        diagnostics.Error(set_.Name(), set_.clips[i].spot.line,
                          set_.ClipTitle(i) + " at " + std::to_string(missing[r]) + " Hz: " + error, i);
      }
    }
    if (diagnostics.HasErrors()) return false;
    for (auto& bench : made) {
      std::vector<std::uint32_t> labels;
      std::vector<double> pauses;
      bench->clipSeconds = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        labels.push_back(set_.LabelOf(i));
        pauses.push_back(set_.clips[i].settings.pauseSeconds);
        bench->clipSeconds += static_cast<double>(bench->clips[i].size()) / bench->rate;
      }
      std::string error;
      auto joined = JoinClips(bench->clips, labels, pauses, bench->rate, error);
      if (!joined) {
        diagnostics.Error(set_.Name(), set_.rateSpot.line, error);
        return false;
      }
      bench->joined = std::move(*joined);
      benches_[bench->rate] = std::move(bench);
    }
    return true;
  }

  // The judge of a prepared rate (judge.h); false, with the reason, when it cannot be made.
  bool MakeJudge(std::uint32_t rate, std::string& error) {
    RateBench& bench = At(rate);
    return bench.judge.Make(clips_, bench.clips, bench.rate, error);
  }

  RateBench& At(std::uint32_t rate) { return *benches_.at(rate); }
  const std::vector<LoadedClip>& clips() const { return clips_; }

 private:
  const SetFile& set_;
  Reporter& reporter_;
  std::vector<LoadedClip> clips_;
  std::map<std::uint32_t, std::unique_ptr<RateBench>> benches_;
};

// An image decoded, split at its markers and every region held against its clip.
struct ImageCheck {
  std::string error;  // the image could not be decoded or split
  decode::DecodedFile decoded;
  std::vector<StreamRegion> regions;
  std::vector<RegionMatch> matches;
  std::vector<Quality> scores;  // each clip at its own rate
};

ImageCheck CheckImage(const std::vector<std::uint8_t>& code, const RateBench& bench, const SetFile& set,
                      std::uint32_t clock, JudgeScratch* scratch = nullptr) {
  ImageCheck out;
  auto decoded = decode::DecodeCodeFile(code, clock, out.error);
  if (!decoded) {
    out.error = "the image does not decode: " + out.error;
    return out;
  }
  out.decoded = std::move(*decoded);
  auto regions = SplitRegions(out.decoded, out.error);
  if (!regions) return out;
  out.regions = std::move(*regions);
  const std::size_t n = bench.clips.size();
  int shift = 0;
  std::vector<std::vector<std::int16_t>> aligned;
  for (std::size_t i = 0; i < n && i < out.regions.size(); ++i) {
    const StreamRegion& region = out.regions[i];
    RegionMatch match = MatchRegion(region, out.decoded.samples, bench.clips[i], bench.rate,
                                    static_cast<std::uint32_t>(i), set.LabelOf(i), shift);
    shift = match.shift;
    const std::uint64_t end = std::min<std::uint64_t>(region.end, out.decoded.samples.size());
    const std::span<const std::int16_t> samples(out.decoded.samples.data() + std::min(region.begin, end),
                                                static_cast<std::size_t>(end - std::min(region.begin, end)));
    aligned.push_back(AlignedRegion(samples, match.shift, bench.clips[i].size()));
    out.matches.push_back(std::move(match));
  }
  if (aligned.size() == n) {
    std::string error;
    out.scores = bench.judge.Judge(aligned, error, scratch);
    if (!error.empty()) out.error = "the regions cannot be brought back to their rates: " + error;
  }
  if (out.regions.size() != n && out.error.empty()) {
    out.error = "the image has " + std::to_string(out.regions.size()) + " regions for " + std::to_string(n) + " clips";
  }
  return out;
}

void Score(const ImageCheck& check, Candidate& candidate) {
  candidate.clipScoresDb.clear();
  double sum = 0.0;
  candidate.scoreDb = kPerfectDb;
  for (std::size_t i = 0; i < check.scores.size(); ++i) {
    const double s = check.scores[i].segSnrDb;
    candidate.clipScoresDb.push_back(s);
    sum += s;
    if (s < candidate.scoreDb) {
      candidate.scoreDb = s;
      candidate.worstClip = i;
    }
  }
  candidate.meanScoreDb = check.scores.empty() ? 0.0 : sum / static_cast<double>(check.scores.size());
}

// Scores compared to the hundredth of a dB, so that a difference no one could hear does not
// outweigh the tie-breakers: the mean over the clips, then fewer bytes.
bool Better(const Candidate& a, const Candidate& b) {
  const auto hundredths = [](double db) { return std::llround(db * 100.0); };
  if (hundredths(a.scoreDb) != hundredths(b.scoreDb)) return hundredths(a.scoreDb) > hundredths(b.scoreDb);
  if (hundredths(a.meanScoreDb) != hundredths(b.meanScoreDb)) {
    return hundredths(a.meanScoreDb) > hundredths(b.meanScoreDb);
  }
  return a.bytes < b.bytes;
}

std::string Db(double db) {
  return Decimal(db, 1) + " dB";
}

std::string Explain(const FitResult& fit, const SetFile& set) {
  std::vector<std::size_t> fitting, usable;
  for (std::size_t i = 0; i < fit.candidates.size(); ++i) {
    if (!fit.candidates[i].ok()) continue;
    usable.push_back(i);
    if (fit.candidates[i].fits) fitting.push_back(i);
  }
  if (usable.empty()) return "no candidate could be made";
  std::size_t best_any = usable.front();
  std::size_t smallest = usable.front();
  for (const auto i : usable) {
    if (Better(fit.candidates[i], fit.candidates[best_any])) best_any = i;
    if (fit.candidates[i].bytes < fit.candidates[smallest].bytes) smallest = i;
  }
  if (!fit.chosen) {
    const Candidate& s = fit.candidates[smallest];
    return "nothing fits in " + std::to_string(fit.capacity) + " bytes: the smallest candidate, " +
           SettingsText(s.settings) + ", needs " + std::to_string(s.bytes) + " bytes, " +
           std::to_string(fit.bytesOver) + " more: about " + Decimal(fit.secondsOver, 1) + " s of sound must go";
  }
  const Candidate& c = fit.candidates[*fit.chosen];
  std::string why = SettingsText(c.settings) + ": the best score of the " + std::to_string(fitting.size()) + " of " +
                    std::to_string(fit.candidates.size()) + " candidates that fit (" + Db(c.scoreDb) +
                    " at its worst clip, " + set.ClipTitle(c.worstClip) + "), " + std::to_string(c.bytes) + " of " +
                    std::to_string(fit.capacity) + " bytes";
  const Candidate& b = fit.candidates[best_any];
  if (best_any != *fit.chosen && !b.fits) {
    why += "; the best-scoring candidate, " + SettingsText(b.settings) + " (" + Db(b.scoreDb) + "), needs " +
           std::to_string(b.bytes) + " bytes, " + std::to_string(b.bytes - fit.capacity) + " more than the capacity";
  }
  return why;
}

// The fit proper, on a bench that has its clips loaded.
std::optional<FitResult> RunFit(Bench& bench, const SetFile& set, std::uint64_t capacity, Reporter& reporter,
                                Diagnostics& diagnostics) {
  FitResult fit;
  fit.capacity = capacity;
  std::vector<Encoder> encoders =
      set.encoder ? std::vector<Encoder>{*set.encoder} : std::vector<Encoder>{Encoder::kTarpel, Encoder::kVossik};
  std::vector<std::uint32_t> rates = set.rate ? std::vector<std::uint32_t>{*set.rate}
                                              : std::vector<std::uint32_t>(std::begin(kFitRates), std::end(kFitRates));
  std::vector<std::uint32_t> thresholds =
      set.threshold ? std::vector<std::uint32_t>{*set.threshold}
                    : std::vector<std::uint32_t>(std::begin(kFitThresholds), std::end(kFitThresholds));
  auto start = Clock::now();
  reporter.SetFit(true);
  if (!bench.Prepare(rates, diagnostics)) return std::nullopt;
  fit.timings["prepare"] = SecondsSince(start);

  start = Clock::now();
  TempFolder folder;
  if (folder.path().empty()) {
    diagnostics.Error(set.Name(), 0, "cannot make a temporary folder for the encoders' files");
    return std::nullopt;
  }
  for (const auto rate : rates) {
    RateBench& rb = bench.At(rate);
    rb.wav = folder.path() / ("joined-" + std::to_string(rate) + ".wav");
    if (!WriteWholeFile(rb.wav, rb.joined.WaveBytes())) {
      diagnostics.Error(set.Name(), 0, "cannot write the joined sound to " + rb.wav.string());
      return std::nullopt;
    }
  }
  fit.seconds = bench.At(rates.front()).clipSeconds;
  fit.timings["join"] = SecondsSince(start);

  for (const auto e : encoders) {
    for (const auto r : rates) {
      for (const auto t : thresholds) {
        Candidate c;
        c.settings = {e, r, t, set.clock};
        fit.candidates.push_back(c);
      }
    }
  }
  // The longest first, so that both threads end together: the ADPCM search costs most, and
  // every candidate's cost grows with its rate.
  std::vector<std::size_t> order(fit.candidates.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  const auto cost = [&](std::size_t i) {
    const ImageSettings& s = fit.candidates[i].settings;
    return static_cast<double>(s.rate) * (s.encoder == Encoder::kVossik ? 3.0 : 1.0);
  };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return cost(a) > cost(b); });

  // First every candidate encoded and every rate's judge made, the longest first (a judge costs
  // about what the ADPCM search at the highest rate does); then each different image decoded and
  // scored. Two candidates whose images are the same bytes (a threshold that changes nothing in
  // these clips) are scored once.
  start = Clock::now();
  std::vector<std::vector<std::uint8_t>> images(fit.candidates.size());
  std::vector<std::string> judge_errors(rates.size());
  std::atomic<std::size_t> done{0};
  const std::size_t judges_at = std::min<std::size_t>(order.size(), thresholds.size());
  RunTasks(
      order.size() + rates.size(), reporter.Threads(),
      [&](std::size_t task) {
        reporter.ThrowIfStopped();
        if (task >= judges_at && task < judges_at + rates.size()) {
          const std::size_t r = rates.size() - 1 - (task - judges_at);
          bench.MakeJudge(rates[r], judge_errors[r]);
          return;
        }
        const std::size_t index = order[task < judges_at ? task : task - rates.size()];
        Candidate& c = fit.candidates[index];
        const fs::path code = folder.path() / ("candidate-" + std::to_string(index) + ".cod");
        EncodeOutcome encoded = EncodeFile(c.settings.encoder, bench.At(c.settings.rate).wav, code, c.settings.clock,
                                           c.settings.threshold, nullptr);
        std::error_code ignored;
        fs::remove(code, ignored);
        if (encoded.ok()) {
          c.bytes = encoded.code.size();
          c.fits = c.bytes <= capacity;
          images[index] = std::move(encoded.code);
        } else {
          c.error = encoded.error;
        }
        reporter.Report(Step::kEncode, static_cast<double>(++done) / static_cast<double>(order.size()),
                        SettingsText(c.settings));
      },
      reporter.Starter());
  fit.timings["encode"] = SecondsSince(start);
  for (std::size_t r = 0; r < rates.size(); ++r) {
    if (!judge_errors[r].empty()) {
      diagnostics.Error(set.Name(), 0, "the clips at " + std::to_string(rates[r]) + " Hz: " + judge_errors[r]);
    }
    fit.bounds.push_back({rates[r], kPerfectDb});
    for (const auto& q : bench.At(rates[r]).judge.uncoded()) {
      fit.bounds.back().scoreDb = std::min(fit.bounds.back().scoreDb, q.segSnrDb);
    }
  }
  if (diagnostics.HasErrors()) return std::nullopt;

  start = Clock::now();
  std::vector<std::size_t> same(fit.candidates.size());
  std::vector<std::size_t> unique;
  for (const std::size_t index : order) {
    same[index] = index;
    for (const std::size_t other : unique) {
      const Candidate& a = fit.candidates[index];
      const Candidate& b = fit.candidates[other];
      if (a.ok() && b.ok() && a.settings.rate == b.settings.rate && images[index] == images[other]) {
        same[index] = other;
        break;
      }
    }
    if (same[index] == index) unique.push_back(index);
  }
  std::atomic<std::size_t> scored{0};
  std::vector<JudgeScratch> scratch(reporter.Threads());
  RunTasks(
      unique.size(), reporter.Threads(),
      [&](std::size_t task, std::size_t worker) {
        reporter.ThrowIfStopped();
        const std::size_t index = unique[task];
        Candidate& c = fit.candidates[index];
        if (c.ok()) {
          const ImageCheck check =
              CheckImage(images[index], bench.At(c.settings.rate), set, c.settings.clock, &scratch[worker]);
          if (check.error.empty()) {
            Score(check, c);
          } else {
            c.error = check.error;
          }
        }
        images[index] = {};
        reporter.Report(Step::kCheck, static_cast<double>(++scored) / static_cast<double>(unique.size()),
                        SettingsText(c.settings));
      },
      reporter.Starter());
  for (std::size_t i = 0; i < fit.candidates.size(); ++i) {
    if (same[i] == i) continue;
    Candidate& c = fit.candidates[i];
    const Candidate& twin = fit.candidates[same[i]];
    c.scoreDb = twin.scoreDb;
    c.meanScoreDb = twin.meanScoreDb;
    c.worstClip = twin.worstClip;
    c.clipScoresDb = twin.clipScoresDb;
    if (!twin.ok() && c.ok()) c.error = twin.error;
  }
  fit.timings["score"] = SecondsSince(start);

  for (std::size_t i = 0; i < fit.candidates.size(); ++i) {
    const Candidate& c = fit.candidates[i];
    if (!c.ok() || !c.fits) continue;
    if (!fit.chosen || Better(c, fit.candidates[*fit.chosen])) fit.chosen = i;
  }
  if (!fit.chosen) {
    const Candidate* smallest = nullptr;
    for (const auto& c : fit.candidates) {
      if (c.ok() && (!smallest || c.bytes < smallest->bytes)) smallest = &c;
    }
    if (smallest) {
      fit.bytesOver = smallest->bytes - std::min(smallest->bytes, capacity);
      fit.secondsOver = smallest->bytes ? fit.seconds * static_cast<double>(fit.bytesOver) / smallest->bytes : 0.0;
    }
  }
  fit.why = Explain(fit, set);
  reporter.SetFit(false);
  return fit;
}

bool SamePath(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec) && !ec) return true;
  return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

std::string TempName(const fs::path& final_path) {
  std::random_device random;
  return "." + final_path.filename().string() + ".partial-" + std::to_string(random());
}

// Removes the files it holds unless they were kept.
class PartialFiles {
 public:
  ~PartialFiles() {
    std::error_code ec;
    for (const auto& p : paths_) fs::remove(p, ec);
  }
  void Add(const fs::path& p) { paths_.push_back(p); }
  void Keep() { paths_.clear(); }

 private:
  std::vector<fs::path> paths_;
};

void FillReport(BuildReport& report, const SetFile& set, const Bench& bench, const RateBench& rb,
                const ImageCheck& check, std::uint64_t capacity) {
  const std::uint32_t rate = rb.rate;
  report.samples = rb.joined.samples.size();
  report.seconds = static_cast<double>(report.samples) / rate;
  std::uint64_t region_bytes = 0;
  report.scoreDb = kPerfectDb;
  report.checked = check.error.empty();
  for (std::size_t i = 0; i < rb.clips.size(); ++i) {
    ClipReport c;
    const JoinedRegion& region = rb.joined.regions[i];
    const LoadedClip& loaded = bench.clips()[i];
    c.index = i;
    c.name = set.ClipName(i);
    c.file = set.clips[i].file;
    c.cue = region.cue;
    c.label = region.label;
    c.start = region.start;
    c.length = region.length;
    c.pause = region.pause;
    c.startSeconds = static_cast<double>(region.start) / rate;
    c.seconds = static_cast<double>(region.length) / rate;
    c.ownRate = loaded.ownRate;
    c.gainDb = loaded.gainDb;
    c.clipped = loaded.clipped;
    c.trimmedSeconds = static_cast<double>(loaded.trimmedStart + loaded.trimmedEnd) / loaded.ownRate;
    if (i < check.matches.size()) {
      const StreamRegion& stream = check.regions[i];
      const RegionMatch& match = check.matches[i];
      c.codeBytes = stream.endByte - std::min(stream.endByte, stream.beginByte + codefile::kMarkerBytes);
      region_bytes += c.codeBytes;
      c.share = capacity ? static_cast<double>(c.codeBytes) / static_cast<double>(capacity) : 0.0;
      c.check = {true,           stream.cue,  stream.label, match.length, match.shift,
                 match.maxError, match.snrDb, match.ok,     match.note};
      const std::uint64_t end = std::min<std::uint64_t>(stream.end, check.decoded.samples.size());
      const std::span<const std::int16_t> samples(check.decoded.samples.data() + std::min(stream.begin, end),
                                                  static_cast<std::size_t>(end - std::min(stream.begin, end)));
      const auto aligned = AlignedRegion(samples, match.shift, rb.clips[i].size());
      const std::size_t held = static_cast<std::size_t>(std::clamp<std::int64_t>(
          static_cast<std::int64_t>(samples.size()) - match.shift, 0, static_cast<std::int64_t>(aligned.size())));
      c.coded = Measure(std::span<const std::int16_t>(rb.clips[i]).first(held),
                        std::span<const std::int16_t>(aligned).first(held), rate);
      if (i < check.scores.size()) {
        c.scoreDb = check.scores[i].segSnrDb;
        report.scoreDb = std::min(report.scoreDb, c.scoreDb);
      }
      if (!match.ok) report.checked = false;
    } else {
      c.check.note = "the image has no region for it";
      report.checked = false;
    }
    report.clips.push_back(std::move(c));
  }
  report.otherBytes = report.imageBytes - std::min(report.imageBytes, region_bytes);
}

}  // namespace

const char* StepName(Step step) {
  switch (step) {
    case Step::kRead:
      return "read";
    case Step::kPrepare:
      return "prepare";
    case Step::kEncode:
      return "encode";
    case Step::kCheck:
      return "check";
    case Step::kWrite:
      return "write";
  }
  return "?";
}

fs::path JoinedPathFor(const fs::path& image) {
  fs::path joined = image;
  joined.replace_extension(".wav");
  return joined;
}

std::optional<std::uint64_t> ResolveCapacity(const SetFile& set, const BuildRequest& request,
                                             Diagnostics& diagnostics) {
  if (request.capacity) return request.capacity;
  if (!set.capacity.unit) return set.capacity.bytes;
  if (request.unitFlash && *request.unitFlash > 0) return request.unitFlash;
  if (request.unitFlash || !request.unitName.empty()) {
    diagnostics.Error(set.Name(), set.capacity.spot.line,
                      "capacity is \"unit\", and the flash size of unit " + request.unitName +
                          " is not known (its flash identity is not in the table of known chips)");
  } else {
    diagnostics.Error(set.Name(), set.capacity.spot.line,
                      "capacity is \"unit\": name the unit whose flash it is, or give the flash size in bytes");
  }
  return std::nullopt;
}

std::optional<FitResult> FitSet(const SetFile& set, const BuildRequest& request, const RunControl& control,
                                Diagnostics& diagnostics, Failure* failure) {
  Failure ignored = Failure::kNone;
  Failure& why = failure ? *failure : ignored;
  why = Failure::kInput;
  const auto capacity = ResolveCapacity(set, request, diagnostics);
  if (!capacity || !CheckSet(set, diagnostics)) return std::nullopt;
  Reporter reporter(control);
  try {
    Bench bench(set, reporter);
    const auto start = Clock::now();
    if (!bench.Load(diagnostics)) return std::nullopt;
    const double read = SecondsSince(start);
    auto fit = RunFit(bench, set, *capacity, reporter, diagnostics);
    if (!fit) return std::nullopt;
    fit->timings["read"] = read;
    why = fit->chosen ? Failure::kNone : Failure::kDoesNotFit;
    return fit;
  } catch (const StopRequested&) {
    why = Failure::kStopped;
    diagnostics.Error(set.Name(), 0, "stopped");
  } catch (const std::bad_alloc&) {
    diagnostics.Error(set.Name(), 0, "not enough memory");
  }
  return std::nullopt;
}

std::optional<BuildResult> BuildSet(const SetFile& set, const BuildRequest& request, const RunControl& control,
                                    Diagnostics& diagnostics, BuildResult* failed) {
  BuildResult result;
  BuildReport& report = result.report;
  // Every way out without a result says why, with what was made so far.
  const auto fail = [&](Failure why) -> std::optional<BuildResult> {
    if (failed) {
      *failed = std::move(result);
      failed->failure = why;
    }
    return std::nullopt;
  };
  const auto capacity = ResolveCapacity(set, request, diagnostics);
  if (!capacity || !CheckSet(set, diagnostics)) return fail(Failure::kInput);
  const std::string name = set.Name();
  report.set = name;
  report.capacity = *capacity;
  const bool to_files = !request.image.empty();
  if (to_files) {
    report.image = request.image;
    report.joined = JoinedPathFor(request.image);
    if (SamePath(report.image, report.joined)) {
      diagnostics.Error(name, 0, "the image " + report.image.string() + " ends in .wav: the joined sound goes there");
      return fail(Failure::kInput);
    }
    for (std::size_t i = 0; i < set.clips.size(); ++i) {
      for (const fs::path& out : {report.image, report.joined}) {
        if (SamePath(out, set.ClipPath(set.clips[i]))) {
          diagnostics.Error(
              name, set.clips[i].fileSpot.line,
              "writing " + out.string() + " would overwrite " + set.ClipTitle(i) + ": name the image otherwise", i);
        }
      }
    }
    if (!set.path.empty() && (SamePath(report.image, set.path) || SamePath(report.joined, set.path))) {
      diagnostics.Error(name, 0, "the image or the joined sound would overwrite the set file");
    }
    if (diagnostics.HasErrors()) return fail(Failure::kInput);
  }

  Reporter reporter(control);
  try {
    Bench bench(set, reporter);
    auto start = Clock::now();
    if (!bench.Load(diagnostics)) return fail(Failure::kInput);
    report.timings["read"] = SecondsSince(start);

    ImageSettings settings{set.encoder.value_or(Encoder::kVossik), set.rate.value_or(16000), set.threshold.value_or(0),
                           set.clock};
    if (set.NeedsFit()) {
      start = Clock::now();
      result.fit = RunFit(bench, set, *capacity, reporter, diagnostics);
      if (!result.fit) return fail(Failure::kInput);
      result.fit->timings["read"] = report.timings["read"];
      report.timings["fit"] = SecondsSince(start);
      if (!result.fit->chosen) {
        diagnostics.Error(name, set.capacity.spot.line, result.fit->why);
        return fail(Failure::kDoesNotFit);
      }
      settings = result.fit->candidates[*result.fit->chosen].settings;
    }
    report.settings = settings;

    start = Clock::now();
    if (!bench.Prepare({settings.rate}, diagnostics)) return fail(Failure::kInput);
    RateBench& rb = bench.At(settings.rate);
    if (rb.judge.uncoded().empty()) {
      std::string error;
      if (!bench.MakeJudge(settings.rate, error)) {
        diagnostics.Error(name, 0, "the clips at " + std::to_string(settings.rate) + " Hz: " + error);
        return fail(Failure::kInput);
      }
    }
    const int floor =
        std::max<int>(kSilenceFloor, static_cast<int>(std::min<std::uint32_t>(settings.threshold, 32767)));
    for (std::size_t i = 0; i < rb.clips.size(); ++i) {
      const int peak = PeakOf(rb.clips[i]);
      if (peak < floor) {
        diagnostics.Error(name, set.clips[i].spot.line,
                          set.ClipTitle(i) + " is silence only at " + std::to_string(settings.rate) +
                              " Hz with threshold " + std::to_string(settings.threshold) + ": its peak is " +
                              std::to_string(peak) + ", so the encoder would code nothing but silence",
                          i);
      }
    }
    if (diagnostics.HasErrors()) return fail(Failure::kInput);
    report.timings["prepare"] = SecondsSince(start);

    start = Clock::now();
    result.joinedWave = rb.joined.WaveBytes();
    TempFolder scratch;
    const fs::path folder =
        to_files ? (report.image.has_parent_path() ? report.image.parent_path() : fs::path(".")) : scratch.path();
    if (folder.empty()) {
      diagnostics.Error(name, 0, "cannot make a temporary folder for the encoder's files");
      return fail(Failure::kOutput);
    }
    PartialFiles partial;
    const fs::path wav_temp = folder / (to_files ? TempName(report.joined) : std::string("joined.wav"));
    const fs::path code_temp = folder / (to_files ? TempName(report.image) : std::string("image.cod"));
    partial.Add(wav_temp);
    partial.Add(code_temp);
    if (!WriteWholeFile(wav_temp, result.joinedWave)) {
      diagnostics.Error(name, 0, "cannot write the joined sound in " + folder.string());
      return fail(Failure::kOutput);
    }
    report.timings["join"] = SecondsSince(start);

    start = Clock::now();
    SegmentProgress progress(rb.joined.SegmentEnds(), [&](double fraction) {
      reporter.Report(Step::kEncode, fraction, SettingsText(settings));
    });
    EncodeOutcome encoded =
        EncodeFile(settings.encoder, wav_temp, code_temp, settings.clock, settings.threshold, &progress);
    if (!encoded.ok()) {
      diagnostics.Error(name, set.encoderSpot.line, encoded.error);
      return fail(Failure::kOutput);
    }
    result.imageBytes = std::move(encoded.code);
    report.imageBytes = result.imageBytes.size();
    report.freeBytes = static_cast<std::int64_t>(*capacity) - static_cast<std::int64_t>(report.imageBytes);
    report.fits = report.imageBytes <= *capacity;
    report.timings["encode"] = SecondsSince(start);
    reporter.ThrowIfStopped();

    start = Clock::now();
    reporter.Report(Step::kCheck, 0.0);
    const ImageCheck check = CheckImage(result.imageBytes, rb, set, settings.clock);
    FillReport(report, set, bench, rb, check, *capacity);
    reporter.Report(Step::kCheck, 1.0);
    report.timings["check"] = SecondsSince(start);

    if (!check.error.empty()) diagnostics.Error(name, 0, check.error);
    for (const ClipReport& c : report.clips) {
      if (!c.check.ok) {
        diagnostics.Error(name, set.clips[c.index].spot.line,
                          "the image does not hold " + set.ClipTitle(c.index) + " as it should: " + c.check.note,
                          c.index);
      }
    }
    if (diagnostics.HasErrors()) return fail(Failure::kImage);
    if (!report.fits) {
      const std::uint64_t over = report.imageBytes - *capacity;
      double clip_seconds = 0.0;
      for (const auto& c : report.clips) clip_seconds += c.seconds;
      const double seconds = clip_seconds * static_cast<double>(over) / static_cast<double>(report.imageBytes);
      diagnostics.Error(name, set.capacity.spot.line,
                        "the image is " + std::to_string(report.imageBytes) + " bytes, " + std::to_string(over) +
                            " more than the capacity of " + std::to_string(*capacity) + ": about " +
                            Decimal(seconds, 1) + " s of sound must go (" + SettingsText(settings) + ")");
      return fail(Failure::kDoesNotFit);
    }
    reporter.ThrowIfStopped();

    start = Clock::now();
    if (to_files) {
      std::error_code ec;
      fs::rename(wav_temp, report.joined, ec);
      if (!ec) fs::rename(code_temp, report.image, ec);
      if (ec) {
        diagnostics.Error(name, 0, "cannot put the image in place: " + ec.message());
        return fail(Failure::kOutput);
      }
      partial.Keep();
    }
    reporter.Report(Step::kWrite, 1.0);
    report.timings["write"] = SecondsSince(start);
    return result;
  } catch (const StopRequested&) {
    diagnostics.Error(name, 0, "stopped");
    return fail(Failure::kStopped);
  } catch (const std::bad_alloc&) {
    diagnostics.Error(name, 0, "not enough memory");
    return fail(Failure::kOutput);
  }
}

const char* FailureName(Failure failure) {
  switch (failure) {
    case Failure::kNone:
      return "none";
    case Failure::kInput:
      return "input";
    case Failure::kDoesNotFit:
      return "does not fit";
    case Failure::kImage:
      return "image";
    case Failure::kOutput:
      return "output";
    case Failure::kStopped:
      return "stopped";
  }
  return "?";
}

}  // namespace velkin::sets
