#include "gateway/http_library.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace tarnwicket {

namespace {

template <class Fn>
void bind(void* library, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(::dlsym(library, name));
  if (fn == nullptr) throw std::runtime_error(std::string("无法加载 HTTP 库: 缺少 ") + name);
}

HttpLibrary load() {
  void* library = ::dlopen(TARNWICKET_HTTP_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = ::dlerror();  // NOLINT(concurrency-mt-unsafe): glibc keeps it per thread
    throw std::runtime_error(std::string("无法加载 HTTP 库: ") +
                             (why ? why : TARNWICKET_HTTP_LIBRARY));
  }
  HttpLibrary http{};
  bind(library, "MHD_start_daemon", http.start_daemon);
  bind(library, "MHD_stop_daemon", http.stop_daemon);
  bind(library, "MHD_create_response_from_buffer", http.create_response_from_buffer);
  bind(library, "MHD_destroy_response", http.destroy_response);
  bind(library, "MHD_add_response_header", http.add_response_header);
  bind(library, "MHD_queue_response", http.queue_response);
  bind(library, "MHD_get_connection_values", http.get_connection_values);
  bind(library, "MHD_set_connection_value", http.set_connection_value);
  return http;
}

}  // namespace

const HttpLibrary& http_library() {
  static const HttpLibrary http = load();
  return http;
}

}  // namespace tarnwicket
