#include "config/ini.h"

#include <fstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "config/text.h"

namespace tarnwicket {
namespace {

std::runtime_error line_error(size_t line, const char* rest) {
  return std::runtime_error("配置第 " + std::to_string(line) + rest);
}

std::runtime_error unreadable(const std::filesystem::path& path) {
  return std::runtime_error("无法打开配置文件: " + path.string());
}

}  // namespace

std::string IniFile::get(const std::string& section, const std::string& key,
                         const std::string& fallback) const {
  asked.emplace(section, key);
  const auto s = sections.find(section);
  if (s == sections.end()) return fallback;
  const auto k = s->second.find(key);
  return k == s->second.end() ? fallback : k->second;
}

bool IniFile::has(const std::string& section, const std::string& key) const {
  asked.emplace(section, key);
  const auto s = sections.find(section);
  return s != sections.end() && s->second.count(key) > 0;
}

int IniFile::get_int(const std::string& section, const std::string& key, int fallback) const {
  if (!has(section, key)) return fallback;
  const std::string text = get(section, key, "");
  // A readable value gives the same number whatever the fallback.
  const int value = parse_int(text, fallback);
  if (value == fallback && parse_int(text, ~fallback) == ~fallback) fell_back.emplace(section, key);
  return value;
}

bool IniFile::get_bool(const std::string& section, const std::string& key, bool fallback) const {
  if (!has(section, key)) return fallback;
  const std::string text = get(section, key, "");
  const bool value = parse_bool(text, fallback);
  if (value == fallback && parse_bool(text, !fallback) == !fallback)
    fell_back.emplace(section, key);
  return value;
}

IniFile load_ini(const std::filesystem::path& path) {
  // A directory opens successfully on Linux and only fails on the first read;
  // refusing it up front keeps the message the same as for a missing file.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw unreadable(path);
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw unreadable(path);

  IniFile doc;
  std::string section = "default";
  size_t line_no = 0;
  std::string raw;
  while (std::getline(in, raw)) {
    ++line_no;
    // Trimming also drops the CR of a CR LF ending.
    const std::string line = trim(raw);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;

    if (line.front() == '[' && line.back() == ']') {
      std::string name = trim(line.substr(1, line.size() - 2));
      if (name.empty()) throw line_error(line_no, " 行的 section 为空");
      // The section enters the document only with its first key.
      doc.headers.emplace_back(name, line_no);
      section = std::move(name);
      continue;
    }

    const size_t eq = line.find('=');
    if (eq == std::string::npos) throw line_error(line_no, " 行缺少 '='");
    std::string key = trim(line.substr(0, eq));
    std::string value = trim(line.substr(eq + 1));
    // No quoting or escaping: a value ends at its first comment byte.
    const size_t comment = value.find_first_of("#;");
    if (comment != std::string::npos) value = trim(value.substr(0, comment));
    if (key.empty()) throw line_error(line_no, " 行的 key 为空");
    doc.key_lines[{section, key}] = line_no;
    doc.sections[section][std::move(key)] = std::move(value);
  }
  // Stopping on a read error must not pass a truncated file off as complete.
  if (in.bad()) throw unreadable(path);
  return doc;
}

void save_text(const std::filesystem::path& path, const std::string& text) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.is_open()) throw std::runtime_error("无法写入文件: " + path.string());
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace tarnwicket
