#include "gateway/admin_server.h"

#include <microhttpd.h>
#include <strings.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>

#include "gateway/admission.h"
#include "gateway/http_library.h"
#include "net/stream.h"

namespace tarnwicket {

namespace {

constexpr int kAdminBacklog = 256;
constexpr unsigned kAdminThreads = 2;  // each polls the listener and its share of the clients
// Room for hundreds of idle or slow clients besides the probes: at its limit
// the library stops accepting, and a probe would wait in the backlog until a
// held connection times out. An idle connection touches little of its memory.
constexpr unsigned kMaxConnections = 1024;
// One address beyond this is closed at once, so it cannot take every slot.
constexpr unsigned kMaxConnectionsPerAddress = kMaxConnections / 4;
// Silence after which a connection is closed: while its request arrives, while
// its answer is sent, and while it is kept alive between requests.
constexpr unsigned kConnectionTimeoutSeconds = 2;
// All of a connection's memory. The request line and headers must fit in it,
// or the library answers 431 (414 for the request line alone) and closes.
constexpr std::size_t kConnectionMemoryBytes = std::size_t{16} * 1024;
constexpr std::size_t kThreadStackBytes = std::size_t{256} * 1024;
constexpr unsigned kDaemonFlags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL;
constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kTextType = "text/plain; charset=utf-8";

struct ResponseRelease {
  void operator()(MHD_Response* response) const { http_library().destroy_response(response); }
};
using Response = std::unique_ptr<MHD_Response, ResponseRelease>;

// Null when memory runs out. A null type sends no Content-Type.
Response make_response(std::string_view body, const char* type) {
  Response response(http_library().create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY));
  if (response && type != nullptr &&
      http_library().add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE, type) !=
          MHD_YES)
    response.reset();
  return response;
}

// The library answers a Content-Length it cannot read on its own, without the
// handler, and this version writes that answer's status line and headers
// twice. So every request is shown a Content-Length of 0 ahead of the
// client's headers (the library reads the first one), and the handler judges
// the client's own.
constexpr char kShownLength[] = "0";

void* show_no_body(void* /*self*/, const char* /*uri*/, MHD_Connection* connection) noexcept {
  http_library().set_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH,
                                      kShownLength);
  return nullptr;  // the handler's request state
}

MHD_Result note_body(void* body, MHD_ValueKind /*kind*/, const char* key,
                     const char* value) noexcept {
  if (value != kShownLength &&
      (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0 ||
       (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0 && std::string_view(value) != "0")))
    *static_cast<bool*>(body) = true;
  return MHD_YES;
}

// Whether the client announces a body, or a Content-Length that is not 0.
bool has_body(MHD_Connection* connection) {
  bool body = false;
  http_library().get_connection_values(connection, MHD_HEADER_KIND, &note_body, &body);
  return body;
}

// 400, and the connection closed after it: the body is never read, so the
// library must not take it for the next request.
MHD_Result refuse_body(MHD_Connection* connection) {
  Response response = make_response("bad request\n", kTextType);
  if (!response || http_library().add_response_header(response.get(), MHD_HTTP_HEADER_CONNECTION,
                                                      "close") != MHD_YES)
    return MHD_NO;
  return http_library().queue_response(connection, MHD_HTTP_BAD_REQUEST, response.get());
}

}  // namespace

struct AdminServer::Impl {
  struct DaemonStop {
    void operator()(MHD_Daemon* server) const { http_library().stop_daemon(server); }
  };

  Handlers handlers;
  std::vector<IpNetwork> allow;  // empty: everyone
  std::unique_ptr<MHD_Daemon, DaemonStop> daemon;

  // Called right after the accept, before anything is read; MHD_NO closes.
  static MHD_Result admit(void* self, const sockaddr* address, socklen_t length) noexcept {
    sockaddr_storage client{};
    std::memcpy(&client, address, std::min<std::size_t>(length, sizeof client));
    return allowed(static_cast<Impl*>(self)->allow, client) ? MHD_YES : MHD_NO;
  }

  // Called on a pool thread once a request's head is in, and again once its
  // body is. A request that announces a body is refused at the first call.
  // Any other is answered at the second, which keeps the connection alive.
  // HEAD answers go out without their body; MHD_NO closes only this connection.
  static MHD_Result answer(void* self, MHD_Connection* connection, const char* url,
                           const char* method, const char* /*version*/, const char* /*upload_data*/,
                           std::size_t* /*upload_data_size*/, void** request_state) noexcept {
    if (*request_state == nullptr) {
      if (has_body(connection)) return refuse_body(connection);
      *request_state = self;
      return MHD_YES;
    }
    const Handlers& handlers = static_cast<Impl*>(self)->handlers;
    const std::string_view path(url), verb(method);
    unsigned status = MHD_HTTP_OK;
    Response response;
    try {
      if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
        status = MHD_HTTP_METHOD_NOT_ALLOWED;
        response = make_response("method not allowed\n", kTextType);
        if (response && http_library().add_response_header(response.get(), MHD_HTTP_HEADER_ALLOW,
                                                           "GET, HEAD") != MHD_YES)
          return MHD_NO;
      } else if (path == "/metrics") {
        response = make_response(handlers.metrics(), kExpositionType);
      } else if (path == "/healthz") {
        response = make_response("ok\n", kTextType);
      } else if (path == "/readyz") {
        const bool ready = handlers.ready();
        const bool draining = !ready && handlers.draining && handlers.draining();
        status = ready ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE;
        response = make_response(ready      ? "ready\n"
                                 : draining ? "draining\n"
                                            : "not ready\n",
                                 kTextType);
      } else {
        status = MHD_HTTP_NOT_FOUND;
        response = make_response("", nullptr);
      }
    } catch (const std::exception&) {
      return MHD_NO;
    }
    return response ? http_library().queue_response(connection, status, response.get()) : MHD_NO;
  }
};

AdminServer::AdminServer(Handlers handlers) : impl_(std::make_unique<Impl>()) {
  impl_->handlers = std::move(handlers);
}

AdminServer::~AdminServer() { stop(); }

bool AdminServer::start(std::uint32_t address, int port, std::vector<IpNetwork> allowed) {
  impl_->allow = std::move(allowed);
  const HttpLibrary& http = http_library();
  UniqueFd listener = open_tcp_listener(address, port, kAdminBacklog);
  if (!listener) return false;
  // The library owns the listener from here: it closes it when it cannot
  // start, and at the stop.
  errno = 0;
  impl_->daemon.reset(http.start_daemon(
      kDaemonFlags, 0, &Impl::admit, impl_.get(), &Impl::answer, impl_.get(),
      MHD_OPTION_LISTEN_SOCKET, listener.release(), MHD_OPTION_THREAD_POOL_SIZE, kAdminThreads,
      MHD_OPTION_THREAD_STACK_SIZE, kThreadStackBytes, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT,
      kConnectionTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemoryBytes,
      MHD_OPTION_URI_LOG_CALLBACK, &show_no_body, nullptr, MHD_OPTION_END));
  if (!impl_->daemon) throw std::system_error(errno != 0 ? errno : EAGAIN, std::generic_category());
  return true;
}

void AdminServer::stop() { impl_->daemon.reset(); }

}  // namespace tarnwicket
