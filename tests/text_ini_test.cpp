#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/ini.h"
#include "config/text.h"
#include "support/process.h"

namespace tarnwicket {
namespace {

using Sections = std::map<std::string, std::map<std::string, std::string>>;
using Items = std::vector<std::string>;

std::string load_error(const std::filesystem::path& path) {
  try {
    load_ini(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(Text, TrimLowerSplitJoin) {
  // Only space, tab, CR and LF are trimmed: \v, \f, NBSP and a BOM are content.
  const std::pair<std::string, std::string> trims[] = {{"\t a \t\r\n b \r\n", "a \t\r\n b"},
                                                       {" \r\n\t", ""},
                                                       {"\vx\f", "\vx\f"},
                                                       {"\xC2\xA0x", "\xC2\xA0x"},
                                                       {"\xEF\xBB\xBFx ", "\xEF\xBB\xBFx"}};
  for (const auto& [in, out] : trims) EXPECT_EQ(trim(in), out) << testing::PrintToString(in);
  EXPECT_EQ(lower("@AZ[`az{\xC3\x89"), "@az[`az{\xC3\x89");
  EXPECT_EQ(split(" a, b,,c ,", ','), (Items{"a", "b", "c"}));
  EXPECT_EQ(split(",,", ','), Items{});
  EXPECT_EQ(split("a;b", ','), Items{"a;b"});
  EXPECT_EQ(join({"a", "", " b "}, '|'), "a|| b ");
  EXPECT_EQ(join({}, '|'), "");
}

TEST(Text, ParseBoolAndInt) {
  for (const char* yes : {" YES ", "On", "TRUE", "1"}) EXPECT_TRUE(parse_bool(yes, false)) << yes;
  for (const char* no : {"0", " Off", "FALSE", "no"}) EXPECT_FALSE(parse_bool(no, true)) << no;
  for (const char* other : {"y", "2", "", "\vyes"}) {
    EXPECT_TRUE(parse_bool(other, true) && !parse_bool(other, false)) << other;
  }
  // Leading C whitespace (\v, \f too) and one sign, then digits to the end.
  const std::pair<std::string, int> good[] = {{" 42 ", 42},
                                              {"+42", 42},
                                              {"-7", -7},
                                              {"0042", 42},
                                              {"\f \v-3", -3},
                                              {"2147483647", 2147483647},
                                              {"-2147483648", -2147483647 - 1}};
  for (const auto& [text, value] : good) EXPECT_EQ(parse_int(text, 99), value) << text;
  for (const char* bad : {"", "12abc", "12 34", "0x10", "1.5", "2147483648", "-2147483649",
                          "99999999999999999999999", "+-5", "- 5", "-", "42\v"}) {
    EXPECT_EQ(parse_int(bad, 99), 99) << testing::PrintToString(std::string(bad));
  }
}

TEST(Ini, ParsesKeysSectionsAndComments) {
  test::TempDir dir;
  const IniFile ini = load_ini(dir.write("a.ini",
                                         "top = 1\n# c\n  ; c\n[ route:x ]\na#b = 1\nkey = a=b\n"
                                         "port = 7000 # game\nempty = ;x\ncut = a;b\nq = \"v w\"\n"
                                         "dup = 1\ndup = 2\n[server] ; a=b\n[a=b]\nKey = u\n"
                                         "[nothing]\n[route:x]\nmerged = yes\n[Route:x]\nz=\n"));
  const Sections expected = {
      {"default", {{"top", "1"}}},
      {"route:x",
       {{"a#b", "1"},
        {"key", "a=b"},
        {"port", "7000"},
        {"empty", ""},
        {"cut", "a"},
        {"q", "\"v w\""},
        {"dup", "2"},
        {"[server] ; a", "b"},
        {"merged", "yes"}}},
      {"a=b", {{"Key", "u"}}},
      {"Route:x", {{"z", ""}}},
  };
  EXPECT_EQ(ini.sections, expected);
  EXPECT_EQ(ini.get("route:x", "empty", "fb"), "");
  EXPECT_EQ(ini.get("route:x", "missing", "fb"), "fb");
  EXPECT_TRUE(ini.has("route:x", "empty"));
  EXPECT_FALSE(ini.has("a=b", "key"));
}

TEST(Ini, SectionOrderAndLineEndings) {
  test::TempDir dir;
  Items names;
  for (const auto& [name, keys] :
       load_ini(dir.write("o.ini", "[\xC3\xA9]\nk=1\n[b]\nk=1\n[ab]\nk=1\n[a]\nk=1\n[B]\nk=1\n"))
           .sections) {
    names.push_back(name);
  }
  EXPECT_EQ(names, (Items{"B", "a", "ab", "b", "\xC3\xA9"}));

  EXPECT_EQ(load_ini(dir.write("crlf.ini", "[s]\r\na = 1\r\n\r\n# c\r\nb=2")).sections,
            (Sections{{"s", {{"a", "1"}, {"b", "2"}}}}));
  // CR alone does not end a line.
  EXPECT_EQ(load_ini(dir.write("cr.ini", "a=1\rb=2\r")).sections,
            (Sections{{"default", {{"a", "1\rb=2"}}}}));
}

TEST(Ini, Errors) {
  test::TempDir dir;
  const std::pair<std::string, std::string> cases[] = {
      {"a=1\n\n[]\n", "配置第 3 行的 section 为空"},
      {"# x\r\n[s]\r\n  =\r\n", "配置第 3 行的 key 为空"},
      {"[server] ; main\n", "配置第 1 行缺少 '='"},
      {"\xEF\xBB\xBF[server]\nk=v\n", "配置第 1 行缺少 '='"},  // a BOM is not skipped
      {"ok=1\n=\nlater without equals\n", "配置第 2 行的 key 为空"},
  };
  for (const auto& [content, message] : cases) {
    EXPECT_EQ(load_error(dir.write("e.ini", content)), message) << content;
  }
  const auto missing = dir.path() / "none.ini";
  EXPECT_EQ(load_error(missing), "无法打开配置文件: " + missing.string());
  // A directory and a file whose first read fails (EIO) must not load as empty documents.
  EXPECT_EQ(load_error(dir.path()), "无法打开配置文件: " + dir.path().string());
  EXPECT_EQ(load_error("/proc/self/mem"), "无法打开配置文件: /proc/self/mem");
}

TEST(SaveText, CreatesParentsAndReplacesBytes) {
  test::TempDir dir;
  const auto path = dir.path() / "out" / "sub" / "x.txt";
  save_text(path, "a longer first version\n");
  const std::string bytes("a\r\nb\0c", 6);
  save_text(path, bytes);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
}

}  // namespace
}  // namespace tarnwicket
