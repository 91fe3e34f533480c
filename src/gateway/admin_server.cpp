#include "gateway/admin_server.h"

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/socket_util.h"

namespace tarnwicket {

namespace {

constexpr std::size_t kAdminThreads = 4;
constexpr int kAdminBacklog = 64;
// Each also bounds how long stop() waits for a connection: one in the middle
// of a request ends at its read or write time-out, an idle kept-alive one when
// its keep-alive time runs out.
constexpr time_t kReadTimeoutSeconds = 1;  // between two reads of one request
constexpr time_t kWriteTimeoutSeconds = 1;
constexpr time_t kKeepAliveSeconds = 1;
constexpr std::size_t kKeepAliveRequests = 100;
constexpr std::size_t kMaxBodyBytes = 4096;  // GET and HEAD carry none
constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kTextType = "text/plain; charset=utf-8";

// The library's connection jobs, on a fixed number of threads. The library
// shuts the pool down (joining every thread) when its accept loop ends.
class FixedPool : public httplib::TaskQueue {
 public:
  explicit FixedPool(std::size_t threads) {
    try {
      for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
      shutdown();
      throw;
    }
  }
  ~FixedPool() override { shutdown(); }

  void enqueue(std::function<void()> job) override {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

  // Jobs still queued run first: after stop each only closes its socket.
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) {
      if (t.joinable()) t.join();
    }
  }

 private:
  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      try {
        job();
      } catch (const std::exception&) {
        // Only this connection is lost.
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_
  bool stopping_ = false;                   // guarded by mutex_
  std::vector<std::thread> threads_;
};

// Lends the library a listening socket that we bound ourselves, and takes it
// back for the stop: its accept loop and keep-alive loops end once the socket
// field reads invalid.
class HttpServer : public httplib::Server {
 public:
  void lend_listener(int fd) { svr_sock_ = fd; }
  int take_listener() { return svr_sock_.exchange(INVALID_SOCKET); }
};

}  // namespace

struct AdminServer::Impl {
  Handlers handlers;
  HttpServer http;
  std::unique_ptr<FixedPool> pool;
  UniqueFd listener;  // ours; the library accepts on a duplicate of it
  std::thread accept_thread;
  bool library_closed = false;  // the library gave up after an accept error and closed its copy

  void route() {
    using httplib::Request;
    using httplib::Response;
    http.set_pre_routing_handler([](const Request& req, Response& res) {
      if (req.method == "GET" || req.method == "HEAD")
        return httplib::Server::HandlerResponse::Unhandled;
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
      res.set_content("method not allowed\n", kTextType);
      return httplib::Server::HandlerResponse::Handled;
    });
    http.Get("/metrics", [this](const Request&, Response& res) {
      res.set_content(handlers.metrics(), kExpositionType);
    });
    http.Get("/healthz", [](const Request&, Response& res) { res.set_content("ok\n", kTextType); });
    http.Get("/readyz", [this](const Request&, Response& res) {
      const bool ready = handlers.ready();
      res.status = ready ? 200 : 503;
      const bool draining = !ready && handlers.draining && handlers.draining();
      res.set_content(ready ? "ready\n" : draining ? "draining\n" : "not ready\n", kTextType);
    });
    http.set_read_timeout(kReadTimeoutSeconds);
    http.set_write_timeout(kWriteTimeoutSeconds);
    http.set_keep_alive_timeout(kKeepAliveSeconds);
    http.set_keep_alive_max_count(kKeepAliveRequests);
    http.set_payload_max_length(kMaxBodyBytes);
  }
};

AdminServer::AdminServer(Handlers handlers) : impl_(std::make_unique<Impl>()) {
  impl_->handlers = std::move(handlers);
  impl_->route();
}

AdminServer::~AdminServer() { stop(); }

bool AdminServer::start(std::uint32_t address, int port) {
  Impl& im = *impl_;
  im.listener = open_tcp_listener(address, port, kAdminBacklog);
  if (!im.listener) return false;
  UniqueFd lent = duplicate_fd(im.listener.get());
  if (!lent) return false;
  im.pool = std::make_unique<FixedPool>(kAdminThreads);
  // The library asks for the pool as a raw pointer and deletes it after its
  // accept loop ends; until then the pool stays ours, so a failed start
  // still joins its threads.
  im.http.new_task_queue = [&im]() -> httplib::TaskQueue* { return im.pool.release(); };
  im.http.lend_listener(lent.release());
  try {
    im.accept_thread = std::thread([&im] { im.library_closed = !im.http.listen_after_bind(); });
  } catch (...) {
    UniqueFd(im.http.take_listener()).reset();
    throw;
  }
  return true;
}

void AdminServer::stop() {
  Impl& im = *impl_;
  if (!im.accept_thread.joinable()) {
    im.listener.reset();
    return;
  }
  // Taken back before the wake-up, so the library never closes it itself.
  UniqueFd lent(im.http.take_listener());
  shutdown_fd(im.listener.get());
  im.accept_thread.join();
  // After an accept error the library closed its copy before we took it back.
  if (im.library_closed) static_cast<void>(lent.release());
  im.listener.reset();
  im.pool.reset();
}

}  // namespace tarnwicket
