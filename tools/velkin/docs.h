// The man page and the bash completion, made from the same option definitions as --help. The
// build runs the program with a hidden option to write them, so neither is written by hand.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

namespace velkin::cli {

std::string ManPage(const CLI::App& app, const std::string& version);
std::string BashCompletion(const CLI::App& app);

}  // namespace velkin::cli
