// The sounds of a session: each an uploaded WAV file in a folder of its own under the work folder,
// made into the mono 16-bit version at the target rate the way the console makes it, encoded with
// both encoders and decoded again for comparison.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis.h"
#include "jobs.h"

namespace velkin::studio {

struct EncodeSettings {
  std::uint32_t rate = 16000;      // the target rate the source is resampled to
  std::string clock = "12000000";  // the device clock, decimal text
  std::uint32_t threshold = 0;     // silence threshold (up to 4 counts as 4)
};

// Checks and parses settings given as texts (query parameters); an empty text keeps the default.
// False with the reason in `error` for a value out of range.
bool ParseEncodeSettings(const std::string& rate, const std::string& clock, const std::string& threshold,
                         EncodeSettings& out, std::string& error);

class Sound {
 public:
  Sound(std::uint64_t id, std::string name, std::filesystem::path folder)
      : id_(id), name_(std::move(name)), folder_(std::move(folder)) {}

  std::uint64_t id() const { return id_; }
  const std::filesystem::path& folder() const { return folder_; }
  nlohmann::json Summary();
  // The spectrogram of a track ("source", "tarpel", "vossik") once encoded.
  std::shared_ptr<const Spectrogram> SpectrogramOf(const std::string& track);
  // The code file of an encoding ("tarpel", "vossik") once encoded.
  std::optional<std::filesystem::path> CodeFile(const std::string& encoding);

 private:
  friend class SoundLibrary;
  const std::uint64_t id_;
  const std::string name_;
  const std::filesystem::path folder_;
  std::mutex lock_;
  std::string state_ = "new";  // new, encoding, ready, failed
  std::string error_;
  nlohmann::json details_ = nlohmann::json::object();
  std::map<std::string, std::shared_ptr<const Spectrogram>> spectrograms_;
};

class SoundLibrary {
 public:
  SoundLibrary(std::filesystem::path root, JobBoard& jobs) : root_(std::move(root)), jobs_(jobs) {}

  // Keeps `bytes` as a new sound's source file. `name` is for display only.
  std::shared_ptr<Sound> Add(const std::string& name, const std::string& bytes);
  std::shared_ptr<Sound> Find(std::uint64_t id);
  nlohmann::json List();

  // Starts an encode job; null when the sound is being encoded already.
  std::shared_ptr<Job> Encode(const std::shared_ptr<Sound>& sound, const EncodeSettings& settings);

  // The files a sound offers for download, by their fixed names; nothing for any other name, so a
  // name from a request never becomes a path of its own.
  static std::optional<std::filesystem::path> Downloadable(const Sound& sound, const std::string& name);

 private:
  void Run(Sound& sound, const EncodeSettings& settings, Job& job);

  const std::filesystem::path root_;
  JobBoard& jobs_;
  std::mutex lock_;
  std::uint64_t next_ = 1;
  std::map<std::uint64_t, std::shared_ptr<Sound>> sounds_;
};

}  // namespace velkin::studio
