// The configuration library: text helpers, the INI reader, the server and
// client configurations and the client manifest.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "config/client_config.h"
#include "config/client_manifest.h"
#include "config/ini.h"
#include "config/server_config.h"
#include "config/text.h"
#include "support/process.h"

namespace tarnwicket {
namespace {

using Items = std::vector<std::string>;
using test::read_file;
namespace fs = std::filesystem;

fs::path data(const std::string& name) { return test::source_dir() / "tests" / "data" / name; }

// Applies `f` to each text, so that one comparison covers a whole table.
template <class F>
auto each(F f, std::initializer_list<std::string> texts) {
  std::vector<decltype(f(std::string()))> out;
  for (const std::string& text : texts) out.push_back(f(text));
  return out;
}

// A loader's outcome: the text it gives, "" for a record, or the message it throws.
std::string text_of(const std::string& text) { return text; }
std::string text_of(const auto&) { return ""; }

template <class Load>
std::string outcome(Load load, const std::string& text) {
  test::TempDir dir;
  try {
    return text_of(load(dir.write("case.ini", text)));
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

// The cases of tests/data/NAME: "=== OUTCOME", then the file.
template <class Load>
void expect_outcomes(const std::string& name, Load load) {
  const std::vector<test::TableRow> rows = test::cases(name);
  ASSERT_FALSE(rows.empty()) << name;
  for (const auto& [where, text, expected] : rows)
    EXPECT_EQ(outcome(load, text), expected) << where;
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
    EXPECT_TRUE(parse_bool(other, true)) << other;
    EXPECT_FALSE(parse_bool(other, false)) << other;
  }
  const auto to_int = [](const std::string& text) { return parse_int(text, 99); };
  // Leading C whitespace (\v, \f too) and one sign, then digits to the end.
  EXPECT_EQ(each(to_int, {" 42 ", "+42", "-7", "0042", "\f \v-3", "2147483647", "-2147483648"}),
            (std::vector<int>{42, 42, -7, 42, -3, 2147483647, -2147483647 - 1}));
  EXPECT_EQ(each(to_int, {"", "12abc", "12 34", "0x10", "1.5", "2147483648", "-2147483649",
                          "99999999999999999999999", "+-5", "- 5", "-", "42\v"}),
            std::vector<int>(12, 99));
}

// The document in one line: "[section]|key=value|..." per section in map order.
std::string flat(const fs::path& path) {
  std::string out;
  for (const auto& [section, keys] : load_ini(path).sections) {
    out += (out.empty() ? "[" : " [") + section + "]";
    for (const auto& [key, value] : keys) out += "|" + key + "=" + value;
  }
  return out;
}

TEST(Ini, ParsesOrFailsWithTheLine) {
  expect_outcomes("ini_cases.txt", flat);
  // Bytes a text file hides: CR (alone it does not end a line) and a BOM (not skipped).
  EXPECT_EQ(outcome(flat, "[s]\r\na = 1\r\n\r\n# c\r\nb=2"), "[s]|a=1|b=2");
  EXPECT_EQ(outcome(flat, "a=1\rb=2\r"), "[default]|a=1\rb=2");
  EXPECT_EQ(outcome(flat, "# x\r\n[s]\r\n  =\r\n"), "配置第 3 行的 key 为空");
  EXPECT_EQ(outcome(flat, "\xEF\xBB\xBF[server]\nk=v\n"), "配置第 1 行缺少 '='");
  test::TempDir dir;
  const IniFile ini = load_ini(dir.write("a.ini", "[s]\nempty =\n"));
  EXPECT_EQ(ini.get("s", "empty", "fb"), "");
  EXPECT_EQ(ini.get("s", "none", "fb"), "fb");
  EXPECT_TRUE(ini.has("s", "empty"));
  EXPECT_FALSE(ini.has("s", "none"));
  EXPECT_FALSE(ini.has("S", "empty"));
}

TEST(SaveText, CreatesParentsAndReplacesBytes) {
  test::TempDir dir;
  const auto path = dir.path() / "out" / "sub" / "x.txt";
  save_text(path, "a longer first version\n");
  const std::string bytes("a\r\nb\0c", 6);
  save_text(path, bytes);
  EXPECT_EQ(read_file(path), bytes);
}

TEST(ServerConfig, ReadsRoutesInSectionByteOrder) {
  const ServerConfig c = load_server_config(data("server_routes.ini"));
  std::string out = c.listen_address + " " + std::to_string(c.connection_timeout_ms) + " " +
                    std::to_string(c.udp_idle_timeout_ms);
  for (const ServerRoute& r : c.routes) {
    out += " " + r.name + "|" + r.protocol + "|" + std::to_string(r.listen_port) + "|" +
           r.target_host + "|" + std::to_string(r.target_port) + "|" +
           std::to_string(r.max_connections) + "|" + (r.enabled ? "on" : "off");
  }
  EXPECT_EQ(out,
            "0.0.0.0 5000 1000 |bogus|0||0|4096|off B|udp|7001|h|9000|100000|on "
            "b|both|7000|h|9000|4096|on");
}

TEST(ServerConfig, RulesInOrderFirstFailureWins) {
  expect_outcomes("server_rules.txt", load_server_config);
}

// A network as the table writes it ("10.0.0.0/8"), or "invalid".
std::string network_text(const std::string& text) {
  const auto network = parse_network(text);
  char out[INET6_ADDRSTRLEN] = "";
  if (!network) return "invalid";
  ::inet_ntop(network->family, network->address.data(), out, sizeof out);
  return out + ("/" + std::to_string(network->prefix));
}

TEST(Network, ParsesEveryRowOfTheTable) {
  for (const auto& [where, text, expected] : test::table("networks.txt"))
    EXPECT_EQ(network_text(text), expected) << where;
}

// "NETWORK HOST": whether the network holds the host, which is given in the
// family it is written in (an IPv4-mapped host as IPv6).
std::string holds(const std::string& row) {
  const auto network = parse_network(row.substr(0, row.find(' ')));
  const std::string host = row.substr(row.find(' ') + 1);
  std::uint8_t bytes[16];
  const int family = ::inet_pton(AF_INET, host.c_str(), bytes) == 1 ? AF_INET : AF_INET6;
  if (!network || ::inet_pton(family, host.c_str(), bytes) != 1) return "bad row";
  return network->contains(family, bytes) ? "yes" : "no";
}

TEST(Network, MatchesEveryRowOfTheTable) {
  for (const auto& [where, row, expected] : test::table("network_hosts.txt"))
    EXPECT_EQ(holds(row), expected) << where;
}

const std::string kClient =
    "[client]\nnodes = node-a|node-b\n[route:game]\nnode_port = 7000\nserver_port = 7001\n";

// The manifest of the loaded record, then the keys the manifest leaves out.
std::string client_view(const fs::path& path) {
  const ClientConfig c = load_client_config(path);
  return make_client_manifest(c, "in/launcher.exe", "in/shield.exe") + c.output_dir.string() + "|" +
         c.runtime_path.string() + "|" + c.icon_path.string() + "|" + c.packer_path.string() + "|" +
         c.packer_command + "|" + c.launcher_args + "|" + c.shield_args;
}

TEST(ClientConfig, DefaultsGiveTheDocumentedManifest) {
  EXPECT_EQ(outcome(client_view, kClient), read_file(data("example.manifest")) + "dist||||||");
}

TEST(ClientConfig, PresentKeysAndRoutes) {
  EXPECT_EQ(client_view(data("client_keys.ini")),
            read_file(data("client_keys.manifest")) + "|r|art/i.ico|p|c -x|l|s");
}

TEST(ClientConfig, RulesInOrderFirstFailureWins) {
  expect_outcomes("client_rules.txt", load_client_config);
}

// The manifest checks nothing: an invalid record is written as it stands.
TEST(ClientManifest, WritesWhateverTheRecordHolds) {
  ClientConfig config;
  config.native_mode = config.agent_enabled = false;
  config.launch_order = "Launcher,Shield";
  config.shield_wait_ms = -1;
  config.routes = {ClientRoute{"a=b,c", "svc", "UDP", 0, 65536, false}};
  const std::string text = make_client_manifest(config, "a b/l.exe", "");
  EXPECT_TRUE(text.starts_with("product_name=Tarnwicket\nmode=legacy-payload\n")) << text;
  EXPECT_TRUE(text.ends_with(
      "\nagent_enabled=false\noutput=Tarnwicket.Client.exe\nlaunch_order=Launcher,Shield\n"
      "shield_wait_ms=-1\ncleanup=false\nnodes=\nsource_launcher=a b/l.exe\nsource_shield=\n"
      "routes=1\nroute.a=b,c=svc,UDP,0,65536,disabled\n"))
      << text;
  EXPECT_TRUE(make_client_manifest({}, "", "").ends_with("\nsource_shield=\nroutes=0\n"));
}

}  // namespace
}  // namespace tarnwicket
