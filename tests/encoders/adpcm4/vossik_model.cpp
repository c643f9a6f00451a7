#include "vossik_model.h"

#include <algorithm>
#include <cstdlib>

#include "encoders/adpcm4/adpcm_codec.h"
#include "reference_search.h"

namespace velkin::adpcm4::test {

namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

}  // namespace

std::vector<std::uint8_t> ModelHeader(std::uint32_t samples, std::uint32_t rate) {
  const std::uint32_t clock = 12000000;
  std::uint8_t code = 15;
  const std::uint32_t rates[] = {6000, 8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000, 192000};
  for (std::uint8_t i = 0; i < 10; ++i) {
    if (rates[i] == rate) code = i;
  }
  std::vector<std::uint8_t> h = {static_cast<std::uint8_t>(samples), static_cast<std::uint8_t>(samples >> 8),
                                 static_cast<std::uint8_t>(samples >> 16), static_cast<std::uint8_t>(code * 16 + 0x0B),
                                 0x54};
  for (std::uint32_t i = 0; i < 8; ++i) {
    const std::uint32_t q = clock / ((8u << i) * rate);
    if (q < 256) {
      h.push_back(static_cast<std::uint8_t>(256 - q));
      h.push_back(static_cast<std::uint8_t>(i));
      break;
    }
  }
  Put16(h, 65536 - clock / (4 * rate));
  h.push_back(0x07);
  return h;
}

ModelOutput ModelEncode(const ModelInput& input) {
  ModelOutput out;
  const std::uint32_t n_declared =
      input.declared_samples ? input.declared_samples : static_cast<std::uint32_t>(input.samples.size());
  out.code = ModelHeader(n_declared, input.rate);

  std::vector<std::uint32_t> boundaries;
  for (const ModelEvent& e : input.events) boundaries.push_back(e.position);
  boundaries.push_back(n_declared);

  const auto available = static_cast<std::uint32_t>(input.samples.size());
  const std::int32_t a = static_cast<std::int32_t>(input.threshold);
  for (std::size_t k = 0; k < boundaries.size(); ++k) {
    if (k > 0) {
      const ModelEvent& e = input.events[k - 1];
      out.code.insert(out.code.end(), {0x01, static_cast<std::uint8_t>(e.type),
                                       static_cast<std::uint8_t>(0x20 | (e.cue_index & 0x1F)), e.label});
    }
    const std::uint32_t end = boundaries[k];
    std::uint32_t w = k == 0 ? 0 : boundaries[k - 1];
    while (w < end) {
      BlockBuffer u;
      u.fill(32768);
      const std::uint32_t want = std::min<std::uint32_t>(265, end - w);
      const std::uint32_t n = w >= available ? 0 : std::min(want, available - w);
      for (std::uint32_t i = 0; i < n; ++i) u[i] = ToOffset(input.samples[w + i]);
      if (n < 2) break;

      // First-stage silence detection.
      std::uint32_t quiet = 0;
      bool begun = false;
      bool leading = false;
      std::size_t count = n;
      for (std::uint32_t j = 0; j < n; ++j) {
        const std::int32_t s = input.samples[w + j];
        const bool is_quiet = -a < s && s < a;
        if (is_quiet) ++quiet;
        if (is_quiet && j != n - 1) continue;
        if (!begun) {
          if (quiet > 9) {
            leading = true;
            break;
          }
          begun = true;
          quiet = 0;
        } else {
          if (quiet > 9) {
            count = (j > quiet && j - quiet > 14) ? j - quiet : 15;
            break;
          }
          quiet = 0;
        }
      }
      if (leading) {
        out.code.push_back(0x01);
        Put16(out.code, 0x4000 + quiet);
        out.preview.insert(out.preview.end(), quiet, 0);
        w += quiet;
        continue;
      }

      const BlockChoice choice = ReferenceChoose(u, count, end - w);
      const EncodedBlock block = EncodeBlock(u, choice.length, choice.start_index);
      out.code.insert(out.code.end(), block.bytes.begin(), block.bytes.end());
      out.preview.insert(out.preview.end(), block.preview.begin(), block.preview.end());
      out.progress.push_back(static_cast<std::int32_t>((w + static_cast<std::uint32_t>(choice.length)) * 100u / end));
      w += static_cast<std::uint32_t>(choice.length);
    }
    out.progress.push_back(100);
  }
  out.code.insert(out.code.end(), {0x01, 0x00, 0x00});
  return out;
}

namespace {

// A block: an odd sample count n (its first byte), the 16-bit first value and step index, (n - 1) / 2
// bytes of codes.
std::size_t VossikRecordSize(std::span<const std::uint8_t> code, std::size_t at, bool& is_end, std::string& error) {
  is_end = false;
  const std::uint8_t first = code[at];
  if (first % 2 == 0) {
    error = "even block length";
    return 0;
  }
  const std::size_t size = 3 + first / 2;
  if (at + size > code.size()) {
    error = "truncated block";
    return 0;
  }
  return size;
}

}  // namespace

bool ParseStream(const std::vector<std::uint8_t>& code, std::size_t header_bytes, std::vector<StreamRecord>& records,
                 std::string& error) {
  std::vector<velkin::test::CodeRecord> read;
  const bool ok = velkin::test::ReadCodeStream(code, header_bytes, {0x01, true, &VossikRecordSize}, read, error);
  records.clear();
  for (velkin::test::CodeRecord& r : read) {
    StreamRecord block;
    static_cast<velkin::test::CodeRecord&>(block) = std::move(r);
    if (block.kind == StreamRecord::Kind::kBlock) {
      const std::size_t first = block.bytes[0];
      const std::uint16_t header = static_cast<std::uint16_t>(block.bytes[1] | (block.bytes[2] << 8));
      std::uint16_t v = static_cast<std::uint16_t>((header & 0xFF80) | 0x40);
      std::uint16_t x = header & 0x7F;
      if (x > 120) return error = "step index above 120 in record " + std::to_string(records.size()), false;
      block.decoded.push_back(v);
      for (std::size_t j = 1; j < first; ++j) {
        const std::uint8_t pair = block.bytes[3 + (j - 1) / 2];
        const std::uint8_t c = j % 2 ? (pair & 0x0F) : (pair >> 4);
        const std::uint32_t y = Steps()[x];
        const std::uint32_t d = (y >> 3) + (c & 4 ? y : 0) + (c & 2 ? y >> 1 : 0) + (c & 1 ? y >> 2 : 0);
        v = (c & 8) ? static_cast<std::uint16_t>(v > d ? v - d : 0)
                    : static_cast<std::uint16_t>(std::min(v + d, 65535u));
        const int adjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
        int next = (x + adjust[c & 7]) & 0xFFFF;
        if (next == 0) next = 1;
        if (next >= 120) next = 120;
        x = static_cast<std::uint16_t>(next);
        block.decoded.push_back(v);
      }
    }
    records.push_back(std::move(block));
  }
  return ok;
}

}  // namespace velkin::adpcm4::test
