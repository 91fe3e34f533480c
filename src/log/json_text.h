#pragma once

// JSON string escaping for the log lines: '"', '\' and bytes below 0x20 are
// escaped, every other byte (UTF-8 included) is kept as it is.

#include <cstddef>
#include <string_view>

namespace tarnwicket {

// Calls put(piece) with consecutive pieces of the escaped text, without
// allocating, so that the same code sizes a line and then writes it.
template <class Put>
void escape_json(std::string_view text, Put&& put) {
  constexpr char kHex[] = "0123456789abcdef";
  std::size_t from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    put(text.substr(from, i - from));
    from = i + 1;
    char escaped[6] = {'\\', static_cast<char>(c), '0', '0', '0', '0'};
    std::size_t size = 2;
    if (c == '\n') {
      escaped[1] = 'n';
    } else if (c == '\r') {
      escaped[1] = 'r';
    } else if (c == '\t') {
      escaped[1] = 't';
    } else if (c < 0x20) {
      escaped[1] = 'u';
      escaped[4] = kHex[c >> 4];  // \u00XX
      escaped[5] = kHex[c & 0xf];
      size = 6;
    }
    put(std::string_view(escaped, size));
  }
  put(text.substr(from));
}

inline std::size_t json_escaped_size(std::string_view text) {
  std::size_t size = 0;
  escape_json(text, [&](std::string_view piece) { size += piece.size(); });
  return size;
}

}  // namespace tarnwicket
