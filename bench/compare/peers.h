// The peers' side of bench_compare: each job as a user of that library would write it, file to
// file, so that the benchmark can run it in its own process as well as in its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velkin::bench {

// The samples of a 16-bit mono WAV file (the data chunk; its size is trusted only as far as the
// file goes) and its rate.
struct Wav {
  std::uint32_t rate = 0;
  std::vector<std::int16_t> samples;
};
Wav ReadWav(const std::string& path);
void WriteWav(const std::string& path, std::uint32_t rate, const std::vector<std::int16_t>& samples);
void WriteRaw(const std::string& path, const void* data, std::size_t bytes);

// libsoxr's one-shot conversion with the given quality recipe, on one thread.
std::vector<std::int16_t> Soxr(const std::vector<std::int16_t>& in, double from, double to, unsigned long recipe);
// The file jobs: libsoxr HQ and libsamplerate's SINC_MEDIUM_QUALITY to `rate`, libavcodec's IMA
// ADPCM (WAV flavour) into the raw packet bytes, a plain copy of the file's bytes.
void SoxrHqJob(const std::string& in, const std::string& out, int rate);
void SamplerateMediumJob(const std::string& in, const std::string& out, int rate);
void ImaAdpcmJob(const std::string& in, const std::string& out);
void CopyJob(const std::string& in, const std::string& out);

}  // namespace velkin::bench
