// Fuzzes the whole encoder entry: the input bytes become the WAV file the export reads.
#include <velkin/tarpel.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

// One folder per fuzzing process, removed at exit.
class WorkDir {
 public:
  WorkDir() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("fuzz_encoder_entry-" + std::to_string(random()));
    fs::create_directories(path_);
  }
  ~WorkDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string File(const char* name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

std::int32_t VELKIN_CALL CheckProgress(std::int32_t source, std::int32_t, std::intptr_t user) {
  if (source != 1 || user != 42) std::abort();
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const WorkDir dir;
  static const std::string input = dir.File("in.wav");
  static const std::string output = dir.File("out.COD");
  {
    std::ofstream f(input, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const std::int32_t result = TARPEL(output.c_str(), input.c_str(), "12000000", "8", 0, 0, &CheckProgress, 42);
  if (result < 0 || result > 2) std::abort();
  // Whatever failed must have left both outputs empty.
  if (result != 1) {
    std::error_code ec;
    if (fs::exists(output, ec) && (fs::file_size(output, ec) != 0 || fs::file_size(output + ".PCM", ec) != 0)) {
      std::abort();
    }
  }
  return 0;
}
