#include <samplerate.h>

#include "bench/compare/peers.h"

namespace velkin::bench {

void SamplerateMediumJob(const std::string& in, const std::string& out, int rate) {
  const Wav wav = ReadWav(in);
  std::vector<float> fin(wav.samples.size());
  std::vector<float> fout(wav.samples.size() * static_cast<std::size_t>(rate) / wav.rate + 16);
  src_short_to_float_array(wav.samples.data(), fin.data(), static_cast<int>(wav.samples.size()));
  SRC_DATA data{};
  data.data_in = fin.data();
  data.input_frames = static_cast<long>(fin.size());
  data.data_out = fout.data();
  data.output_frames = static_cast<long>(fout.size());
  data.src_ratio = static_cast<double>(rate) / wav.rate;
  src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
  std::vector<std::int16_t> converted(static_cast<std::size_t>(data.output_frames_gen));
  src_float_to_short_array(fout.data(), converted.data(), static_cast<int>(converted.size()));
  WriteWav(out, static_cast<std::uint32_t>(rate), converted);
}

}  // namespace velkin::bench
