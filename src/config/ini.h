#pragma once

// The INI syntax of both configuration files, and the whole-file writer.

#include <cstddef>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tarnwicket {

using IniKey = std::pair<std::string, std::string>;  // section, key

// A parsed document: section -> key -> value, both ordered byte-wise. A
// section exists only when at least one key was read under it.
struct IniFile {
  std::map<std::string, std::map<std::string, std::string>> sections;
  // The 1-based line of each stored value (the last one of a repeated key).
  std::map<IniKey, std::size_t> key_lines;
  // Every section header with its line, in file order, repeated ones and
  // those without keys included.
  std::vector<std::pair<std::string, std::size_t>> headers;
  // What the getters were asked for, and the stored values that get_int and
  // get_bool could not read and replaced with the fallback: what a reader
  // ignored, for --lint. Asking leaves the document as it is, hence mutable;
  // so one IniFile is not for concurrent readers.
  mutable std::set<IniKey> asked;
  mutable std::set<IniKey> fell_back;

  // The stored value (possibly empty) or the fallback.
  std::string get(const std::string& section, const std::string& key,
                  const std::string& fallback) const;
  bool has(const std::string& section, const std::string& key) const;
  // parse_int and parse_bool of the stored value; the fallback when the key is
  // missing or its value is not one.
  int get_int(const std::string& section, const std::string& key, int fallback) const;
  bool get_bool(const std::string& section, const std::string& key, bool fallback) const;
};

// Throws std::runtime_error with the user-facing message on the first error;
// a file that cannot be read to its end fails like one that cannot be opened.
IniFile load_ini(const std::filesystem::path& path);

// Creates missing parent directories, then replaces the file's content.
// Throws std::runtime_error when the file cannot be opened for writing.
void save_text(const std::filesystem::path& path, const std::string& text);

}  // namespace tarnwicket
