#include "velkin_cli.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/support/program_paths.h"

namespace velkin::test {

std::vector<nlohmann::json> CliRun::Json() const {
  std::vector<nlohmann::json> objects;
  for (const auto& line : out) {
    const auto object = nlohmann::json::parse(line, nullptr, false);
    EXPECT_TRUE(object.is_object()) << "not a JSON object: " << line;
    if (object.is_object()) objects.push_back(object);
  }
  return objects;
}

nlohmann::json CliRun::Of(const std::string& folder) const {
  for (const auto& object : Json()) {
    const std::string unit = object.value("unit", object.value("name", ""));
    if (unit.rfind(folder + "@", 0) == 0) return object;
  }
  return nullptr;
}

std::string CliRun::Text() const {
  std::string text;
  for (const auto& line : out) text += line + "\n";
  return text;
}

CliRun VelkinCli::Run(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  CliRun run;
  auto child = Start(args);
  if (!child) {
    ADD_FAILURE() << "velkin did not start";
    return run;
  }
  child->CloseInput();
  run.out = child->ReadAllLines(timeout);
  run.status = child->Wait(timeout);
  run.err = ReadErr();
  return run;
}

std::unique_ptr<ChildProcess> VelkinCli::Start(const std::vector<std::string>& args) {
  return ChildProcess::Start(ProgramPath("velkin"), args, {{"VELKIN_EMULATOR", devices_.root().string()}}, ErrPath());
}

std::string VelkinCli::ReadErr() const {
  std::ifstream in(ErrPath(), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::erase(text, '\r');
  return text;
}

std::string VelkinCli::Name(const std::string& folder) {
  if (names_.count(folder) == 0) {
    for (const auto& unit : Run({"devices", "--json"}).Json()) {
      const std::string name = unit.value("name", "");
      names_[name.substr(0, name.find('@'))] = name;
    }
  }
  return names_[folder];
}

std::string VelkinCli::WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
  const std::string path = File(name);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + seed + (i >> 11));
  return bytes;
}

}  // namespace velkin::test
