#include "sets/encode.h"

#include <velkin/tarpel.h>
#include <velkin/vossik.h>

#include <fstream>
#include <system_error>

namespace velkin::sets {
namespace {

int32_t VELKIN_CALL OnProgress(int32_t /*source*/, int32_t percent, intptr_t user) {
  if (user != 0) reinterpret_cast<SegmentProgress*>(user)->Report(percent);
  return 0;
}

}  // namespace

SegmentProgress::SegmentProgress(std::vector<std::uint64_t> segment_ends, std::function<void(double)> sink)
    : ends_(std::move(segment_ends)), sink_(std::move(sink)) {}

void SegmentProgress::Report(std::int32_t percent) {
  calls_.push_back(percent);
  if (ends_.empty()) return;
  const std::uint64_t total = ends_.back();
  const std::size_t k = std::min(segment_, ends_.size() - 1);
  const std::uint64_t start = k == 0 ? 0 : ends_[k - 1];
  const std::uint64_t end = ends_[k];
  double at = 0.0;
  if (percent >= 100) {
    at = static_cast<double>(end);
    ++segment_;
  } else {
    // The export's percentage counts from the sound's start to the segment's end.
    at = std::max(static_cast<double>(start), static_cast<double>(end) * std::max(percent, 0) / 100.0);
  }
  if (sink_ && total > 0) sink_(std::min(1.0, at / static_cast<double>(total)));
}

bool ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& out) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size < 0) return false;
  out.resize(static_cast<std::size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
  return static_cast<bool>(in) || out.empty();
}

EncodeOutcome EncodeFile(Encoder encoder, const std::filesystem::path& wav, const std::filesystem::path& code,
                         std::uint32_t clock, std::uint32_t threshold, SegmentProgress* progress) {
  EncodeOutcome out;
  const std::string wav_text = wav.string();
  const std::string code_text = code.string();
  const std::string clock_text = std::to_string(clock);
  const auto user = reinterpret_cast<intptr_t>(progress);
  const auto call = encoder == Encoder::kTarpel ? TARPEL : VOSSIK;
  out.result = call(code_text.c_str(), wav_text.c_str(), clock_text.c_str(), kReservedText, 0, threshold,
                    progress ? OnProgress : nullptr, user);
  std::error_code ignored;
  std::filesystem::remove(code_text + ".PCM", ignored);
  if (out.result != 1) {
    out.error = std::string(EncoderExportName(encoder)) + " failed (result " + std::to_string(out.result) + ")";
    return out;
  }
  if (!ReadWholeFile(code, out.code)) out.error = "cannot read back the code file " + code_text;
  return out;
}

}  // namespace velkin::sets
