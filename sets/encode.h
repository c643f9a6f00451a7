// Encoding a joined WAV file through the encoder's export, TARPEL or VOSSIK, exactly as a program
// that calls the export on that file would: same arguments, same bytes, same progress calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "sets/set_file.h"

namespace velkin::sets {

// The reserved text every caller of the encoders passes (the console passes "8").
inline constexpr const char* kReservedText = "8";

// Turns the export's progress calls into a share of the whole sound: the export reports each
// segment up to 100 %, so the segment it is in is counted from its 100 % reports.
class SegmentProgress {
 public:
  SegmentProgress(std::vector<std::uint64_t> segment_ends, std::function<void(double)> sink);
  // One call of the export.
  void Report(std::int32_t percent);
  // Every call seen, as (percent) in order: what a program calling the export would have seen.
  const std::vector<std::int32_t>& Calls() const { return calls_; }

 private:
  std::vector<std::uint64_t> ends_;
  std::function<void(double)> sink_;
  std::size_t segment_ = 0;
  std::vector<std::int32_t> calls_;
};

struct EncodeOutcome {
  std::int32_t result = 0;  // the export's: 1 written, 0 failed, 2 not 16-bit
  std::vector<std::uint8_t> code;
  std::string error;  // empty when the code file was written and read back
  bool ok() const { return error.empty(); }
};

// Runs the export on `wav`, writing `code` (and its preview, code + ".PCM", which is removed
// afterwards), and reads the code file back. The code file stays where it is.
EncodeOutcome EncodeFile(Encoder encoder, const std::filesystem::path& wav, const std::filesystem::path& code,
                         std::uint32_t clock, std::uint32_t threshold, SegmentProgress* progress);

// A file read whole; false when it cannot be.
bool ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& out);

}  // namespace velkin::sets
