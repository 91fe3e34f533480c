#include "config/text.h"

#include <cstdint>
#include <limits>
#include <string_view>
#include <utility>

namespace tarnwicket {
namespace {

// Exactly these four bytes; \v, \f, NBSP and a BOM are content.
constexpr std::string_view kTrimBytes = " \t\r\n";

// isspace() of the "C" locale, which the number conversion skips before the sign.
bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(kTrimBytes);
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(kTrimBytes);
  return text.substr(first, last - first + 1);
}

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool parse_bool(const std::string& text, bool fallback) {
  const std::string v = lower(trim(text));
  if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
  if (v == "0" || v == "false" || v == "no" || v == "off") return false;
  return fallback;
}

// Accepts what a strtol-based string-to-int accepts (leading C whitespace, one
// optional sign, decimal digits) but insists that the digits end the text.
int parse_int(const std::string& text, int fallback) {
  const std::string t = trim(text);
  size_t i = 0;
  while (i < t.size() && is_c_space(t[i])) ++i;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    negative = t[i] == '-';
    ++i;
  }
  if (i == t.size() || !is_digit(t[i])) return fallback;

  // Magnitude limit of the sign read: 2147483647, or 2147483648 for a minus.
  const int64_t limit = int64_t{std::numeric_limits<int>::max()} + (negative ? 1 : 0);
  int64_t magnitude = 0;
  for (; i < t.size() && is_digit(t[i]); ++i) {
    magnitude = magnitude * 10 + (t[i] - '0');
    if (magnitude > limit) return fallback;
  }
  if (i != t.size()) return fallback;
  return static_cast<int>(negative ? -magnitude : magnitude);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    std::string piece = trim(text.substr(start, end - start));
    if (!piece.empty()) items.push_back(std::move(piece));
    start = end + 1;
  }
  return items;
}

std::string join(const std::vector<std::string>& items, char separator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out.push_back(separator);
    out += items[i];
  }
  return out;
}

}  // namespace tarnwicket
