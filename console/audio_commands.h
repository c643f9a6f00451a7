// Commands that prepare sound files: encoding, resampling and one-channel copies.
#pragma once

#include <cstdint>
#include <string>

namespace velkin::console {

void VossikCommand(const char* line);
void TarpelCommand(const char* line);
void WavconvCommand(const char* line);
void MonoCommand(const char* line);

// Progress lines relayed from the encoders.
int32_t TarpelProgress(int32_t kind, int32_t percent, intptr_t user);
int32_t VossikProgress(int32_t kind, int32_t percent, intptr_t user);

// Name of the 16000 Hz copy of a source: the path up to its first "." followed by "x16000.wav".
std::string ResampledCopyName(const std::string& source);

// Makes the 16000 Hz copy of `source`; returns the converter's result (0: nothing written).
int32_t DownsampleWave(const char* source);

}  // namespace velkin::console
