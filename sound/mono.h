// The console's one-channel copy of a WAV file (its MONO command and the second half of WAVCONV),
// here so that every program that makes such copies makes them alike.
#pragma once

#include <functional>

namespace velkin::sound {

// Receives each message of the routine, a whole line with its newline.
using MessageSink = std::function<void(const char* line)>;

// Writes a one-channel copy of `source` to `destination`, keeping the first of every two samples
// (for a stereo file: the left channel, unmixed). Returns 1 when the copy was written, 0 when the
// source has one channel already (nothing written), -1 on any failure. Its messages ("open file
// ...", and the reason of a failure) go to `messages`; the console passes standard output, where
// they are part of its answer. An empty sink drops them.
int MakeMonoWave(const char* source, const char* destination, const MessageSink& messages);

}  // namespace velkin::sound
