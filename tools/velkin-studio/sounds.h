// The sounds of a session: each an uploaded WAV file in a folder of its own under the work folder,
// prepared by sound/ (every PCM and float WAV, one channel, the console's converter to the target
// rate, markers carried across), encoded with both encoders and decoded again for comparison. How
// many are kept, and how much the work folder holds, is bounded.
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

enum class SoundState { kNew, kEncoding, kReady, kFailed };
const char* NameOf(SoundState state);

// The longest name shown, in bytes of UTF-8.
constexpr std::size_t kNameBytes = 200;

class Sound {
 public:
  Sound(std::uint64_t id, std::string name, std::filesystem::path folder)
      : id_(id), name_(std::move(name)), folder_(std::move(folder)) {}

  std::uint64_t id() const { return id_; }
  std::string name();
  const std::filesystem::path& folder() const { return folder_; }
  nlohmann::json Summary();
  // The spectrogram of a track ("source", "tarpel", "vossik") once encoded.
  std::shared_ptr<const Spectrogram> SpectrogramOf(const std::string& track);
  // The code file of an encoding ("tarpel", "vossik") once encoded.
  std::optional<std::filesystem::path> CodeFile(const std::string& encoding);

 private:
  friend class SoundLibrary;
  const std::uint64_t id_;
  std::string name_;  // guarded by lock_ (a rename changes it)
  const std::filesystem::path folder_;
  std::mutex lock_;
  SoundState state_ = SoundState::kNew;
  std::string error_;
  EncodeSettings settings_;  // of the last encode asked for
  nlohmann::json details_ = nlohmann::json::object();
  std::map<std::string, std::shared_ptr<const Spectrogram>> spectrograms_;
  // The encode job while there is one, and the room set aside for what it writes.
  std::shared_ptr<Job> job_;
  std::uint64_t reserved_ = 0;
  // What its folder held when last counted.
  std::uint64_t bytes_ = 0;
  bool deleted_ = false;
};

struct SoundLimits {
  std::size_t max_sounds = 100;
  std::uint64_t max_disk = std::uint64_t{4} << 30;  // the work folder's size
};

class SoundLibrary {
 public:
  SoundLibrary(std::filesystem::path root, JobBoard& jobs, SoundLimits limits = {});
  ~SoundLibrary();

  struct Added {
    std::shared_ptr<Sound> sound;  // null when refused
    Refusal refusal = Refusal::kNone;
  };
  // Whether a new sound of about `bytes` (when known) would be taken now: checked on an upload's
  // head, before its body is read.
  Refusal CanAdd(std::optional<std::uint64_t> bytes);
  // Moves `file` in as a new sound's source. `name` is for display only; one that another sound
  // has already gets a number ("prompt.wav (2)").
  Added AddFile(const std::string& name, const std::filesystem::path& file);
  // Keeps `bytes` as a new sound's source.
  Added Add(const std::string& name, const std::string& bytes);
  // A new path in the work folder for an upload to be written to.
  std::filesystem::path SpoolPath();

  std::shared_ptr<Sound> Find(std::uint64_t id);
  nlohmann::json List();
  // Removes the sound with its files (once its encode job, cancelled, has ended); false when there
  // is no such sound.
  bool Delete(std::uint64_t id);
  // Gives the sound another name, made fit to show and told apart from the others' as a new one
  // is; false when the name has nothing left to show.
  bool Rename(const std::shared_ptr<Sound>& sound, const std::string& name);

  // Starts an encode job (refused when the sound is being encoded already, the queue is full or the
  // work folder has no room for what it would write).
  Started Encode(const std::shared_ptr<Sound>& sound, const EncodeSettings& settings);

  // The files a sound offers for download, by their fixed names; nothing for any other name, so a
  // name from a request never becomes a path of its own.
  static std::optional<std::filesystem::path> Downloadable(const Sound& sound, const std::string& name);
  // The name a download of `file` is saved under: after the sound, as the console names its files
  // ("prompt.wav" gives "prompt.vsk", "prompt.tpl", "prompt-vossik.wav").
  static std::string DownloadName(const std::string& sound_name, const std::string& file);

  // What the work folder holds as counted, and its limit.
  std::uint64_t used();
  const SoundLimits& limits() const { return limits_; }

 private:
  void Run(Sound& sound, const EncodeSettings& settings, Job& job);
  // As an encode job ends, before anyone sees its outcome: the sound's state from it, the room it
  // set aside given back, its files counted again (or removed, for a deleted sound).
  void Finish(Sound& sound, bool done, const std::string& reason);
  // Removes a folder, or keeps it in mind to try again where a file in it is still open.
  void RemoveFolder(const std::filesystem::path& folder);
  // `wanted`, or with the first number that no other sound's name has; the caller holds lock_.
  std::string UniqueName(const std::string& wanted, const Sound* except);

  const std::filesystem::path root_;
  JobBoard& jobs_;
  const SoundLimits limits_;
  std::mutex lock_;
  std::uint64_t next_ = 1;
  std::uint64_t next_spool_ = 1;
  std::map<std::uint64_t, std::shared_ptr<Sound>> sounds_;
  std::uint64_t used_ = 0;
  std::uint64_t reserved_ = 0;
  std::vector<std::filesystem::path> leftovers_;
};

}  // namespace velkin::studio
