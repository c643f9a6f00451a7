#include "server.h"

#include "events.h"

namespace velkin::studio {

struct Server::Impl {
  Impl(ServerParts p, const ServerOptions& options)
      : parts(p), api(p, options.api, [this] { Stop(); }), http(api.router(), options.http) {}

  void Stop() {
    parts.events.Close();
    http.Stop();
  }

  ServerParts parts;
  StudioApi api;
  HttpServer http;
};

Server::Server(ServerParts parts, ServerOptions options) : impl_(std::make_unique<Impl>(parts, options)) {}

Server::~Server() = default;

Server::Binding Server::Bind(int port, bool fallback) {
  HttpServer& http = impl_->http;
  Binding out;
  // A few rounds: a free IPv4 port may be one another program holds on ::1.
  for (int attempt = 0; attempt < 20 && out.port < 0; ++attempt) {
    const bool asked = attempt == 0 && port != 0;
    if (!asked && !fallback && port != 0) break;
    const Bound v4 = http.Bind("127.0.0.1", asked ? port : 0);
    if (v4.port <= 0) continue;
    const Bound v6 = http.Bind("::1", v4.port);
    if (v6.port > 0 || v6.error == BindError::kUnavailable) {
      out.port = v4.port;
    } else if (asked && !fallback) {
      // The browser may reach localhost:PORT on ::1, which is not this program.
      out.port = v4.port;
      out.warning = "[::1]:" + std::to_string(v4.port) +
                    " is held by another program: open http://127.0.0.1:" + std::to_string(v4.port) +
                    "/, as localhost:" + std::to_string(v4.port) + " may reach that program instead";
    } else {
      http.Unbind();
    }
  }
  if (out.port > 0) impl_->api.Listen(out.port);
  return out;
}

void Server::Serve() {
  impl_->http.Serve();
}

void Server::Stop() {
  impl_->Stop();
}

std::size_t Server::connection_cap() const {
  return impl_->http.connection_cap();
}

}  // namespace velkin::studio
