// The sound sets of a session: clips uploaded into a folder of their own under the work folder,
// ordered, labelled and set up as a set file would say, built into one image by the sets library
// (fitted first where the set leaves encoder, rate or threshold to it), and offered for listening,
// download and programming. The set itself is a sets::SetFile the page edits a field at a time;
// its clips keep the names the user's set file gives them, so a saved set file names the user's
// own files.
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

#include "jobs.h"
#include "sets/set_file.h"

namespace velkin::studio {

struct SetLimits {
  std::size_t max_sets = 16;
  // The largest set file taken, and the largest edit of a set (every clip's settings at once).
  std::size_t text_limit = 64u << 10;
};

// A clip of a studio set: as the set file names it, and where its audio lies.
struct SetClip {
  std::uint64_t id = 0;     // stable while the set lives, whatever the order
  sets::Clip clip;          // `file` as a set file names it (the uploaded file's name)
  std::string stored;       // its file in the set's clips folder; empty until the audio has come
  std::uint64_t bytes = 0;  // of the stored file
  nlohmann::json info;      // what the file holds (rate, channels, bits, seconds), null without audio
};

// The image of the last build that succeeded, for programming.
struct BuiltImage {
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  nlohmann::json what;  // the set, its name and encoding: a program job's details
};

// A refused request to a set: the HTTP status and the words.
struct SetError {
  int status = 0;  // 0: none
  std::string message;
  nlohmann::json diagnostics;  // the set's errors and warnings, when there are any
  explicit operator bool() const { return status != 0; }
};

class StudioSet {
 public:
  StudioSet(std::uint64_t id, std::string name, std::filesystem::path folder)
      : id_(id), folder_(std::move(folder)), name_(std::move(name)) {}
  std::uint64_t id() const { return id_; }
  const std::filesystem::path& folder() const { return folder_; }
  // Everything the page shows of the set: settings, clips, the last build.
  nlohmann::json Full();
  nlohmann::json Summary();

 private:
  friend class SetLibrary;
  nlohmann::json SummaryLocked() const;
  // The set as the library builds it: clips read from the folder, named as the user named them.
  sets::SetFile ForBuild() const;
  // The set as a set file gives it back: the clips' own names.
  sets::SetFile ForSaving() const;
  const SetClip* ClipById(std::uint64_t id) const;

  const std::uint64_t id_;
  const std::filesystem::path folder_;
  std::mutex lock_;
  std::string name_;
  sets::SetFile set_;  // its settings; its clips are `clips_`
  std::vector<SetClip> clips_;
  std::uint64_t next_clip_ = 1;
  // Counts changes: an image is programmed only while it is the image of the set as it is.
  std::uint64_t revision_ = 1;
  bool building_ = false;     // a build is queued or runs: the set cannot change
  std::shared_ptr<Job> job_;  // the build while it runs
  nlohmann::json build_;      // the last build's outcome (null before the first)
  std::uint64_t built_revision_ = 0;
  BuiltImage image_;
  std::uint64_t build_number_ = 0;  // names the folder each build writes into
  bool deleted_ = false;
};

class SetLibrary {
 public:
  SetLibrary(std::filesystem::path root, JobBoard& jobs, SetLimits limits = {});
  ~SetLibrary();

  const SetLimits& limits() const { return limits_; }
  nlohmann::json List();
  std::shared_ptr<StudioSet> Find(std::uint64_t id);
  // A new empty set; null when as many sets are kept as the studio takes.
  std::shared_ptr<StudioSet> Create(const std::string& name);
  // Removes the set and its files once its build, cancelled, has ended.
  bool Delete(std::uint64_t id);

  // Whether another clip of about `bytes` is taken by the set now (on an upload's head).
  SetError CanAddClip(StudioSet& set, const std::string& name);
  // Moves `file` in as the audio of the clip the set file names `name` and that has none yet, or
  // as a new clip at the end. Refused, with the file named, when it is not audio a set can use.
  SetError AddClip(StudioSet& set, const std::string& name, const std::filesystem::path& file, nlohmann::json& clip);
  SetError RemoveClip(StudioSet& set, std::uint64_t clip);
  // The stored audio of a clip; nothing when it has none.
  std::optional<std::filesystem::path> ClipFile(StudioSet& set, std::uint64_t clip);
  // Takes the fields of `change` (name, settings, the clips' order and settings), all or nothing.
  SetError Update(StudioSet& set, const nlohmann::json& change);
  // Replaces the set's settings and clips with a set file's; the clips then wait for their files.
  SetError Import(StudioSet& set, const std::string& text, const std::string& file_name);
  // The set as a set file.
  std::string SetText(StudioSet& set);
  std::string Name(StudioSet& set);

  // Starts a build (fit first where the set leaves a choice) of the set as it is now. `unit_flash`
  // is the capacity when the set says "unit".
  Started Build(const std::shared_ptr<StudioSet>& set, std::optional<std::uint64_t> unit_flash,
                const std::string& unit_name, SetError& error);
  // The image of the set as it is now, for programming; refused when there is none or it is stale.
  SetError Image(StudioSet& set, BuiltImage& image);
  // A file of the last build ("image.cod", "joined.wav", "tarpel.wav", "vossik.wav").
  std::optional<std::filesystem::path> BuildFile(StudioSet& set, const std::string& name);

  // What the clips of every set hold on disk.
  std::uint64_t used();

 private:
  void Run(const std::shared_ptr<StudioSet>& set, sets::SetFile snapshot, std::uint64_t revision,
           std::optional<std::uint64_t> unit_flash, std::string unit_name, Job& job);
  SetError Editable(StudioSet& set);

  const std::filesystem::path root_;
  JobBoard& jobs_;
  const SetLimits limits_;
  std::mutex lock_;
  std::uint64_t next_ = 1;
  std::map<std::uint64_t, std::shared_ptr<StudioSet>> sets_;
};

}  // namespace velkin::studio
