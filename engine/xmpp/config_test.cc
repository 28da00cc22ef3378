// The XMPP engine's settings and its id <-> JID mapping.
#include "engine/xmpp/config.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace xmpp_engine {
namespace {

TEST(XmppConfig, ServerAddresses) {
  std::string host;
  unsigned short port = 0;
  ASSERT_TRUE(ParseServer("example.org", &host, &port));
  EXPECT_EQ(host, "example.org");
  EXPECT_EQ(port, 5222);
  ASSERT_TRUE(ParseServer("127.0.0.1:41000", &host, &port));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 41000);
  ASSERT_TRUE(ParseServer("[::1]:5300", &host, &port));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 5300);
  for (const char* bad : {"", ":5222", "host:", "host:0", "host:65536", "host:12x", "[::1", "[::1]x"}) {
    EXPECT_FALSE(ParseServer(bad, &host, &port)) << bad;
  }
}

TEST(XmppConfig, AccountsFileEntries) {
  const std::string ini =
      "; passwords\n"
      "[other]\n10001=wrong\n"
      "[ accounts ]\r\n"
      "  10001 = secret one \r\n"
      "# 10002=commented\n"
      "10002=\n"
      "10001=second\n";
  std::string value;
  ASSERT_TRUE(FindIniValue(ini, "accounts", "10001", &value));
  EXPECT_EQ(value, "secret one");  // the first line of the section wins
  ASSERT_TRUE(FindIniValue(ini, "accounts", "10002", &value));
  EXPECT_EQ(value, "");
  EXPECT_FALSE(FindIniValue(ini, "accounts", "10003", &value));
  EXPECT_FALSE(FindIniValue(ini, "missing", "10001", &value));
}

TEST(XmppConfig, UserIdsOfJids) {
  EXPECT_EQ(IdForJid("10001@localhost", "localhost"), 10001);
  EXPECT_EQ(IdForJid("0@localhost", "localhost"), 0);
  EXPECT_EQ(IdForJid("2147483647@localhost", "localhost"), 2147483647);
  // Not ours, or not a plain number: no id of its own (the engine's JID
  // table hands one out).
  for (const char* jid : {"10001@example.org", "2147483648@localhost", "007@localhost",
                          "alice@localhost", "-5@localhost", "localhost"}) {
    EXPECT_EQ(IdForJid(jid, "localhost"), -1) << jid;
  }
  EXPECT_EQ(BareJid("a@b/c/d"), "a@b");
}

TEST(XmppConfig, TlsSettings) {
  std::string pin;
  const std::string hex(64, 'a');
  ASSERT_TRUE(ParsePin("sha256:" + hex, &pin));
  EXPECT_EQ(pin, hex);
  ASSERT_TRUE(ParsePin("sha256:AB:CD" + std::string(60, 'E'), &pin));
  EXPECT_EQ(pin, "abcd" + std::string(60, 'e'));
  for (const std::string& bad : {std::string("sha1:") + hex, hex, "sha256:" + hex.substr(1),
                                "sha256:" + hex + "0", "sha256:" + hex.substr(1) + "g"}) {
    EXPECT_FALSE(ParsePin(bad, &pin)) << bad;
  }
  for (const char* host : {"127.0.0.1", "127.1.2.3", "::1", "::ffff:127.0.0.1", "localhost"}) {
    EXPECT_TRUE(IsLoopback(host)) << host;
  }
  for (const char* host : {"128.0.0.1", "10.0.0.1", "::2", "localhost.example.org", "example.org",
                           "0.0.0.0", "::"}) {
    EXPECT_FALSE(IsLoopback(host)) << host;
  }

  // From the environment: STARTTLS by default; a value that cannot be read
  // makes every login fail rather than weakening anything.
  unsetenv("MSGLOGIC_XMPP_TLS");
  unsetenv("MSGLOGIC_XMPP_TLS_PIN");
  unsetenv("MSGLOGIC_XMPP_SERVER");
  std::string warning;
  Config config = ReadConfig(&warning);
  EXPECT_EQ(config.tls, TlsMode::kStartTls);
  EXPECT_EQ(LoginRefusal(config), "");
  setenv("MSGLOGIC_XMPP_TLS", "off", 1);
  setenv("MSGLOGIC_XMPP_SERVER", "xmpp.example.org", 1);
  config = ReadConfig(&warning);
  EXPECT_EQ(config.tls, TlsMode::kOff);
  EXPECT_NE(LoginRefusal(config).find("loopback"), std::string::npos);
  setenv("MSGLOGIC_XMPP_SERVER", "127.0.0.1:5300", 1);
  EXPECT_EQ(LoginRefusal(ReadConfig(&warning)), "");
  setenv("MSGLOGIC_XMPP_TLS", "plain", 1);
  setenv("MSGLOGIC_XMPP_TLS_PIN", "sha256:12", 1);
  config = ReadConfig(&warning);
  EXPECT_NE(LoginRefusal(config), "");
  EXPECT_NE(warning.find("MSGLOGIC_XMPP_TLS \"plain\""), std::string::npos) << warning;
  EXPECT_NE(warning.find("MSGLOGIC_XMPP_TLS_PIN"), std::string::npos) << warning;
  setenv("MSGLOGIC_XMPP_TLS", "direct", 1);
  setenv("MSGLOGIC_XMPP_TLS_PIN", ("sha256:" + hex).c_str(), 1);
  config = ReadConfig(&warning);
  EXPECT_EQ(config.tls, TlsMode::kDirect);
  EXPECT_EQ(config.pin_sha256, hex);
  EXPECT_EQ(LoginRefusal(config), "");
  unsetenv("MSGLOGIC_XMPP_TLS");
  unsetenv("MSGLOGIC_XMPP_TLS_PIN");
  unsetenv("MSGLOGIC_XMPP_SERVER");
}

TEST(XmppConfig, XmlEscaping) {
  EXPECT_EQ(XmlEscape("<a href='x'>&\"</a>"), "&lt;a href=&apos;x&apos;&gt;&amp;&quot;&lt;/a&gt;");
  // Control characters XML cannot carry would end the stream.
  EXPECT_EQ(XmlEscape(std::string("a\x01\tb\x1f\r\n")), "a?\tb?\r\n");
  EXPECT_EQ(XmlEscape("你好"), "你好");
}

}  // namespace
}  // namespace xmpp_engine
