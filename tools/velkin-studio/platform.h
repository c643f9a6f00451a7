// What the studio program does differently on Linux and on Windows: stop requests from the
// system, starting a browser, the private work folder, processes, descriptors and binding a port. One implementation
// per system under os/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace velkin::studio {

// Whether a listening socket sets SO_REUSEADDR. On Linux it lets a restarted studio take its
// port back at once; on Windows it would let a second program bind a port already in use.
extern const bool kBindReusesAddress;

// Waits for the system to ask the program to stop: Ctrl-C, SIGTERM/SIGHUP on Linux; Ctrl-C,
// Ctrl-Break and the console window closing on Windows. Make it first in main, before any
// thread starts, so that those signals reach only this object.
class StopRequests {
 public:
  StopRequests();
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  // Blocks until a stop is asked for, or until Release.
  void Wait();
  // Ends a Wait that no stop request will end (the program stops for another reason).
  void Release();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Starts the user's default browser on `url`; false when none could be started.
bool OpenBrowser(const std::string& url);

// A new folder `<prefix><unique>` under `base` that only the current user can open.
std::optional<std::filesystem::path> MakePrivateFolder(const std::filesystem::path& base, const std::string& prefix);

// This process's number, and whether the process of that number still runs (a process of another
// user counts as running).
std::uint64_t CurrentProcessId();
bool ProcessRuns(std::uint64_t pid);
// Whether `folder` is a folder (not a link to one) that belongs to the current user.
bool OwnFolder(const std::filesystem::path& folder);

// How many descriptors (files, sockets) the process may hold at once; 0 where there is no such
// limit to speak of.
std::size_t DescriptorLimit();

}  // namespace velkin::studio
