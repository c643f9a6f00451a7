#include "tarpel_harness.h"

#include <gtest/gtest.h>
#include <velkin/tarpel.h>

#include <filesystem>
#include <fstream>

namespace velkin::test {
namespace {

// Reads a whole file in one go (the outputs of long inputs are large).
ByteVector ReadWhole(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  ByteVector bytes(static_cast<std::size_t>(std::filesystem::file_size(path)));
  f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(f.gcount()));
  return bytes;
}

}  // namespace

std::int32_t VELKIN_CALL CollectProgress(std::int32_t source, std::int32_t percent, std::intptr_t user) {
  reinterpret_cast<std::vector<ProgressCall>*>(user)->push_back({source, percent});
  return 0;
}

std::vector<std::int16_t> Int16s(const ByteVector& bytes) {
  std::vector<std::int16_t> v(bytes.size() / 2);
  for (std::size_t i = 0; i < v.size(); ++i) {
    v[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return v;
}

TarpelRun RunTarpel(const std::string& output, const std::string& input, const TarpelOptions& options) {
  TarpelRun run;
  run.result =
      TARPEL(output.c_str(), input.c_str(), options.clock.c_str(), options.reserved_text.c_str(), 0, options.threshold,
             options.with_callback ? &CollectProgress : nullptr, reinterpret_cast<std::intptr_t>(&run.progress));
  std::string code_path = output;
  if (code_path.empty()) {
    const auto dot = input.rfind('.');
    code_path = (dot == std::string::npos ? input : input.substr(0, dot)) + ".COD";
  }
  run.code_exists = std::filesystem::exists(code_path);
  run.preview_exists = std::filesystem::exists(code_path + ".PCM");
  // Only regular files are read back: a test may point an output at a device or a folder.
  if (std::filesystem::is_regular_file(code_path)) run.code = ReadWhole(code_path);
  if (std::filesystem::is_regular_file(code_path + ".PCM")) run.preview = Int16s(ReadWhole(code_path + ".PCM"));
  return run;
}

TarpelRun EncodeWav(const TempDir& dir, const ByteVector& wav, const TarpelOptions& options) {
  WriteFileBytes(dir.File("in.wav"), wav);
  return RunTarpel(dir.File("out.COD"), dir.File("in.wav"), options);
}

namespace {

// A 12-bit block (0x06, the length word, the packed values) or the end of stream (four 0xFF bytes).
std::size_t TarpelRecordSize(std::span<const std::uint8_t> code, std::size_t at, bool& is_end, std::string& error) {
  const std::size_t left = code.size() - at;
  if (code[at] == 0xFF) {
    is_end = true;
    if (left == 4 && code[at + 1] == 0xFF && code[at + 2] == 0xFF && code[at + 3] == 0xFF) return 4;
    error = "bad end of stream";
    return 0;
  }
  if (code[at] != 0x06) {
    error = "unknown record";
    return 0;
  }
  if (left < 3) {
    error = "short block";
    return 0;
  }
  const std::uint32_t length = (static_cast<std::uint32_t>(code[at + 1] | (code[at + 2] << 8)) & 0x7FFFu) + 1u;
  const std::size_t size = 3 + length / 2 * 3 + (length % 2 ? 2 : 0);
  if (left < size) {
    error = "block runs past the file";
    return 0;
  }
  return size;
}

}  // namespace

std::vector<Record> ParseTarpelStream(const ByteVector& code, std::size_t header_bytes) {
  std::vector<CodeRecord> read;
  std::string error;
  if (!ReadCodeStream(code, header_bytes, CodeStreamFormat{0x00, false, &TarpelRecordSize}, read, error)) {
    ADD_FAILURE() << error;
  }
  std::vector<Record> records;
  for (CodeRecord& c : read) {
    Record r;
    static_cast<CodeRecord&>(r) = std::move(c);
    if (r.kind == Record::Kind::kBlock) {
      const std::uint16_t word = GetU16(r.bytes, 1);
      r.normal = (word & 0x8000u) != 0;
      r.length = (word & 0x7FFFu) + 1u;
      std::size_t p = 3;
      for (std::uint32_t i = 0; i < r.length; i += 2, p += 3) {
        r.words.push_back(static_cast<std::uint16_t>((r.bytes[p] << 8) | (r.bytes[p + 1] & 0xF0)));
        if (i + 1 < r.length)
          r.words.push_back(static_cast<std::uint16_t>((r.bytes[p + 2] << 8) | ((r.bytes[p + 1] & 0x0F) << 4)));
      }
    }
    records.push_back(std::move(r));
  }
  return records;
}

std::uint64_t CodedSamples(const std::vector<Record>& records) {
  std::uint64_t n = 0;
  for (const auto& r : records) {
    if (r.kind == Record::Kind::kBlock) n += r.length;
    if (r.kind == Record::Kind::kSilence) n += r.run;
  }
  return n;
}

void SaveFuzzSeed(const std::string& name, const ByteVector& wav) {
#ifdef VELKIN_FUZZ_SEED_DIR
  std::error_code ec;
  std::filesystem::create_directories(VELKIN_FUZZ_SEED_DIR, ec);
  if (!ec) WriteFileBytes((std::filesystem::path(VELKIN_FUZZ_SEED_DIR) / name).string(), wav);
#else
  (void)name;
  (void)wav;
#endif
}

}  // namespace velkin::test
