#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/ini.h"
#include "config/text.h"
#include "support/process.h"

namespace tarnwicket {
namespace {

using Sections = std::map<std::string, std::map<std::string, std::string>>;

std::string load_error(const std::filesystem::path& path) {
  try {
    load_ini(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(Text, TrimRemovesOnlyFourBytes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\t a b \r\n", "a b"},
      {"   ", ""},
      {"", ""},
      {"a \t\r\n b", "a \t\r\n b"},
      {"\vx\f", "\vx\f"},
      {"\xC2\xA0x", "\xC2\xA0x"},
      {"\xEF\xBB\xBFx ", "\xEF\xBB\xBFx"},
      {std::string("\0x\0", 3), std::string("\0x\0", 3)},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(trim(in), out) << testing::PrintToString(in);
}

TEST(Text, LowerChangesOnlyAsciiCapitals) {
  EXPECT_EQ(lower("TCP"), "tcp");
  EXPECT_EQ(lower("@AZ[`az{"), "@az[`az{");
  EXPECT_EQ(lower("\xC3\x89\xC3\x84 \xD0\x96"), "\xC3\x89\xC3\x84 \xD0\x96");
}

TEST(Text, ParseBool) {
  for (const char* yes : {" YES ", "On", "TRUE", "1", "\ttrue\r\n"}) {
    EXPECT_TRUE(parse_bool(yes, false)) << yes;
  }
  for (const char* no : {"0", " Off", "FALSE", "no"}) EXPECT_FALSE(parse_bool(no, true)) << no;
  for (const char* other : {"y", "enabled", "2", "", "\vyes", "tru e"}) {
    EXPECT_TRUE(parse_bool(other, true)) << other;
    EXPECT_FALSE(parse_bool(other, false)) << other;
  }
}

TEST(Text, ParseIntTakesWholeDecimalText) {
  const std::vector<std::pair<std::string, int>> good = {
      {" 42 ", 42},
      {"+42", 42},
      {"-7", -7},
      {"0042", 42},
      {"-0", 0},
      {"\v42", 42},
      {"\f \v-3", -3},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
  };
  for (const auto& [text, value] : good) {
    EXPECT_EQ(parse_int(text, 99), value) << testing::PrintToString(text);
  }
  for (const char* bad :
       {"", "abc", "12abc", "12 34", "0x10", "1.5", "2147483648", "-2147483649",
        "99999999999999999999999", "+-5", "-+5", "- 5", "+", "-", "42\v", "\xD9\xA3"}) {
    EXPECT_EQ(parse_int(bad, 99), 99) << testing::PrintToString(std::string(bad));
  }
}

TEST(Text, SplitAndJoin) {
  using Items = std::vector<std::string>;
  EXPECT_EQ(split("a, b,,c ,", ','), (Items{"a", "b", "c"}));
  EXPECT_EQ(split(",,,", ','), Items{});
  EXPECT_EQ(split("", ','), Items{});
  EXPECT_EQ(split(" x ", ','), Items{"x"});
  EXPECT_EQ(split("a;b", ','), Items{"a;b"});
  EXPECT_EQ(split("n1 | n2|", '|'), (Items{"n1", "n2"}));

  EXPECT_EQ(join({"a", "", "b"}, ','), "a,,b");
  EXPECT_EQ(join({}, ','), "");
  EXPECT_EQ(join({" x "}, '|'), " x ");
}

TEST(Ini, ParsesKeysSectionsAndComments) {
  test::TempDir dir;
  const auto path = dir.write("a.ini",
                              "top = 1\n"
                              "# comment\n"
                              "  ; comment\n"
                              "[ route:x ]\n"
                              "a#b = 1\n"
                              "key = a=b\n"
                              "port = 7000 # game port\n"
                              "empty = ;x\n"
                              "cut = a;b\n"
                              "quoted = \"v w\"\n"
                              "dup = 1\n"
                              "dup = 2\n"
                              "[server] ; a=b\n"
                              "[a=b]\n"
                              "Key = upper\n"
                              "key = lower\n"
                              "[nothing]\n"
                              "; only a comment\n"
                              "\n"
                              "[route:x]\n"
                              "merged = yes\n"
                              "[Route:x]\n"
                              "z=\n");
  const IniFile ini = load_ini(path);
  const Sections expected = {
      {"default", {{"top", "1"}}},
      {"route:x",
       {{"a#b", "1"},
        {"key", "a=b"},
        {"port", "7000"},
        {"empty", ""},
        {"cut", "a"},
        {"quoted", "\"v w\""},
        {"dup", "2"},
        {"[server] ; a", "b"},
        {"merged", "yes"}}},
      {"a=b", {{"Key", "upper"}, {"key", "lower"}}},
      {"Route:x", {{"z", ""}}},
  };
  EXPECT_EQ(ini.sections, expected);

  EXPECT_EQ(ini.get("route:x", "empty", "fb"), "");
  EXPECT_EQ(ini.get("route:x", "missing", "fb"), "fb");
  EXPECT_EQ(ini.get("nothing", "x", "fb"), "fb");
  EXPECT_TRUE(ini.has("route:x", "empty"));
  EXPECT_FALSE(ini.has("route:x", "Key"));
  EXPECT_FALSE(ini.has("nothing", ""));
  EXPECT_FALSE(ini.has(" route:x", "key"));
}

TEST(Ini, SectionsAreOrderedByUnsignedBytes) {
  test::TempDir dir;
  const auto path =
      dir.write("o.ini", "[\xC3\xA9]\nk=1\n[b]\nk=1\n[ab]\nk=1\n[a]\nk=1\n[B]\nk=1\n");
  std::vector<std::string> names;
  for (const auto& [name, keys] : load_ini(path).sections) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "ab", "b", "\xC3\xA9"}));
}

TEST(Ini, LineEndings) {
  test::TempDir dir;
  const std::string lf = "[s]\na = 1\n\n# c\nb=2";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(load_ini(dir.write("lf.ini", lf)).sections,
            load_ini(dir.write("crlf.ini", crlf)).sections);

  // CR alone does not end a line.
  const IniFile cr = load_ini(dir.write("cr.ini", "a=1\rb=2\r"));
  EXPECT_EQ(cr.sections, (Sections{{"default", {{"a", "1\rb=2"}}}}));
  EXPECT_TRUE(load_ini(dir.write("empty.ini", "")).sections.empty());
}

TEST(Ini, ErrorsCarryTheLineNumber) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a=1\n\n[]\n", "配置第 3 行的 section 为空"},
      {"# x\r\n[  ]\r\n", "配置第 2 行的 section 为空"},
      {"=x\n", "配置第 1 行的 key 为空"},
      {"[s]\n   =\n", "配置第 2 行的 key 为空"},
      {"[server] ; main\n", "配置第 1 行缺少 '='"},
      {"[server\n", "配置第 1 行缺少 '='"},
      {"[\n", "配置第 1 行缺少 '='"},
      {"\xEF\xBB\xBF[server]\nk=v\n", "配置第 1 行缺少 '='"},
      {"a=1\n;\n#\n\n\n\n\n\n\n\n\n[s]\nno equals sign", "配置第 13 行缺少 '='"},
      {"ok=1\n=\nlater without equals\n", "配置第 2 行的 key 为空"},
  };
  test::TempDir dir;
  for (const auto& [content, message] : cases) {
    EXPECT_EQ(load_error(dir.write("e.ini", content)), message) << content;
  }
}

TEST(Ini, UnreadableFileFailsLikeMissingOne) {
  test::TempDir dir;
  const auto missing = dir.path() / "none.ini";
  EXPECT_EQ(load_error(missing), "无法打开配置文件: " + missing.string());
  EXPECT_EQ(load_error(dir.path()), "无法打开配置文件: " + dir.path().string());
  // Opens fine, then the first read fails (EIO): no empty document may come back.
  EXPECT_EQ(load_error("/proc/self/mem"), "无法打开配置文件: /proc/self/mem");
}

TEST(Ini, LongLinesAreRead) {
  test::TempDir dir;
  const std::string value(4 << 20, 'v');
  const IniFile ini = load_ini(dir.write("long.ini", "[s]\nk = " + value + "\nnext=1\n"));
  EXPECT_EQ(ini.get("s", "k", ""), value);
  EXPECT_EQ(ini.get("s", "next", ""), "1");
}

TEST(SaveText, CreatesParentsAndReplacesBytes) {
  test::TempDir dir;
  const auto path = dir.path() / "out" / "sub" / "x.txt";
  save_text(path, "first version\n");
  const std::string bytes("a\r\nb\0c", 6);
  save_text(path, bytes);
  EXPECT_EQ(read_file(path), bytes);

  EXPECT_THROW(save_text(path / "below_a_file.txt", "x"), std::filesystem::filesystem_error);
  try {
    save_text(dir.path() / "out", "x");
    ADD_FAILURE() << "writing to a directory must fail";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "无法写入文件: " + (dir.path() / "out").string());
  }
}

}  // namespace
}  // namespace tarnwicket
