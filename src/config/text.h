#pragma once

// Byte-string helpers shared by both configuration files. Text is never
// decoded: UTF-8 passes through unchanged. None of these functions throws.

#include <string>
#include <vector>

namespace tarnwicket {

// Removes leading and trailing spaces, tabs, CR and LF (those four bytes only).
std::string trim(const std::string& text);

// Lowers ASCII capitals; every other byte is kept.
std::string lower(std::string text);

// "1", "true", "yes", "on" / "0", "false", "no", "off" after trim and lower;
// anything else gives the fallback.
bool parse_bool(const std::string& text, bool fallback);

// A whole base-10 32-bit integer after trim, or the fallback.
int parse_int(const std::string& text, int fallback);

// Cuts at every separator, trims the pieces and drops the empty ones.
std::vector<std::string> split(const std::string& text, char separator);

// Puts the separator between consecutive items; items are written unchanged.
std::string join(const std::vector<std::string>& items, char separator);

}  // namespace tarnwicket
