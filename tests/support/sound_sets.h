// Sound sets for tests: a folder with clips in the formats users have (16-bit mono, 24-bit stereo,
// float, 8-bit, WAVE_FORMAT_EXTENSIBLE) and set files that name them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {

enum class ClipFormat { kPcm16, kPcm24Stereo, kFloat32, kPcm8, kExtensible24 };

class SetFolder {
 public:
  // A clip file of speech-like sound (seed `seed`), `seconds` long at `rate`, in `format`.
  std::string Speech(const std::string& name, double seconds, std::uint32_t rate, std::uint32_t seed,
                     ClipFormat format = ClipFormat::kPcm16);
  // A 16-bit PCM clip of exactly these samples (interleaved when `channels` > 1).
  std::string Samples(const std::string& name, const std::vector<std::int16_t>& samples, std::uint32_t rate,
                      std::uint16_t channels = 1);
  std::string Bytes(const std::string& name, const ByteVector& bytes);
  // Writes the set file; returns its path.
  std::string Set(const std::string& name, const std::string& text);
  std::string File(const std::string& name) const { return dir_.File(name); }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
};

// The [[clip]] tables for `files`, one per file, nothing else.
std::string ClipTables(const std::vector<std::string>& files);

// The line (from 1) of the first line of `text` that contains `needle`; 0 when none does.
int LineOf(const std::string& text, const std::string& needle);

}  // namespace velkin::test
