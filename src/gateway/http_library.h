#pragma once

// The admin listener's HTTP library, loaded when a listener first starts: a
// server without one maps neither it nor the TLS libraries it brings along,
// more than a megabyte of memory at idle.

#include <microhttpd.h>

namespace tarnwicket {

struct HttpLibrary {
  decltype(&MHD_start_daemon) start_daemon;
  decltype(&MHD_stop_daemon) stop_daemon;
  decltype(&MHD_create_response_from_buffer) create_response_from_buffer;
  decltype(&MHD_destroy_response) destroy_response;
  decltype(&MHD_add_response_header) add_response_header;
  decltype(&MHD_queue_response) queue_response;
  decltype(&MHD_get_connection_values) get_connection_values;
  decltype(&MHD_set_connection_value) set_connection_value;
};

// Loaded once and kept for the process's life. Throws std::runtime_error
// saying why when it cannot be loaded; a later call tries again.
const HttpLibrary& http_library();

}  // namespace tarnwicket
