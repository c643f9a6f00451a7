#include "router.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <new>
#include <system_error>

namespace velkin::studio {
namespace {

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::pair<std::string, std::string>> ParseQuery(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item.empty()) continue;
    const auto eq = item.find('=');
    out.emplace_back(PercentDecode(item.substr(0, eq), true),
                     eq == std::string_view::npos ? std::string() : PercentDecode(item.substr(eq + 1), true));
  }
  return out;
}

// Segment by segment: "*" takes one non-empty segment, anything else must be equal.
bool Match(std::string_view pattern, std::string_view path, std::vector<std::string>& matches) {
  matches.clear();
  std::size_t p = 0;
  std::size_t q = 0;
  for (;;) {
    if (p >= pattern.size() || q >= path.size() || pattern[p] != '/' || path[q] != '/') return false;
    ++p;
    ++q;
    const std::size_t pattern_end = std::min(pattern.find('/', p), pattern.size());
    const std::size_t path_end = std::min(path.find('/', q), path.size());
    const std::string_view want = pattern.substr(p, pattern_end - p);
    const std::string_view have = path.substr(q, path_end - q);
    if (want == "*") {
      if (have.empty()) return false;
      matches.emplace_back(have);
    } else if (want != have) {
      return false;
    }
    p = pattern_end;
    q = path_end;
    if (p == pattern.size() || q == path.size()) return p == pattern.size() && q == path.size();
  }
}

std::size_t LimitOf(const Route& route) {
  return route.body == BodyKind::kNone ? 0 : route.body_limit;
}

}  // namespace

bool HttpRequest::HasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return SameText(h.first, name); });
}

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameText(key, name)) return value;
  }
  return {};
}

std::string HttpRequest::Param(std::string_view name) const {
  for (const auto& [key, value] : query) {
    if (key == name) return value;
  }
  return {};
}

Method MethodOf(std::string_view text) {
  if (text == "GET") return Method::kGet;
  if (text == "POST") return Method::kPost;
  if (text == "DELETE") return Method::kDelete;
  return Method::kOther;
}

std::string PercentDecode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(plus_is_space && c == '+' ? ' ' : c);
  }
  return out;
}

void ParseTarget(std::string_view target, HttpRequest& request) {
  const auto question = target.find('?');
  request.path = PercentDecode(target.substr(0, question), false);
  request.query.clear();
  if (question != std::string_view::npos) request.query = ParseQuery(target.substr(question + 1));
}

std::string MediaType(std::string_view content_type) {
  std::string out;
  for (const char c : content_type.substr(0, content_type.find(';'))) {
    if (c != ' ' && c != '\t') out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

void Router::Add(Route route) {
  routes_.push_back(std::move(route));
}

HttpResponse Router::Refusal(int status, const std::string& reason) const {
  HttpResponse response;
  response.status = status;
  if (options_.on_error) options_.on_error(response, reason);
  return response;
}

Screened Router::Screen(HttpRequest& request) const {
  Screened out;
  if (options_.admit && !options_.admit(request, out.refusal)) {
    if (out.refusal.body.empty()) out.refusal = Refusal(out.refusal.status);
    return out;
  }
  bool path_known = false;
  std::vector<std::string> matches;
  for (const Route& route : routes_) {
    if (!Match(route.pattern, request.path, matches)) continue;
    path_known = true;
    if (route.method != request.method) continue;
    out.route = &route;
    request.matches = std::move(matches);
    break;
  }
  if (out.route == nullptr) {
    out.refusal = Refusal(path_known ? 405 : 404);
    return out;
  }
  const Route& route = *out.route;
  // A page elsewhere can post text/plain or a form without asking first; nothing here takes those.
  if (request.method == Method::kPost && MediaType(request.Header("Content-Type")) != route.content_type) {
    out.route = nullptr;
    out.refusal = Refusal(415, "this request takes Content-Type: " + route.content_type);
    return out;
  }
  if (request.declared_length && *request.declared_length > LimitOf(route)) {
    out.route = nullptr;
    out.refusal = Refusal(413);
    return out;
  }
  if (route.precheck && !route.precheck(request, out.refusal)) {
    out.route = nullptr;
    if (out.refusal.body.empty()) out.refusal = Refusal(out.refusal.status);
  }
  return out;
}

HttpResponse Router::Dispatch(const Route& route, HttpRequest& request) const {
  HttpResponse response;
  try {
    route.handler(request, response);
  } catch (const std::bad_alloc&) {
    response = Refusal(503, "out of memory: try again later");
  } catch (const std::exception&) {
    response = Refusal(500);
  }
  if (response.status >= 400 && response.body.empty() && response.file.empty() && !response.feed) {
    response = Refusal(response.status);
  }
  return response;
}

HttpResponse Router::Handle(HttpRequest& request) const {
  const Screened screened = Screen(request);
  if (screened.route == nullptr) return screened.refusal;
  const Route& route = *screened.route;
  if (request.body.size() > LimitOf(route)) return Refusal(413);
  if (route.body != BodyKind::kFile || !request.body_file.empty()) return Dispatch(route, request);
  request.body_file = Spool();
  if (request.body_file.empty()) return Refusal(507, "the work folder takes no more files");
  bool written = false;
  {
    std::ofstream out(request.body_file, std::ios::binary);
    out.write(request.body.data(), static_cast<std::streamsize>(request.body.size()));
    written = static_cast<bool>(out);
  }
  request.body.clear();
  HttpResponse response = written ? Dispatch(route, request) : Refusal(507, "the work folder takes no more files");
  // Unless the handler moved it in place.
  std::error_code ignored;
  std::filesystem::remove(request.body_file, ignored);
  return response;
}

}  // namespace velkin::studio
