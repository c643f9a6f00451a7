#include <soxr.h>

#include <cmath>

#include "bench/compare/peers.h"

namespace velkin::bench {

std::vector<std::int16_t> Soxr(const std::vector<std::int16_t>& in, double from, double to, unsigned long recipe) {
  std::vector<std::int16_t> out(static_cast<std::size_t>(std::ceil(static_cast<double>(in.size()) * to / from)) + 16);
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(recipe, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // one thread, like the others
  std::size_t done = 0;
  soxr_oneshot(from, to, 1, in.data(), in.size(), nullptr, out.data(), out.size(), &done, &io, &quality, &runtime);
  out.resize(done);
  return out;
}

void SoxrHqJob(const std::string& in, const std::string& out, int rate) {
  const Wav wav = ReadWav(in);
  WriteWav(out, static_cast<std::uint32_t>(rate), Soxr(wav.samples, wav.rate, rate, SOXR_HQ));
}

}  // namespace velkin::bench
