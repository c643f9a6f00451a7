#include "wav_walk.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "entry_args.h"
#include "formats/le_bytes.h"

namespace velkin::encoder {

using bytes::LoadU16;
using bytes::LoadU32;

namespace {

constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kFormatBytes = 16;
constexpr std::size_t kCueRecordBytes = 24;
constexpr std::size_t kLtxtRecordBytes = 20;
constexpr std::uint32_t kMaxLabelText = 200;

bool IdIs(std::span<const std::uint8_t> bytes, const char* four_cc) {
  return std::memcmp(bytes.data(), four_cc, 4) == 0;
}

class Walker {
 public:
  explicit Walker(InputFile& in) : in_(in), file_size_(in.size()) {}

  WavLayout Run() {
    std::uint64_t pos = 0;
    bool first = true;
    while (pos + kHeaderBytes <= file_size_) {
      std::array<std::uint8_t, kHeaderBytes> header{};
      if (in_.ReadAt(pos, header) != header.size()) break;
      const std::uint64_t size = LoadU32(header, 4);
      const std::uint64_t body = pos + kHeaderBytes;
      const std::uint64_t pad = size & 1;  // RIFF pads every odd-sized chunk to an even length
      // A file that does not begin with a RIFF header is no WAV file at all.
      if (first && !IdIs(header, "RIFF")) return Fail(WalkStatus::kNotWave);
      first = false;

      if (IdIs(header, "RIFF")) {
        riff_size_ = size;
        std::array<std::uint8_t, 4> form{};
        if (in_.ReadAt(body, form) != form.size() || !IdIs(form, "WAVE")) return Fail(WalkStatus::kNotWave);
        if (riff_size_ + 8 < body + 4) break;
        pos = body + 4;
      } else if (IdIs(header, "fmt ")) {
        ReadFormat(body);
        pos = body + size + pad;
      } else if (IdIs(header, "data")) {
        layout_.data_offset = body;
        layout_.data_size = static_cast<std::uint32_t>(size);
        pos = body + size + pad;
      } else if (IdIs(header, "cue ")) {
        ReadCuePoints(body, size);
        // The cue chunk's own end decides, so that a LIST after it is still seen.
        if (body + size > riff_size_ + 8) break;
        pos = body + size + pad;
      } else if (IdIs(header, "LIST")) {
        list_size_ = size;
        std::array<std::uint8_t, kHeaderBytes> peek{};
        if (in_.ReadAt(body, peek) == peek.size() && IdIs(peek, "adtl")) {
          if (!WalkAdtl(body)) return Fail(WalkStatus::kAdtlWithoutList);
        }
        pos = body + size + pad;
      } else if (IdIs(header, "adtl")) {
        // An adtl list standing on its own: it counts only after a LIST of non-zero size, whose size
        // then bounds it.
        if (!WalkAdtl(pos)) return Fail(WalkStatus::kAdtlWithoutList);
        pos += list_size_ + (list_size_ & 1);
      } else {
        if (body + size >= riff_size_ + 8) break;
        pos = body + size + pad;
      }
    }
    if (first) return Fail(WalkStatus::kNotWave);
    if (in_.failed()) return Fail(WalkStatus::kReadError);
    return std::move(layout_);
  }

 private:
  WavLayout Fail(WalkStatus status) {
    WavLayout failed;
    failed.status = status;
    return failed;
  }

  void ReadFormat(std::uint64_t body) {
    std::array<std::uint8_t, kFormatBytes> fmt{};
    if (in_.ReadAt(body, fmt) != fmt.size()) return;
    layout_.has_format = true;
    layout_.sample_rate = LoadU32(fmt, 4);
    layout_.bits_per_sample = LoadU16(fmt, 14);
  }

  // Only the records that lie inside the chunk are read; a later cue chunk replaces an earlier one.
  void ReadCuePoints(std::uint64_t body, std::uint64_t size) {
    std::array<std::uint8_t, 4> count_bytes{};
    layout_.cue_positions.clear();
    if (size < 4 || in_.ReadAt(body, count_bytes) != count_bytes.size()) return;
    const std::uint64_t fit = (size - 4) / kCueRecordBytes;
    const std::uint64_t records = std::min<std::uint64_t>({LoadU32(count_bytes, 0), fit, kMaxCuePoints});
    for (std::uint64_t r = 0; r < records; ++r) {
      std::array<std::uint8_t, kCueRecordBytes> record{};
      if (in_.ReadAt(body + 4 + r * kCueRecordBytes, record) != record.size()) break;
      layout_.cue_positions.push_back(LoadU32(record, 4));
    }
  }

  // The sub-chunks after the four bytes "adtl" at `adtl_at`, up to the end of the LIST (whose size
  // counts from those four bytes). False when no LIST of non-zero size came first.
  bool WalkAdtl(std::uint64_t adtl_at) {
    if (list_size_ == 0) return false;
    const std::uint64_t end = std::min(adtl_at + list_size_, file_size_);
    std::uint64_t pos = adtl_at + 4;
    while (pos + kHeaderBytes <= end) {
      std::array<std::uint8_t, kHeaderBytes> header{};
      if (in_.ReadAt(pos, header) != header.size()) break;
      const std::uint32_t size = LoadU32(header, 4);
      const std::uint64_t body = pos + kHeaderBytes;
      if (IdIs(header, "labl")) {
        ReadLabel(body, size);
      } else if (IdIs(header, "ltxt")) {
        std::array<std::uint8_t, kLtxtRecordBytes> record{};
        if (in_.ReadAt(body, record) == record.size() && layout_.region_lengths.size() < kMaxRegionLengths) {
          layout_.region_lengths.push_back(LoadU32(record, 4));
        }
      }
      pos = body + size;
      // A zero byte after a sub-chunk is its pad byte; anything else begins the next sub-chunk.
      std::array<std::uint8_t, 1> next{};
      if (in_.ReadAt(pos, next) == 1 && next[0] == 0) ++pos;
    }
    return true;
  }

  void ReadLabel(std::uint64_t body, std::uint32_t size) {
    std::array<std::uint8_t, 4> id_bytes{};
    if (in_.ReadAt(body, id_bytes) != id_bytes.size()) return;
    const std::uint32_t id = LoadU32(id_bytes, 0);
    const std::uint32_t length = std::min<std::uint32_t>(size - 4u, kMaxLabelText);
    std::array<std::uint8_t, kMaxLabelText> text{};
    if (in_.ReadAt(body + 4, std::span(text).first(length)) != length) return;
    if (id < 1 || id > kLabelCount) return;
    layout_.labels[id - 1] = ParseLeadingDecimal(
        std::string_view(reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(length)));
  }

  InputFile& in_;
  const std::uint64_t file_size_;
  std::uint64_t riff_size_ = 0;
  std::uint64_t list_size_ = 0;
  WavLayout layout_;
};

}  // namespace

WavLayout WalkWav(InputFile& in) {
  return Walker(in).Run();
}

}  // namespace velkin::encoder
