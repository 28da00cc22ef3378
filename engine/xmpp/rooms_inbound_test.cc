// Rooms and offline texts without a server: stanzas fed to the engine's
// handlers as text (InboundSession), and what it writes read back. The
// publish is answered only by the server's own answer; friends' rooms come
// once per change and within their bounds; our caps and their disco#info
// answer; delayed texts once, carbons and archive results never; the
// sender of a text to a friend who is not online told so.
#include <stdint.h>
#include <strophe.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/quiet_sink.h"
#include "engine/records.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/xmpp_engine.h"
#include "textcodec.h"

namespace {

using xmpp_engine::Config;
using xmpp_engine::InboundSession;

std::string Gb(const std::string& utf8) {
  std::string gb(utf8.size(), '\0');
  gb.resize(UTF_8ToGB2312N(&gb[0], gb.size(), utf8.data(), utf8.size()));
  return gb;
}

struct Said {
  int32_t user;
  std::string bytes;
  bool operator==(const Said& o) const { return user == o.user && bytes == o.bytes; }
};

class Sink final : public stand_in::testing::QuietSink {
 public:
  int32_t OnUserText(int32_t user, const void* record) override {
    const auto* p = static_cast<const uint8_t*>(record);
    uint32_t length;
    std::memcpy(&length, p + 24, 4);
    texts.push_back({user, std::string(reinterpret_cast<const char*>(p + 28), length)});
    return 0;
  }
  int32_t OnEventA(const void* record) override {
    const auto* p = static_cast<const char*>(record);
    int32_t user;
    std::memcpy(&user, p, 4);
    notices.push_back({user, p + 22});
    return 0;
  }
  std::vector<Said> texts;
  std::vector<Said> notices;
};

// A session of 10001@localhost with 10002 in its roster (ids "t1", "t2"...),
// logged in, its friend list sent.
struct Session {
  InboundSession inbound;
  Sink sink;
  xmpp_ctx_t* ctx;

  Session() : inbound(LocalConfig(), "10001", /*predictable_ids=*/true) {
    xmpp_initialize();
    ctx = xmpp_ctx_new(nullptr, nullptr);
    Feed("<iq type='result' id='t1'><query xmlns='jabber:iq:roster'>"
         "<item jid='10002@localhost' subscription='both'/>"
         "<item jid='10003@localhost' subscription='from'/></query></iq>");
    Feed("<iq type='result' id='t2' from='localhost'/>");  // the login's ping
    inbound.GetFriendList();
    Feed("<iq type='result' id='t3' from='10002@localhost'><vCard xmlns='vcard-temp'/></iq>");
    Feed("<iq type='result' id='t4' from='10003@localhost'><vCard xmlns='vcard-temp'/></iq>");
    Deliver();
    Sent();
    sink.texts.clear();
    sink.notices.clear();
  }
  ~Session() { xmpp_ctx_free(ctx); }

  static Config LocalConfig() {
    Config config;
    config.domain = "localhost";
    return config;
  }
  void Feed(const std::string& xml) { ASSERT_TRUE(inbound.Feed(xml)) << xml; }
  void Deliver() { inbound.Deliver(&sink); }
  // What the engine wrote since the last call; each must parse.
  std::vector<std::string> Sent() {
    std::vector<std::string> sent = inbound.TakeSent();
    for (const std::string& xml : sent) {
      xmpp_stanza_t* stanza = xmpp_stanza_new_from_string(ctx, xml.c_str());
      EXPECT_NE(stanza, nullptr) << xml;
      if (stanza != nullptr) xmpp_stanza_release(stanza);
    }
    return sent;
  }
  void SendRooms(const std::vector<stand_in::Room>& rooms) {
    const std::string packed = stand_in::PackRooms(rooms);
    inbound.SendRoomInfo(static_cast<uint32_t>(rooms.size()), packed.data());
  }
};

std::string IdOf(const std::string& xml) {
  const size_t at = xml.find("id='");
  return at == std::string::npos ? std::string() : xml.substr(at + 4, xml.find('\'', at + 4) - at - 4);
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string PepEvent(const std::string& from, const std::string& items) {
  return "<message from='" + from + "' type='headline'><event "
         "xmlns='http://jabber.org/protocol/pubsub#event'><items node='urn:msglogicex:rooms'>" +
         items + "</items></event></message>";
}

std::string RoomsItem(const std::vector<std::string>& names) {
  std::string xml = "<item id='current'><rooms xmlns='urn:msglogicex:rooms'>";
  for (const std::string& name : names) {
    xml += "<room v1='1' v2='2' v3='3' v4='4'><name>" + name + "</name><text>t</text></room>";
  }
  return xml + "</rooms></item>";
}

TEST(XmppRooms, AnsweredOnlyByTheServersAnswer) {
  Session s;
  s.SendRooms({{1, "大厅", 2, "欢迎", 3, 4}, {5, "x", 6, "", 7, 8}});
  std::vector<std::string> sent = s.Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].find("<publish node='urn:msglogicex:rooms'>"), std::string::npos) << sent[0];
  EXPECT_NE(sent[0].find("<room v1='1' v2='2' v3='3' v4='4'><name>大厅</name><text>欢迎</text>"),
            std::string::npos)
      << sent[0];
  const std::string id = IdOf(sent[0]);
  s.Deliver();
  EXPECT_TRUE(s.sink.notices.empty());  // not before the server has them
  // A peer's answer with our id counts for nothing; the server's does.
  s.Feed("<iq type='result' id='" + id + "' from='10002@localhost'/>");
  s.Deliver();
  EXPECT_TRUE(s.sink.notices.empty());
  s.Feed("<iq type='result' id='" + id + "' from='10001@localhost'/>");
  s.Deliver();
  ASSERT_EQ(s.sink.notices.size(), 1u);
  EXPECT_EQ(s.sink.notices[0], (Said{0, Gb("收到 2 个房间：大厅, x")}));

  // Refused: the host hears the condition.
  s.SendRooms({});
  sent = s.Sent();
  ASSERT_EQ(sent.size(), 1u);
  s.Feed("<iq type='error' id='" + IdOf(sent[0]) + "'><error type='cancel'><not-allowed "
         "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>");
  s.Deliver();
  ASSERT_EQ(s.sink.notices.size(), 2u);
  EXPECT_EQ(s.sink.notices[1], (Said{0, Gb("房间信息未发布（not-allowed）")}));

  // A buffer whose entry runs past its end: refused, nothing sent (the
  // part read would replace the rooms friends see).
  std::string broken = stand_in::PackRooms({{1, "大厅", 2, "", 3, 4}, {5, "x", 6, "", 7, 8}});
  broken[24 + 6 + 5] = '\x7f';  // the second entry's first length: past the end
  s.inbound.SendRoomInfo(2, broken.data());
  EXPECT_TRUE(s.Sent().empty());
  s.Deliver();
  ASSERT_EQ(s.sink.notices.size(), 3u);
  EXPECT_EQ(s.sink.notices[2], (Said{0, Gb("房间信息未发布（bad room buffer）")}));

  // Bytes that are no UTF-8, control characters, markup and long texts go
  // out as one well-formed stanza; at most 32 rooms, 64 bytes a text.
  std::vector<stand_in::Room> many(40, {1, std::string("\xff\xfe<&\x01'") + std::string(100, 'n'), 2,
                                        "\xe5\xa4", 3, 4});
  s.SendRooms(many);
  sent = s.Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Count(sent[0], "<room "), 32u);
  EXPECT_NE(sent[0].find("<name>??&lt;&amp;?&apos;" + std::string(58, 'n') + "</name><text>?"),
            std::string::npos)
      << sent[0].substr(0, 400);
}

TEST(XmppRooms, FriendsRoomsOncePerChangeFromFriendsOnly) {
  Session s;
  s.Feed(PepEvent("10002@localhost", RoomsItem({"大厅", "x"})));
  s.Feed(PepEvent("10002@localhost", RoomsItem({"大厅", "x"})));  // again at a login
  s.Feed(PepEvent("10004@localhost", RoomsItem({"stranger"})));   // no friend
  s.Feed(PepEvent("10001@localhost", RoomsItem({"mine"})));       // our own, back
  s.Feed(PepEvent("10002@localhost", "<item id='other'><geoloc xmlns='x'/></item>"));
  s.Deliver();
  ASSERT_EQ(s.sink.notices.size(), 1u);
  EXPECT_EQ(s.sink.notices[0], (Said{10002, Gb("2 个房间：大厅, x")}));

  // A flood: 32 rooms counted, each name cut to 64 bytes (whole characters).
  std::vector<std::string> names(1000, std::string(30, 'a') + "好好好好好好好好好好好好");
  s.Feed(PepEvent("10002@localhost", RoomsItem(names)));
  s.Deliver();
  ASSERT_EQ(s.sink.notices.size(), 2u);
  const std::string expected_name = std::string(30, 'a') + "好好好好好好好好好好好";  // 30 + 33 bytes
  std::string expected = "32 个房间：" + expected_name;
  for (int i = 1; i < 32; ++i) expected += ", " + expected_name;
  EXPECT_EQ(s.sink.notices[1], (Said{10002, Gb(expected)}));

  // Retracted: no rooms.
  s.Feed(PepEvent("10002@localhost", "<retract id='current'/>"));
  s.Deliver();
  ASSERT_EQ(s.sink.notices.size(), 3u);
  EXPECT_EQ(s.sink.notices[2], (Said{10002, Gb("0 个房间：")}));
}

TEST(XmppRooms, CapsAskForFriendsRoomsAndAreExplained) {
  InboundSession fresh(Session::LocalConfig(), "10001", true);
  std::string presence;
  for (const std::string& xml : fresh.TakeSent()) {
    if (xml.compare(0, 9, "<presence") == 0) presence = xml;
  }
  // XEP-0115's hash of our identity and features (computed apart).
  EXPECT_NE(presence.find("<c xmlns='http://jabber.org/protocol/caps' hash='sha-1' "
                          "node='urn:msglogicex:engine' ver='L5rTQIO5miVTiYtgM8NxgoflWus='/>"),
            std::string::npos)
      << presence;

  Session s;
  s.Feed("<iq type='get' id='d1' from='10001@localhost'><query "
         "xmlns='http://jabber.org/protocol/disco#info' "
         "node='urn:msglogicex:engine#L5rTQIO5miVTiYtgM8NxgoflWus='/></iq>");
  const std::vector<std::string> sent = s.Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].find("type='result' id='d1' to='10001@localhost'"), std::string::npos) << sent[0];
  EXPECT_NE(sent[0].find("node='urn:msglogicex:engine#L5rTQIO5miVTiYtgM8NxgoflWus='"),
            std::string::npos);
  EXPECT_NE(sent[0].find("<feature var='urn:msglogicex:rooms+notify'/>"), std::string::npos);
}

TEST(XmppOffline, DelayedTextsOnceCarbonsAndArchiveNever) {
  Session s;
  s.Feed("<message type='chat' from='10002@localhost/pc' id='m1'><body>留言一</body>"
         "<delay xmlns='urn:xmpp:delay' from='localhost' stamp='2026-12-10T06:00:00Z'>Offline "
         "Storage</delay></message>");
  s.Feed("<message from='10001@localhost'><received xmlns='urn:xmpp:carbons:2'><forwarded "
         "xmlns='urn:xmpp:forward:0'><message type='chat' from='10002@localhost/pc'><body>留言一"
         "</body></message></forwarded></received></message>");
  s.Feed("<message from='10001@localhost'><result xmlns='urn:xmpp:mam:2' id='a1'><forwarded "
         "xmlns='urn:xmpp:forward:0'><message type='chat' from='10002@localhost/pc'><body>留言一"
         "</body></message></forwarded></result></message>");
  s.Feed("<message type='chat' from='10002@localhost/pc' id='m2'><body>留言二</body>"
         "<delay xmlns='urn:xmpp:delay' stamp='2026-12-10T06:00:01Z'/></message>");
  s.Deliver();
  ASSERT_EQ(s.sink.texts.size(), 2u);
  EXPECT_EQ(s.sink.texts[0], (Said{10002, Gb("留言一")}));
  EXPECT_EQ(s.sink.texts[1], (Said{10002, Gb("留言二")}));
}

TEST(XmppOffline, SenderToldWhenAFriendIsNotOnline) {
  Session s;
  const Said stored{10002, Gb("对方不在线：消息将在其上线后送达")};
  s.inbound.SendText(10002, "在吗？");
  s.Deliver();
  ASSERT_EQ(s.sink.notices.size(), 1u);
  EXPECT_EQ(s.sink.notices[0], stored);
  // Online: nothing to tell. A stranger's presence, or that of a friend
  // whose subscription does not bring it to us: unknown, nothing to tell.
  s.Feed("<presence from='10002@localhost/pc'/>");
  s.inbound.SendText(10002, "你好");
  s.inbound.SendText(10004, "你好");
  s.inbound.SendText(10003, "你好");
  s.Deliver();
  EXPECT_EQ(s.sink.notices.size(), 1u);
  // Gone again, and the server says it keeps nothing: both notices.
  s.Feed("<presence from='10002@localhost/pc' type='unavailable'/>");
  s.inbound.SendText(10002, "再见");
  s.Feed("<message type='error' from='10002@localhost'><error type='cancel'><service-unavailable "
         "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></message>");
  s.Deliver();
  ASSERT_EQ(s.sink.notices.size(), 3u);
  EXPECT_EQ(s.sink.notices[1], stored);
  EXPECT_EQ(s.sink.notices[2], (Said{10002, Gb("消息未送达：对方不在线")}));
}

}  // namespace
