// The XMPP engine's settings and its id <-> JID mapping.
#include "engine/xmpp/config.h"

#include <gtest/gtest.h>

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
  // Not ours, or not a plain number: a stable id below -1.
  for (const char* jid : {"10001@example.org", "2147483648@localhost", "007@localhost",
                          "alice@localhost", "-5@localhost", "localhost"}) {
    const int32_t id = IdForJid(jid, "localhost");
    EXPECT_LT(id, -1) << jid;
    EXPECT_EQ(id, IdForJid(jid, "localhost")) << jid;
  }
  EXPECT_NE(IdForJid("alice@localhost", "localhost"), IdForJid("bob@localhost", "localhost"));
  EXPECT_EQ(BareJid("a@b/c/d"), "a@b");
}

TEST(XmppConfig, XmlEscaping) {
  EXPECT_EQ(XmlEscape("<a href='x'>&\"</a>"), "&lt;a href=&apos;x&apos;&gt;&amp;&quot;&lt;/a&gt;");
  // Control characters XML cannot carry would end the stream.
  EXPECT_EQ(XmlEscape(std::string("a\x01\tb\x1f\r\n")), "a?\tb?\r\n");
  EXPECT_EQ(XmlEscape("你好"), "你好");
}

}  // namespace
}  // namespace xmpp_engine
