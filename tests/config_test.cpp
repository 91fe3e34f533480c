// The configuration library: text helpers, the INI reader, the server and
// client configurations and the client manifest.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
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

// The message of the runtime error `load` throws, or "" when it throws none.
template <class Load>
std::string failure(Load load) {
  try {
    load();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
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
  // The document in map order, one "[section]|key=value|..." line per section.
  const auto flat = [](const IniFile& ini) {
    std::string out;
    for (const auto& [section, keys] : ini.sections) {
      out += "[" + section + "]";
      for (const auto& [key, value] : keys) out += "|" + key + "=" + value;
      out += "\n";
    }
    return out;
  };
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
    std::string got;
    const std::string error = failure([&] { got = flat(load_ini(dir.write("a.ini", content))); });
    EXPECT_EQ(got + error, expected) << content;
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
  EXPECT_EQ(read_file(path), bytes);
}

// A valid enabled TCP route; `extra` lines override its keys (the last value wins).
std::string route(const std::string& name, const std::string& extra = "") {
  return "[route:" + name + "]\nlisten_port = 7000\ntarget_host = h\ntarget_port = 9000\n" + extra;
}

TEST(ServerConfig, ReadsRoutesInSectionByteOrder) {
  test::TempDir dir;
  // Unreadable numbers and booleans keep their defaults; "[Route:z]" is no route section;
  // the disabled route is kept, unchecked.
  const ServerConfig config = load_server_config(dir.write(
      "s.ini", "[server]\nconnection_timeout_ms = abc\nudp_idle_timeout_ms = 1000\n" +
                   route("b", "protocol = \tBoth\nmax_connections =\nenabled = maybe\n") +
                   "[Route:z]\nlisten_port = 1\n" +
                   route("B", "protocol = UDP\nlisten_port = 7001\nmax_connections = 100000\n") +
                   "[route:  ]\nprotocol = bogus\nenabled = OFF\n"));
  EXPECT_EQ(config.listen_address, "0.0.0.0");
  EXPECT_EQ(config.connection_timeout_ms, 5000);
  EXPECT_EQ(config.udp_idle_timeout_ms, 1000);
  Items routes;
  for (const ServerRoute& r : config.routes) {
    routes.push_back(r.name + "|" + r.protocol + "|" + std::to_string(r.listen_port) + "|" +
                     r.target_host + "|" + std::to_string(r.target_port) + "|" +
                     std::to_string(r.max_connections) + "|" + (r.enabled ? "on" : "off"));
  }
  EXPECT_EQ(routes, (Items{"|bogus|0||0|4096|off", "B|udp|7001|h|9000|100000|on",
                           "b|both|7000|h|9000|4096|on"}));
}

// The message for route a and `key`: "超出范围" alone, or "包含无效网段: " and the net.
std::string about_a(const std::string& key, const std::string& net = "") {
  return "线路 a 的 " + key + (net.empty() ? " 超出范围" : " 包含无效网段: " + net);
}

TEST(ServerConfig, RulesInOrderFirstFailureWins) {
  const auto a = [](const std::string& extra = "") { return route("a", extra); };
  const auto srv = [&](const std::string& keys, const std::string& routes = route("a")) {
    return "[server]\n" + keys + routes;
  };
  const std::string ports = "线路 a 的端口必须在 1 到 65535 之间";
  const std::string protocol = "线路 a 的 protocol 必须是 tcp、udp 或 both";
  const std::string timeout = "server.connection_timeout_ms 必须在 100 到 300000 之间";
  const std::string idle = "server.udp_idle_timeout_ms 必须在 1000 到 3600000 之间";
  const std::string none = "至少需要一条启用的线路";
  const std::string accept = "线路 a 的 accept_proxy_protocol 需要 trusted_proxies";
  const std::string drain = "server.drain_timeout_ms 必须在 0 到 3600000 之间";
  const std::string self = "线路 a 的目标不能是自身的监听端口";
  const std::string admin_range = "server.admin_port 必须在 0 到 65535 之间";
  const std::string admin_clash = "server.admin_port 与线路监听端口重复: 7000";
  const std::string admin_address = "server.admin_address 必须是 IPv4 地址";
  const std::string first_reply = "udp_first_reply_timeout_ms", buffer = "udp_receive_buffer_bytes";
  const std::pair<std::string, std::string> cases[] = {
      {"", none},
      {a("enabled = off\n"), none},
      {srv("connection_timeout_ms = 100\nudp_idle_timeout_ms = 3600000\n"), ""},
      {srv("connection_timeout_ms = 300000\nudp_idle_timeout_ms = 1000\n"), ""},
      {srv("connection_timeout_ms = 99\n"), timeout},
      {srv("connection_timeout_ms = 300001\n"), timeout},
      {srv("udp_idle_timeout_ms = 999\n"), idle},
      {srv("udp_idle_timeout_ms = 3600001\n"), idle},
      {srv("listen_address =\nconnection_timeout_ms = 0\n", route("")),
       "server.listen_address 不能为空"},
      {route("", "protocol = x\n"), "启用的线路 name 不能为空"},
      {a("protocol = tcp,udp\nlisten_port = 0\n"), protocol},
      {a("listen_port = 65535\ntarget_port = 1\nmax_connections = 1\n"), ""},
      {a("listen_port =\n"), ports},
      {a("target_port = 65536\ntarget_host =\nmax_connections = 0\n"), ports},
      {a("target_host =\nmax_connections = 0\n"), "线路 a 的 target_host 不能为空"},
      {a("max_connections = 100001\n"), about_a("max_connections")},
      {a("max_connections = 0\n") + route("b", "protocol = x\n"), about_a("max_connections")},
      // Listeners are claimed per (protocol, port); disabled routes claim nothing.
      {a() + route("b"), "tcp 监听端口重复: 7000"},
      {a() + route("b", "protocol = udp\n") + route("c", "enabled = no\n"), ""},
      {a("protocol = both\n") + route("b", "protocol = udp\n"), "udp 监听端口重复: 7000"},
      {a() + route("b", "protocol = both\n"), "tcp 监听端口重复: 7000"},
      {a() + "[server\n", "配置第 5 行缺少 '='"},
      // Options beyond the limits, checked after every rule above, in this order.
      {a("max_connections_per_address = 100000\nudp_first_reply_timeout_ms = 60000\n"
         "allow = 10.1.2.3/8 | 192.0.2.7 |\nudp_receive_buffer_bytes = 4096\n"),
       ""},
      {a("max_connections_per_address = -1\nallow = x\n"), about_a("max_connections_per_address")},
      {a("udp_first_reply_timeout_ms = 99\n"), about_a(first_reply)},
      {srv("udp_idle_timeout_ms = 1000\n", a("udp_first_reply_timeout_ms = 1001\n")),
       about_a(first_reply)},
      {a("allow = 10.0.0.0/8|10.0.0.0/33\n"), about_a("allow", "10.0.0.0/33")},
      {a("allow = 10.0.0/8\n"), about_a("allow", "10.0.0/8")},
      {a("allow = 10.0.0.0/+8\n"), about_a("allow", "10.0.0.0/+8")},
      {a("allow = 10.0.0.0/008\n"), about_a("allow", "10.0.0.0/008")},  // two digits at most
      {a("target_host = localhost\ntarget_port = 7000\n"), self},
      {a("target_host = 127.3.0.1\ntarget_port = 7000\n"), self},
      {srv("listen_address = 10.0.0.1\n", a("target_host = 10.0.0.1\ntarget_port = 7000\n")), self},
      {srv("listen_address = 10.0.0.1\n", a("target_host = 127.0.0.1\ntarget_port = 7000\n")), ""},
      {a("udp_receive_buffer_bytes = 4095\n"), about_a(buffer)},
      {a("udp_receive_buffer_bytes = 67108865\n"), about_a(buffer)},
      {a("proxy_protocol = V3\n"), "线路 a 的 proxy_protocol 必须是 off、v1 或 v2"},
      {a("protocol = both\nproxy_protocol = v1\n"), "线路 a 的 proxy_protocol v1 只支持 tcp"},
      {a("protocol = both\nproxy_protocol = \tV2\naccept_proxy_protocol = yes\n"
         "trusted_proxies = 10.0.0.0/8 | ::1\nallow = 2001:db8::/32\n"),
       ""},
      {srv("drain_timeout_ms = 0\n"), ""},
      {srv("drain_timeout_ms = 3600000\n"), ""},
      {srv("drain_timeout_ms = -1\n"), drain},
      {srv("drain_timeout_ms = 3600001\nadmin_port = -1\n"), admin_range},
      {a("accept_proxy_protocol = true\n"), accept},
      {a("protocol = udp\naccept_proxy_protocol = 1\ntrusted_proxies = ::1\n"), accept},
      {a("trusted_proxies = ::1/129\n"), about_a("trusted_proxies", "::1/129")},
      // The admin listener's rules come after the older ones.
      {srv("admin_port = -1\n", ""), none},
      {srv("admin_port = -1\n"), admin_range},
      {srv("admin_port = 65536\n"), admin_range},
      {srv("admin_port = 65535\nadmin_address = 0.0.0.0\n"), ""},
      {srv("admin_port = x7000\n"), ""},  // unreadable: stays off
      {srv("admin_port = 7000\n"), admin_clash},
      {srv("admin_port = 7000\n", a("protocol = both\n")), admin_clash},
      {srv("admin_port = 7000\n", a("protocol = udp\n")), ""},
      {srv("admin_port = 7000\n", a("enabled = no\n") + route("b", "listen_port = 1\n")), ""},
      {srv("admin_address = localhost\n"), admin_address},
      {srv("admin_address = ::1\n"), admin_address},
      {srv("admin_address =\n"), admin_address},
  };
  test::TempDir dir;
  for (const auto& [content, message] : cases) {
    SCOPED_TRACE(content);
    EXPECT_EQ(failure([&] { load_server_config(dir.write("server.ini", content)); }), message);
  }
}

const std::string kClient =
    "[client]\nnodes = node-a|node-b\n[route:game]\nnode_port = 7000\nserver_port = 7001\n";

ClientConfig load_client(const std::string& text) {
  test::TempDir dir;
  return load_client_config(dir.write("client.ini", text));
}

// The keys the manifest leaves out, in one text.
std::string unlisted(const ClientConfig& c) {
  return c.output_dir.string() + "|" + c.runtime_path.string() + "|" + c.icon_path.string() + "|" +
         c.packer_path.string() + "|" + c.packer_command + "|" + c.launcher_args + "|" +
         c.shield_args;
}

TEST(ClientConfig, DefaultsGiveTheDocumentedManifest) {
  const ClientConfig config = load_client(kClient);
  EXPECT_EQ(make_client_manifest(config, "in/launcher.exe", "in/shield.exe"),
            read_file(test::source_dir() / "tests" / "data" / "example.manifest"));
  EXPECT_EQ(unlisted(config), "dist||||||");
}

// A present key overrides even when empty; unreadable numbers and booleans keep the
// default. Routes come in section byte order; a disabled one is kept.
TEST(ClientConfig, PresentKeysAndRoutes) {
  const ClientConfig config = load_client(
      kClient +
      "[client]\nnodes = a| b ||c\noutput_dir =\nicon_path = art/i.ico\nruntime_path = r\n"
      "packer_path = p\npacker_command = c -x\nlauncher_args = l\nshield_args = s\n"
      "shield_wait_ms = 12ms\nnative_mode = maybe\nagent_enabled = 2\ncleanup = YES\n"
      "[route:]\nenabled = off\n[Route:x]\nnode_port = 1\n"
      "[route: a ]\nservice_id = svc\nprotocol = Both \nnode_port = 1\nserver_port = 2\n");
  EXPECT_EQ(unlisted(config), "|r|art/i.ico|p|c -x|l|s");
  const std::string manifest = make_client_manifest(config, "", "");
  EXPECT_TRUE(manifest.starts_with("product_name=Tarnwicket\nmode=native-cpp\n"));
  EXPECT_TRUE(manifest.ends_with(
      "agent_enabled=true\noutput=Tarnwicket.Client.exe\nlaunch_order=shield,launcher\n"
      "shield_wait_ms=500\ncleanup=true\nnodes=a|b|c\nsource_launcher=\nsource_shield=\nroutes=3\n"
      "route.=,tcp,0,0,disabled\nroute.a=svc,both,1,2,enabled\nroute.game=game,tcp,7000,7001,"
      "enabled\n"))
      << manifest;
}

// Each case is appended to a valid file: a repeated section adds to it, the last value wins.
TEST(ClientConfig, RulesInOrderFirstFailureWins) {
  const std::string compat = "[client]\nnative_mode = no\n";
  const std::string nodes = "client.nodes 至少需要一个节点";
  const std::string shield_wait = "client.shield_wait_ms 必须在 0 到 300000 之间";
  const std::string order = "client.launch_order 只能是 shield,launcher 或 launcher,shield";
  const std::string no_route = "客户端至少需要一条启用的线路";
  const std::string ports = "客户端线路端口必须在 1 到 65535 之间";
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {compat + "launch_order = Launcher,Shield\nshield_wait_ms = 300000\n", ""},
      {"[client]\nversion =\nnodes =\n", "客户端产品名、版本、公司名和文件描述不能为空"},
      {"[client]\ninternal_name =\nagent_enabled = no\n", "客户端文件名和 PE 标识不能为空"},
      {"[client]\nagent_enabled = no\nshield_wait_ms = -1\n", "原生 C++ 客户端必须启用内置 Agent"},
      {compat + "agent_enabled = no\nshield_name =\nshield_wait_ms = -1\n",
       "兼容模式必须配置登录器和盾程序文件名"},
      {"[client]\nlauncher_name =\nlaunch_order = any\nshield_wait_ms = 0\n", ""},
      {"[client]\nshield_wait_ms = -1\n", shield_wait},
      {compat + "shield_wait_ms = 300001\nlaunch_order = any\n", shield_wait},
      {compat + "launch_order = shield, launcher\n", order},
      {"[client]\nnodes = |\n[route:game]\nenabled = no\n", nodes},
      {"[route:game]\nenabled = no\n[Route:x]\nnode_port = 1\nserver_port = 1\n", no_route},
      {"[route:]\nprotocol = sctp\nnode_port = 0\n", "客户端线路 name 和 service_id 不能为空"},
      {"[route:game]\nservice_id =\n", "客户端线路 name 和 service_id 不能为空"},
      {"[route:game]\nprotocol = sctp\nnode_port = 0\n",
       "客户端线路 game 的 protocol 必须是 tcp、udp 或 both"},
      {"[route:game]\nnode_port = 0\n", ports},
      {"[route:game]\nserver_port = 65536\n", ports},
      {"[route:a]\nnode_port = 1\nserver_port = 65535\nprotocol = udp\n[route:b]\nserver_port = "
       "1\n",
       ports},
      {"[route:b]\nenabled = no\nprotocol = x\n", ""},
      {"[client]\nnodes\n", "配置第 7 行缺少 '='"},
  };
  for (const auto& [extra, message] : cases) {
    EXPECT_EQ(failure([&] { load_client(kClient + extra); }), message) << extra;
  }
}

// The manifest checks nothing: an invalid record is written as it stands.
TEST(ClientManifest, WritesWhateverTheRecordHolds) {
  ClientConfig config;
  config.native_mode = config.agent_enabled = false;
  config.launch_order = "Launcher,Shield";
  config.shield_wait_ms = -1;
  config.routes = {ClientRoute{"a=b,c", "svc", "UDP", 0, 65536, false}};
  const std::string text = make_client_manifest(config, "a b/l.exe", "");
  for (const char* line : {"\nmode=legacy-payload\n", "\nagent_enabled=false\n",
                           "\nlaunch_order=Launcher,Shield\nshield_wait_ms=-1\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
  EXPECT_TRUE(
      text.ends_with("\nnodes=\nsource_launcher=a b/l.exe\nsource_shield=\nroutes=1\n"
                     "route.a=b,c=svc,UDP,0,65536,disabled\n"))
      << text;
  EXPECT_TRUE(make_client_manifest({}, "", "").ends_with("\nsource_shield=\nroutes=0\n"));
}

}  // namespace
}  // namespace tarnwicket
