#include "studio_process.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "tests/support/program_paths.h"

namespace velkin::test {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

// One request on a connection of its own, as a script with curl would send it. Nothing (status
// 0) when the studio cannot be reached or does not answer within a minute.
Reply Exchange(int port, http::verb method, const std::string& path, const std::string& body, const std::string& type,
               const std::vector<std::pair<std::string, std::string>>& headers) {
  asio::io_context io;
  beast::tcp_stream stream(io);
  http::request<http::string_body> request{method, path, 11};
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  for (const auto& [name, value] : headers) request.set(name, value);
  if (method == http::verb::post) {
    request.set(http::field::content_type, type);
    request.body() = body;
    request.prepare_payload();
  }
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(boost::none);
  Reply reply;
  stream.expires_after(std::chrono::seconds(60));
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
  stream.async_connect(endpoint, [&](beast::error_code error) {
    if (error) return;
    http::async_write(stream, request, [&](beast::error_code error, std::size_t) {
      if (error) return;
      http::async_read(stream, buffer, parser, [&](beast::error_code error, std::size_t) {
        if (error) return;
        reply.status = static_cast<int>(parser.get().result_int());
        reply.body = parser.get().body();
      });
    });
  });
  io.run();
  return reply;
}

}  // namespace

StudioProcess::StudioProcess(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--port", "0"};
  all.insert(all.end(), args.begin(), args.end());
  child_ = ChildProcess::Start(
      ProgramPath("velkin-studio"), all,
      {{"TMPDIR", temp_.path().string()}, {"TMP", temp_.path().string()}, {"TEMP", temp_.path().string()}});
  if (!child_) return;
  const auto line = child_->ReadLine(std::chrono::seconds(20));
  const std::string prefix = "http://127.0.0.1:";
  if (!line || line->rfind(prefix, 0) != 0) return;
  port_ = std::stoi(line->substr(prefix.size()));
}

StudioProcess::~StudioProcess() {
  if (child_ && !stopped_) {
    if (Shutdown() != 0) child_->Kill();
  }
}

Reply StudioProcess::Get(const std::string& path, const std::vector<std::pair<std::string, std::string>>& headers) {
  return Exchange(port_, http::verb::get, path, "", "", headers);
}

Reply StudioProcess::Post(const std::string& path, const std::string& body, const std::string& type,
                          const std::vector<std::pair<std::string, std::string>>& headers) {
  return Exchange(port_, http::verb::post, path, body, type, headers);
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
  if (port_ > 0) Post("/api/shutdown", "", "application/json");
  return child_->Wait(std::chrono::seconds(30));
}

std::vector<std::string> StudioProcess::LaterOutput() {
  return child_->ReadAllLines(std::chrono::seconds(2));
}

}  // namespace velkin::test
