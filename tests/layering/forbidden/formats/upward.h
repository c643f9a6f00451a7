// A bottom layer reaching up to a layer above it.
#pragma once
#include "riff/riff_file.h"
