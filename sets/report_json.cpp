#include "sets/report_json.h"

#include <cmath>

namespace velkin::sets {
namespace {

using nlohmann::json;

// Decibels and seconds to the hundredth, or thousandth: more would be noise.
json Round(double value, double scale = 100.0) {
  return std::isfinite(value) ? json(std::round(value * scale) / scale) : json(nullptr);
}

}  // namespace

json ToJson(const Diagnostic& d) {
  json out = {
      {"severity", d.severity == Severity::kError ? "error" : "warning"}, {"text", d.text}, {"message", d.Format()}};
  if (!d.file.empty()) out["file"] = d.file;
  if (d.line > 0) out["line"] = d.line;
  if (d.clip) out["clip"] = *d.clip;
  return out;
}

json ToJson(const Diagnostics& diagnostics) {
  json out = json::array();
  for (const auto& d : diagnostics.All()) out.push_back(ToJson(d));
  return out;
}

json ToJson(const ImageSettings& s) {
  return {{"encoder", EncoderKey(s.encoder)}, {"rate", s.rate}, {"threshold", s.threshold}, {"clock", s.clock}};
}

json ToJson(const Candidate& c) {
  json out = ToJson(c.settings);
  out["bytes"] = c.bytes;
  out["fits"] = c.fits;
  if (c.ok()) {
    out["score_db"] = Round(c.scoreDb);
    out["mean_score_db"] = Round(c.meanScoreDb);
    out["worst_clip"] = c.worstClip;
    json scores = json::array();
    for (const double s : c.clipScoresDb) scores.push_back(Round(s));
    out["clip_scores_db"] = scores;
  } else {
    out["error"] = c.error;
  }
  return out;
}

json ToJson(const Timings& timings) {
  json out = json::object();
  for (const auto& [step, seconds] : timings) out[step] = Round(seconds, 1000.0);
  return out;
}

json ToJson(const FitResult& fit) {
  json candidates = json::array();
  for (const auto& c : fit.candidates) candidates.push_back(ToJson(c));
  json bounds = json::array();
  for (const auto& b : fit.bounds) bounds.push_back({{"rate", b.rate}, {"uncoded_score_db", Round(b.scoreDb)}});
  json out = {{"capacity", fit.capacity}, {"seconds", Round(fit.seconds, 1000.0)},
              {"candidates", candidates}, {"uncoded", bounds},
              {"why", fit.why},           {"timings", ToJson(fit.timings)}};
  if (fit.chosen) {
    out["chosen"] = *fit.chosen;
    out["choice"] = ToJson(fit.candidates[*fit.chosen]);
  } else {
    out["chosen"] = nullptr;
    out["bytes_over"] = fit.bytesOver;
    out["seconds_over"] = Round(fit.secondsOver, 10.0);
  }
  return out;
}

json ToJson(const ClipReport& c) {
  return {{"index", c.index},
          {"name", c.name},
          {"file", c.file},
          {"cue", c.cue},
          {"label", c.label},
          {"start", c.start},
          {"length", c.length},
          {"start_seconds", Round(c.startSeconds, 1000.0)},
          {"seconds", Round(c.seconds, 1000.0)},
          {"pause", c.pause},
          {"code_bytes", c.codeBytes},
          {"share", Round(c.share, 10000.0)},
          {"snr_db", Round(c.coded.snrDb)},
          {"segmental_snr_db", Round(c.coded.segSnrDb)},
          {"score_db", Round(c.scoreDb)},
          {"own_rate", c.ownRate},
          {"gain_db", Round(c.gainDb)},
          {"clipped", c.clipped},
          {"trimmed_seconds", Round(c.trimmedSeconds, 1000.0)},
          {"check",
           {{"found", c.check.found},
            {"cue", c.check.cue},
            {"label", c.check.label},
            {"length", c.check.length},
            {"shift", c.check.shift},
            {"max_error", c.check.maxError},
            {"snr_db", Round(c.check.snrDb)},
            {"ok", c.check.ok},
            {"note", c.check.note}}}};
}

json ToJson(const BuildReport& r) {
  json clips = json::array();
  for (const auto& c : r.clips) clips.push_back(ToJson(c));
  json out = {{"set", r.set},
              {"settings", ToJson(r.settings)},
              {"capacity", r.capacity},
              {"image_bytes", r.imageBytes},
              {"free_bytes", r.freeBytes},
              {"fits", r.fits},
              {"samples", r.samples},
              {"seconds", Round(r.seconds, 1000.0)},
              {"other_bytes", r.otherBytes},
              {"score_db", Round(r.scoreDb)},
              {"checked", r.checked},
              {"clips", clips},
              {"timings", ToJson(r.timings)}};
  if (!r.image.empty()) {
    out["image"] = r.image.string();
    out["joined"] = r.joined.string();
  }
  return out;
}

}  // namespace velkin::sets
