// The console's own WAV routine: a one-channel copy of a multi-channel WAV file.
#pragma once

namespace velkin::console {

// Writes a one-channel copy of `source` to `destination`, keeping the first of every two samples.
// Returns 1 when the copy was written, 0 when the source has one channel already (nothing
// written), -1 on any failure. Prints its own unmarked messages.
int MakeMonoWave(const char* source, const char* destination);

}  // namespace velkin::console
