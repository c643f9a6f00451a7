// The results of a build or a fit, and the diagnostics, as JSON: the shape `velkin build --json`
// prints and the studio's HTTP API sends. Numbers that are not finite become null.
#pragma once

#include <nlohmann/json.hpp>

#include "sets/build.h"
#include "sets/diagnostics.h"

namespace velkin::sets {

nlohmann::json ToJson(const Diagnostic& diagnostic);
nlohmann::json ToJson(const Diagnostics& diagnostics);
nlohmann::json ToJson(const ImageSettings& settings);
nlohmann::json ToJson(const Candidate& candidate);
nlohmann::json ToJson(const FitResult& fit);
nlohmann::json ToJson(const ClipReport& clip);
nlohmann::json ToJson(const BuildReport& report);
nlohmann::json ToJson(const Timings& timings);

}  // namespace velkin::sets
