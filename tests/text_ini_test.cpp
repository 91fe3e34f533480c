#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/ini.h"
#include "config/text.h"
#include "support/process.h"

namespace tarnwicket {
namespace {

using Items = std::vector<std::string>;

// The document in map order, one "[section]|key=value|..." line per section; or the error.
std::string flat(const std::filesystem::path& path) {
  try {
    std::string out;
    for (const auto& [section, keys] : load_ini(path).sections) {
      out += "[" + section + "]";
      for (const auto& [key, value] : keys) out += "|" + key + "=" + value;
      out += "\n";
    }
    return out;
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

// Applies `f` to each text, so that one comparison covers a whole table.
template <class F>
auto each(F f, std::initializer_list<std::string> texts) {
  std::vector<decltype(f(std::string()))> out;
  for (const std::string& text : texts) out.push_back(f(text));
  return out;
}

TEST(Text, TrimLowerSplitJoin) {
  // Only space, tab, CR and LF are trimmed: \v, \f, NBSP and a BOM are content.
  EXPECT_EQ(each(trim, {"\t a \t\r\n b \r\n", " \r\n\t", "\vx\f", "\xC2\xA0x", "\xEF\xBB\xBFx "}),
            (Items{"a \t\r\n b", "", "\vx\f", "\xC2\xA0x", "\xEF\xBB\xBFx"}));
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
  const auto to_int = [](const std::string& text) { return parse_int(text, 99); };
  // Leading C whitespace (\v, \f too) and one sign, then digits to the end.
  EXPECT_EQ(each(to_int, {" 42 ", "+42", "-7", "0042", "\f \v-3", "2147483647", "-2147483648"}),
            (std::vector<int>{42, 42, -7, 42, -3, 2147483647, -2147483647 - 1}));
  EXPECT_EQ(each(to_int, {"", "12abc", "12 34", "0x10", "1.5", "2147483648", "-2147483649",
                          "99999999999999999999999", "+-5", "- 5", "-", "42\v"}),
            std::vector<int>(12, 99));
}

TEST(Ini, ParsesOrFailsWithTheLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"top = 1\n# c\n  ; c\n[ route:x ]\na#b = 1\nkey = a=b\nport = 7000 # game\nempty = ;x\n"
       "cut = a;b\nq = \"v w\"\ndup = 1\ndup = 2\n[server] ; a=b\n[a=b]\nKey = u\n[nothing]\n"
       "[route:x]\nmerged = yes\n[Route:x]\nz=\n",
       "[Route:x]|z=\n[a=b]|Key=u\n[default]|top=1\n[route:x]|[server] ; a=b|a#b=1|cut=a|dup=2|"
       "empty=|key=a=b|merged=yes|port=7000|q=\"v w\"\n"},
      // Sections in unsigned byte order.
      {"[\xC3\xA9]\nk=1\n[b]\nk=1\n[ab]\nk=1\n[a]\nk=1\n[B]\nk=1\n",
       "[B]|k=1\n[a]|k=1\n[ab]|k=1\n[b]|k=1\n[\xC3\xA9]|k=1\n"},
      {"[s]\r\na = 1\r\n\r\n# c\r\nb=2", "[s]|a=1|b=2\n"},
      {"a=1\rb=2\r", "[default]|a=1\rb=2\n"},  // CR alone does not end a line
      {"a=1\n\n[]\n", "配置第 3 行的 section 为空"},
      {"# x\r\n[s]\r\n  =\r\n", "配置第 3 行的 key 为空"},
      {"[server] ; main\n", "配置第 1 行缺少 '='"},
      {"\xEF\xBB\xBF[server]\nk=v\n", "配置第 1 行缺少 '='"},  // a BOM is not skipped
      {"ok=1\n=\nlater without equals\n", "配置第 2 行的 key 为空"},
  };
  test::TempDir dir;
  for (const auto& [content, expected] : cases) {
    EXPECT_EQ(flat(dir.write("a.ini", content)), expected) << content;
  }
  const IniFile ini = load_ini(dir.write("a.ini", "[s]\nempty =\n"));
  EXPECT_EQ(ini.get("s", "empty", "fb") + ini.get("s", "none", "fb"), "fb");
  EXPECT_TRUE(ini.has("s", "empty") && !ini.has("s", "none") && !ini.has("S", "empty"));
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
