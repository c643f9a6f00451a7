// What the studio refuses, and how it stays answerable: requests judged on their head alone,
// limits answered with their reason, names of any bytes, event streams and connections bounded,
// encodes on a pool that a stop cancels, work folders that never outlive their studio.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "studio_fixture.h"

namespace velkin::test {
namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
using nlohmann::json;
using tcp = asio::ip::tcp;

std::uint64_t OwnPid() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<std::uint64_t>(getpid());
#endif
}

// The studios' work folders under `temp`.
std::vector<fs::path> WorkFolders(const fs::path& temp) {
  std::vector<fs::path> out;
  for (const auto& entry : fs::directory_iterator(temp)) {
    if (entry.path().filename().string().rfind("velkin-studio-", 0) == 0) out.push_back(entry.path());
  }
  return out;
}

// The folder of sound `id` in the studio's work folder.
fs::path SoundFolder(const StudioProcess& studio, int id) {
  for (const auto& folder : WorkFolders(studio.temp())) {
    if (fs::exists(folder / ("sound-" + std::to_string(id)))) return folder / ("sound-" + std::to_string(id));
  }
  return {};
}

std::vector<std::uint8_t> ShortWav() {
  return SimpleWav(16000, Speechlike(1600, 16000));
}

// An upload's head, without its body.
std::string UploadHead(const StudioProcess& studio, std::uint64_t length, const std::string& more = {}) {
  return "POST /api/sounds?name=a.wav HTTP/1.1\r\nHost: " + studio.host() +
         "\r\nContent-Type: audio/wav\r\nContent-Length: " + std::to_string(length) + "\r\n" + more +
         "Expect: 100-continue\r\n\r\n";
}

TEST_F(StudioApi, NamesOfAnyBytesAreShownAndTheListKeepsWorking) {
  const auto wav = ShortWav();
  StudioOptions options;
#ifndef _WIN32
  // A Latin-1 file name, as an older file system gives it.
  const std::string latin1 = files_.File("caf\xE9.wav");
  WriteFileBytes(latin1, wav);
  options.args = {latin1};
#endif
  StudioProcess studio(options);
  ASSERT_TRUE(studio.started());
  // 301 bytes: cut to 200, the cut would fall inside the hundredth two-byte character.
  std::string long_name = "x";
  for (int i = 0; i < 150; ++i) long_name += "%C3%A9";
  const Reply added = studio.Post("/api/sounds?name=" + long_name, Text(wav), "audio/wav");
  ASSERT_EQ(added.status, 201) << added.body;
  // Bytes no text encoding has, a control character, and a character cut short at the end.
  const Reply odd = studio.Post("/api/sounds?name=%FF%FEab%01c%C3", Text(wav), "audio/wav");
  ASSERT_EQ(odd.status, 201) << odd.body;

  const Reply list = studio.Get("/api/sounds");
  ASSERT_EQ(list.status, 200) << list.body;
  std::vector<std::string> names;
  // A body that is not UTF-8 does not parse.
  for (const auto& sound : list.Json()) names.push_back(sound["name"].get<std::string>());
  std::string expected_long = "x";
  for (int i = 0; i < 99; ++i) expected_long += "\xC3\xA9";
  EXPECT_NE(std::find(names.begin(), names.end(), expected_long), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(),
                      "\xEF\xBF\xBD\xEF\xBF\xBD"
                      "abc\xEF\xBF\xBD"),
            names.end());
#ifndef _WIN32
  EXPECT_NE(std::find(names.begin(), names.end(), "caf\xEF\xBF\xBD.wav"), names.end());
#endif
  for (const auto& sound : list.Json()) {
    EXPECT_EQ(studio.Get("/api/sounds/" + std::to_string(sound["id"].get<int>())).status, 200);
  }
}

TEST_F(StudioApi, ForeignAndOversizedRequestsAreRefusedOnTheirHeadAlone) {
  StudioProcess studio({"--max-upload", "1000000"});
  ASSERT_TRUE(studio.started());
  const std::string host = "Host: " + studio.host() + "\r\n";
  struct Case {
    const char* what;
    std::string head;
    int status;
  };
  // Each announces a body and asks to be told to send it: none may hear "100 Continue", and none
  // has to send its body to hear why not.
  const std::vector<Case> cases = {
      {"a foreign page's 200 MB upload", UploadHead(studio, 200000000, "Origin: http://attacker.example\r\n"), 403},
      {"a foreign Host",
       "POST /api/program HTTP/1.1\r\nHost: attacker.example:80\r\nContent-Type: application/json\r\n"
       "Content-Length: 100\r\nExpect: 100-continue\r\n\r\n",
       403},
      {"a cross-site page", UploadHead(studio, 1000, "Sec-Fetch-Site: cross-site\r\n"), 403},
      {"a page on another port", UploadHead(studio, 1000, "Sec-Fetch-Site: same-site\r\n"), 403},
      {"a megabyte of JSON",
       "POST /api/program HTTP/1.1\r\n" + host +
           "Content-Type: application/json\r\nContent-Length: 1000000\r\nExpect: 100-continue\r\n\r\n",
       413},
      {"an upload beyond --max-upload", UploadHead(studio, 2000000), 413},
      {"a body on a GET", "GET /api/info HTTP/1.1\r\n" + host + "Content-Length: 10\r\nExpect: 100-continue\r\n\r\n",
       413},
      {"a form posted as an upload",
       "POST /api/sounds HTTP/1.1\r\n" + host +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 1000\r\n"
           "Expect: 100-continue\r\n\r\n",
       415},
      {"JSON sent in chunks beyond its limit",
       "POST /api/program HTTP/1.1\r\n" + host +
           "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
           "4000\r\n" +
           std::string(0x4000, ' ') + "\r\n0\r\n\r\n",
       413},
  };
  for (const Case& c : cases) {
    const Reply reply = studio.SendHead(c.head);
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    EXPECT_TRUE(reply.Json().contains("error")) << c.what << ": " << reply.body;
  }
  EXPECT_EQ(studio.Get("/api/info").status, 200);
}

TEST_F(StudioApi, PostsOnlyWithTheirOwnContentTypeAndNoAnswerMayBeFramed) {
  StudioProcess studio;
  ASSERT_TRUE(studio.started());
  ASSERT_EQ(studio.AddSound(ShortWav()).value("state", ""), "ready");
  // What a page elsewhere can post without asking first, and no type at all.
  for (const char* type : {"text/plain", "application/x-www-form-urlencoded", "multipart/form-data; boundary=x", ""}) {
    EXPECT_EQ(studio.Post("/api/program", R"({"sound": 1})", type).status, 415) << type;
    EXPECT_EQ(studio.Post("/api/shutdown", "{}", type).status, 415) << type;
  }
  EXPECT_EQ(studio.Post("/api/sounds/1/encode", "", "Application/JSON; charset=utf-8").status, 202);
  // A plain GET from a page elsewhere carries no Origin, but says where it comes from.
  const std::string file = "/api/sounds/1/files/source.wav";
  EXPECT_EQ(studio.Get(file, {{"Sec-Fetch-Site", "cross-site"}}).status, 403);
  EXPECT_EQ(studio.Get(file, {{"Sec-Fetch-Site", "same-site"}}).status, 403);
  EXPECT_EQ(studio.Get(file, {{"Sec-Fetch-Site", "same-origin"}}).status, 200);
  EXPECT_EQ(studio.Get("/", {{"Sec-Fetch-Site", "none"}}).status, 200);

  const std::vector<Reply> answers = {
      studio.Get("/"),
      studio.Get("/api/info"),
      studio.Get(file),
      studio.Get("/api/nothing/here"),
      studio.Get("/api/info", {{"Origin", "http://attacker.example"}}),
      studio.Post("/api/program", "{}", "text/plain"),
      studio.SendHead(UploadHead(studio, 1u << 30)),
  };
  for (const Reply& reply : answers) {
    EXPECT_EQ(reply.Header("Content-Security-Policy"), "frame-ancestors 'none'") << reply.status;
    EXPECT_EQ(reply.Header("X-Frame-Options"), "DENY") << reply.status;
  }
  // The studio ran on through the refused shutdowns.
  EXPECT_EQ(studio.Get("/api/info").status, 200);
}

TEST_F(StudioApi, SoundsAreBoundedAndCanBeDeleted) {
  StudioProcess studio({"--max-sounds", "2"});
  ASSERT_TRUE(studio.started());
  const auto wav = ShortWav();
  ASSERT_EQ(studio.AddSound(wav).value("state", ""), "ready");
  ASSERT_EQ(studio.AddSound(wav).value("state", ""), "ready");
  const Reply full = studio.Post("/api/sounds?name=c.wav", Text(wav), "audio/wav");
  EXPECT_EQ(full.status, 503);
  EXPECT_NE(full.Json().value("error", "").find("--max-sounds"), std::string::npos) << full.body;
  EXPECT_EQ(studio.SendHead(UploadHead(studio, wav.size())).status, 503);

  const fs::path folder = SoundFolder(studio, 1);
  ASSERT_FALSE(folder.empty());
  const Reply deleted = studio.Delete("/api/sounds/1");
  EXPECT_EQ(deleted.status, 200) << deleted.body;
  EXPECT_EQ(deleted.Json()["deleted"], 1);
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(studio.Get("/api/sounds/1").status, 404);
  EXPECT_EQ(studio.Get("/api/sounds/1/files/source.wav").status, 404);
  EXPECT_EQ(studio.Delete("/api/sounds/1").status, 404);
  EXPECT_EQ(studio.Delete("/api/sounds/x1").status, 404);
  EXPECT_EQ(studio.Get("/api/sounds").Json().size(), 1u);

  // Room again; and a sound deleted while it is encoded goes once its job has ended.
  const Reply again =
      studio.Post("/api/sounds?name=long.wav", Text(SimpleWav(44100, Speechlike(44100 * 3, 44100))), "audio/wav");
  ASSERT_EQ(again.status, 201) << again.body;
  const int id = again.Json()["sound"]["id"].get<int>();
  EXPECT_EQ(studio.Delete("/api/sounds/" + std::to_string(id)).status, 200);
  const json job = studio.WaitJob(again.Json()["job"]["id"].get<std::uint64_t>());
  EXPECT_NE(job["state"], "running") << job.dump();
  EXPECT_TRUE(SoundFolder(studio, id).empty());
  EXPECT_EQ(studio.Get("/api/sounds").Json().size(), 1u);
}

TEST_F(StudioApi, TheWorkFolderIsBoundedAndSourceRatesAreChecked) {
  StudioProcess studio({"--max-disk", "2M"});
  ASSERT_TRUE(studio.started());
  // 2 KB at 10 Hz would be 3.2 MB of samples at 16 kHz, and 1 MB would be 1.6 GB.
  for (const std::uint32_t rate : {10u, 999u, 384001u}) {
    const json sound = studio.AddSound(SimpleWav(rate, Speechlike(1000, 8000)));
    EXPECT_EQ(sound.value("state", ""), "failed") << rate;
    EXPECT_NE(sound.value("error", "").find(std::to_string(rate) + " Hz"), std::string::npos) << sound.dump();
  }
  // An upload larger than the room left is refused on its head, with the status for space.
  const Reply head = studio.SendHead(UploadHead(studio, 3u << 20));
  EXPECT_EQ(head.status, 507) << head.body;
  EXPECT_NE(head.Json().value("error", "").find("--max-disk"), std::string::npos) << head.body;
  // 80 KB at 1 kHz is 640000 samples at 16 kHz, several copies of which the encode would write.
  const Reply grows =
      studio.Post("/api/sounds?name=slow.wav", Text(SimpleWav(1000, Speechlike(40000, 1000))), "audio/wav");
  EXPECT_EQ(grows.status, 507) << grows.body;
  // What fits is still taken, and what is left of an encode is only what the page offers.
  const json fits = studio.AddSound(SimpleWav(22050, Speechlike(22050, 22050), 1));
  ASSERT_EQ(fits.value("state", ""), "ready") << fits.dump();
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(SoundFolder(studio, fits["id"].get<int>()))) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"reference.wav", "source.wav", "tarpel.cod", "tarpel.wav", "vossik.cod",
                                             "vossik.wav"}));
}

TEST_F(StudioApi, EventStreamsAreBoundedAndAGoneClientFreesItsSlotAtOnce) {
  StudioProcess studio({"--max-streams", "2"});
  ASSERT_TRUE(studio.started());
  auto first = std::make_unique<EventStream>(studio.port());
  EventStream second(studio.port());
  EXPECT_EQ(first->status(), 200);
  EXPECT_EQ(second.status(), 200);
  EXPECT_EQ(EventStream(studio.port()).status(), 503);
  // The client goes without a word; its slot is free before any keep-alive would find out.
  first.reset();
  int status = 0;
  for (int i = 0; i < 100 && status != 200; ++i) {
    status = EventStream(studio.port()).status();
    if (status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(status, 200);
  EXPECT_EQ(studio.Get("/api/info").status, 200);
}

#ifndef _WIN32
TEST_F(StudioApi, ConnectionsStayBelowTheDescriptorLimitAndThePageIsStillAnswered) {
  StudioOptions options;
  options.descriptor_limit = 128;
  StudioProcess studio(options);
  ASSERT_TRUE(studio.started());
  // More idle connections than the studio has descriptors: none sends a byte.
  asio::io_context io;
  std::vector<std::unique_ptr<tcp::socket>> idle;
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(studio.port()));
  for (int i = 0; i < 200; ++i) {
    auto socket = std::make_unique<tcp::socket>(io);
    boost::system::error_code error;
    socket->connect(endpoint, error);
    if (!error) idle.push_back(std::move(socket));
  }
  EXPECT_GT(idle.size(), 128u);
  for (int i = 0; i < 3; ++i) {
    const Reply info =
        studio.SendHead("GET /api/info HTTP/1.1\r\nHost: " + studio.host() + "\r\n\r\n", std::chrono::seconds(5));
    EXPECT_EQ(info.status, 200);
  }
}
#endif

TEST_F(StudioApi, AWorkFolderLeftByAKilledStudioGoesAtTheNextStart) {
  TempDir temp;
  // A folder of a studio long gone, one of a process that runs (this test), and another name.
  const fs::path gone = temp.path() / "velkin-studio-2147483647-abcdef";
  const fs::path running = temp.path() / ("velkin-studio-" + std::to_string(OwnPid()) + "-abcdef");
  const fs::path other = temp.path() / "velkin-studio-notes";
  for (const auto& folder : {gone, running, other}) fs::create_directories(folder / "sound-1");
  WriteFileBytes((gone / "sound-1" / "source.wav").string(), ShortWav());

  StudioOptions options;
  options.temp = temp.path();
  fs::path killed_folder;
  {
    StudioProcess first(options);
    ASSERT_TRUE(first.started());
    ASSERT_EQ(first.AddSound(ShortWav()).value("state", ""), "ready");
    for (const auto& folder : WorkFolders(temp.path())) {
      if (folder.filename().string().rfind("velkin-studio-" + std::to_string(first.pid()) + "-", 0) == 0) {
        killed_folder = folder;
      }
    }
    ASSERT_FALSE(killed_folder.empty());
    first.Kill();
  }
  EXPECT_TRUE(fs::exists(killed_folder));
  StudioProcess second(options);
  ASSERT_TRUE(second.started());
  EXPECT_FALSE(fs::exists(killed_folder));
  EXPECT_FALSE(fs::exists(gone));
  EXPECT_TRUE(fs::exists(running));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_EQ(second.Shutdown(), 0);
  std::vector<fs::path> left = WorkFolders(temp.path());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<fs::path>{running, other}));
}

TEST_F(StudioApi, EncodesWaitForAWorkerAndAStopCancelsThem) {
  StudioProcess studio({"--workers", "1"});
  ASSERT_TRUE(studio.started());
  const auto wav = SimpleWav(44100, Speechlike(44100 * 2, 44100), 1);
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(studio.Post("/api/sounds?name=s.wav", Text(wav), "audio/wav").status, 201);
  }
  // One worker: at most one job has left the queue and not ended.
  const json jobs = studio.Get("/api/jobs").Json();
  ASSERT_EQ(jobs.size(), 6u);
  const auto working = std::count_if(
      jobs.begin(), jobs.end(), [](const json& job) { return job["state"] == "running" && job["step"] != "queued"; });
  EXPECT_LE(working, 1) << jobs.dump();
  EventStream events(studio.port());
  EXPECT_EQ(studio.Shutdown(), 0);
  EXPECT_TRUE(events.EndsWithin(std::chrono::seconds(10)));
  EXPECT_TRUE(fs::is_empty(studio.temp())) << "the work folder was left behind";
}

TEST_F(StudioApi, BothLoopbackAddressesShareOnePort) {
  // Another program on [::1] at the studio's default port.
  asio::io_context io;
  tcp::acceptor holder(io);
  boost::system::error_code error;
  holder.open(tcp::v6(), error);
  if (!error) holder.set_option(asio::ip::v6_only(true), error);
  if (!error) holder.bind(tcp::endpoint(asio::ip::make_address("::1"), 8716), error);
  if (!error) holder.listen(16, error);
  if (error) GTEST_SKIP() << "[::1]:8716 cannot be held here: " << error.message();

  StudioOptions options;
  options.any_port = false;
  StudioProcess studio(options);
  ASSERT_TRUE(studio.started());
  EXPECT_NE(studio.port(), 8716);
  // What a browser reaches for localhost:PORT on ::1 is this studio.
  namespace beast = boost::beast;
  namespace http = beast::http;
  beast::tcp_stream stream(io);
  http::request<http::empty_body> request{http::verb::get, "/api/info", 11};
  request.set(http::field::host, "localhost:" + std::to_string(studio.port()));
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  stream.expires_after(std::chrono::seconds(10));
  stream.async_connect(tcp::endpoint(asio::ip::make_address("::1"), static_cast<unsigned short>(studio.port())),
                       [&](beast::error_code failed) {
                         if (failed) return;
                         http::async_write(stream, request, [&](beast::error_code failed, std::size_t) {
                           if (!failed)
                             http::async_read(stream, buffer, response, [](beast::error_code, std::size_t) {});
                         });
                       });
  io.run();
  EXPECT_EQ(response.result_int(), 200u);
  EXPECT_EQ(json::parse(response.body(), nullptr, false).value("name", ""), "velkin-studio");
}

}  // namespace
}  // namespace velkin::test
