#include "studio_process.h"

#include <httplib.h>

#include "tests/support/program_paths.h"

namespace velkin::test {

StudioProcess::StudioProcess(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--port", "0"};
  all.insert(all.end(), args.begin(), args.end());
  child_ = ChildProcess::Start(ProgramPath("velkin-studio"), all, {{"TMPDIR", temp_.path().string()}});
  if (!child_) return;
  const auto line = child_->ReadLine(std::chrono::seconds(20));
  const std::string prefix = "http://127.0.0.1:";
  if (!line || line->rfind(prefix, 0) != 0) return;
  port_ = std::stoi(line->substr(prefix.size()));
  http_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
  http_->set_read_timeout(60, 0);
}

StudioProcess::~StudioProcess() {
  if (child_ && !stopped_) {
    if (Shutdown() != 0) child_->Kill();
  }
}

Reply StudioProcess::Get(const std::string& path, const std::vector<std::pair<std::string, std::string>>& headers) {
  httplib::Headers h(headers.begin(), headers.end());
  const auto res = http_->Get(path, h);
  return res ? Reply{res->status, res->body} : Reply{};
}

Reply StudioProcess::Post(const std::string& path, const std::string& body, const std::string& type,
                          const std::vector<std::pair<std::string, std::string>>& headers) {
  httplib::Headers h(headers.begin(), headers.end());
  const auto res = http_->Post(path, h, body, type);
  return res ? Reply{res->status, res->body} : Reply{};
}

nlohmann::json StudioProcess::AddSound(const std::vector<std::uint8_t>& wav, const std::string& query) {
  const Reply reply = Post("/api/sounds?name=test.wav" + query, std::string(wav.begin(), wav.end()), "audio/wav");
  const auto body = reply.Json();
  if (reply.status != 201) return body;
  WaitJob(body["job"]["id"].get<std::uint64_t>());
  return Get("/api/sounds/" + std::to_string(body["sound"]["id"].get<std::uint64_t>())).Json();
}

nlohmann::json StudioProcess::WaitJob(std::uint64_t id, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  nlohmann::json job;
  do {
    job = Get("/api/jobs/" + std::to_string(id)).Json();
    if (!job.is_object() || job.value("state", "") != "running") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < end);
  return job;
}

int StudioProcess::Shutdown() {
  stopped_ = true;
  if (http_) Post("/api/shutdown", "", "application/json");
  return child_->Wait(std::chrono::seconds(30));
}

std::vector<std::string> StudioProcess::LaterOutput() {
  return child_->ReadAllLines(std::chrono::seconds(2));
}

}  // namespace velkin::test
