#pragma once

// The INI syntax of both configuration files, and the whole-file writer.

#include <filesystem>
#include <map>
#include <string>

namespace tarnwicket {

// A parsed document: section -> key -> value, both ordered byte-wise. A
// section exists only when at least one key was read under it.
struct IniFile {
  std::map<std::string, std::map<std::string, std::string>> sections;

  // The stored value (possibly empty) or the fallback.
  std::string get(const std::string& section, const std::string& key,
                  const std::string& fallback) const;
  bool has(const std::string& section, const std::string& key) const;
};

// Throws std::runtime_error with the user-facing message on the first error;
// a file that cannot be read to its end fails like one that cannot be opened.
IniFile load_ini(const std::filesystem::path& path);

// Creates missing parent directories, then replaces the file's content.
// Throws std::runtime_error when the file cannot be opened for writing.
void save_text(const std::filesystem::path& path, const std::string& text);

}  // namespace tarnwicket
