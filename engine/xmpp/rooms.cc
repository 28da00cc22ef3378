// Rooms: the host's rooms published on our own account's PEP node
// (XEP-0163) under a namespace of ours, answered to the host once the
// server has confirmed them; friends' rooms from the server's PEP
// notifications; and the entity capabilities (XEP-0115) in our presence
// that ask the server for those notifications ("+notify"), with our answer
// to its disco#info question about them.
//
// Thread: the network thread, or InboundSession's caller. State: the rooms
// field of each Friend, and our kRooms IQs in Net's iqs.
// Rules:
//  - SendRoomInfo is answered only by the server's answer to the publish:
//    OnEventA(0, "收到 N 个房间：names") on a result, OnEventA(0,
//    "房间信息未发布（<condition>）") on an error, a time-out (kIqTimeout) or
//    when kMaxIqs requests wait; a buffer that does not hold the rooms it
//    says is refused the same way, unsent. Not logged in: nothing is sent or
//    answered.
//  - At most kMaxRooms rooms go out and are read from a notification; each
//    text is kept valid UTF-8 and cut to kMaxRoomText bytes.
//  - A friend's rooms are reported as OnEventA(friend, "N 个房间：names"),
//    once for each change (the server repeats its last item at each login);
//    notifications from anybody else, ourselves included, are ignored.
//  - Every presence of ours carries CapsElement().
#include <stdint.h>
#include <strophe.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/records.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/net.h"
#include "textcodec.h"

namespace xmpp_engine {
namespace {

using stand_in::ToGb;

const char kCapsNode[] = "urn:msglogicex:engine";
const char kDiscoInfoNs[] = "http://jabber.org/protocol/disco#info";
// Our identity and features, the features in byte order as XEP-0115's
// verification string wants them.
const char kIdentityCategory[] = "client";
const char kIdentityType[] = "pc";
const char kIdentityName[] = "msglogicex";
const char* const kFeatures[] = {
    "http://jabber.org/protocol/caps", "http://jabber.org/protocol/disco#info",
    "urn:msglogicex:contact",          "urn:msglogicex:rooms",
    "urn:msglogicex:rooms+notify",     "urn:xmpp:ping",
};

std::string Base64(const unsigned char* data, size_t size) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < size; i += 3) {
    const uint32_t n = static_cast<uint32_t>(data[i]) << 16 |
                       (i + 1 < size ? static_cast<uint32_t>(data[i + 1]) << 8 : 0) |
                       (i + 2 < size ? data[i + 2] : 0);
    out.push_back(kDigits[n >> 18 & 63]);
    out.push_back(kDigits[n >> 12 & 63]);
    out.push_back(i + 1 < size ? kDigits[n >> 6 & 63] : '=');
    out.push_back(i + 2 < size ? kDigits[n & 63] : '=');
  }
  return out;
}

// XEP-0115's hash of our identity and features.
std::string CapsVer() {
  std::string s = std::string(kIdentityCategory) + "/" + kIdentityType + "//" + kIdentityName + "<";
  for (const char* feature : kFeatures) s += std::string(feature) + "<";
  unsigned char digest[XMPP_SHA1_DIGEST_SIZE];
  xmpp_sha1_digest(reinterpret_cast<const unsigned char*>(s.data()), s.size(), digest);
  return Base64(digest, sizeof digest);
}

// The text as valid UTF-8 ('?' for each byte that is not part of a
// character), cut to kMaxRoomText bytes at a character boundary.
std::string RoomText(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    bool ok = true;
    if (c < 0x80) {
      extra = 0;
    } else if (c >= 0xc2 && c <= 0xdf) {
      extra = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      extra = 2;
    } else if (c >= 0xf0 && c <= 0xf4) {
      extra = 3;
    } else {
      ok = false;
    }
    for (size_t k = 1; ok && k <= extra; ++k) {
      ok = i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
    }
    // Overlong three- and four-byte forms, surrogates and code points past
    // U+10FFFF are no characters either.
    if (ok && extra == 2) {
      const unsigned char d = static_cast<unsigned char>(text[i + 1]);
      ok = !(c == 0xe0 && d < 0xa0) && !(c == 0xed && d >= 0xa0);
    } else if (ok && extra == 3) {
      const unsigned char d = static_cast<unsigned char>(text[i + 1]);
      ok = !(c == 0xf0 && d < 0x90) && !(c == 0xf4 && d >= 0x90);
    }
    const size_t length = ok ? extra + 1 : 1;
    if (out.size() + length > kMaxRoomText) break;
    if (ok) {
      out.append(text, i, length);
    } else {
      out.push_back('?');
    }
    i += length;
  }
  return out;
}

void AnswerHost(Net* net, int32_t user, const std::string& utf8) {
  const std::string record = stand_in::EventARecord(user, ToGb(utf8));
  net->Emit([record](IMsgLogicSink* sink) { sink->OnEventA(record.data()); });
}

}  // namespace

// <c/> of XEP-0115 for our presences: the server asks once what it means
// (AnswerDiscoInfo) and from then on sends us our friends' rooms.
const std::string& Net::CapsElement() {
  static const std::string element = "<c xmlns='http://jabber.org/protocol/caps' hash='sha-1' node='" +
                                     std::string(kCapsNode) + "' ver='" + CapsVer() + "'/>";
  return element;
}

void Net::AnswerDiscoInfo(xmpp_stanza_t* query, const std::string& id, const std::string& to) {
  const std::string node = Attr(query, "node");
  std::string xml = "<iq type='result' id='" + XmlEscape(id) + "'" + to + "><query xmlns='" +
                    kDiscoInfoNs + "'" +
                    (node.empty() ? std::string() : " node='" + XmlEscape(node) + "'") +
                    "><identity category='" + kIdentityCategory + "' type='" + kIdentityType +
                    "' name='" + kIdentityName + "'/>";
  for (const char* feature : kFeatures) xml += std::string("<feature var='") + feature + "'/>";
  Send(xml + "</query></iq>");
}

// `whole`: the host's buffer held all the rooms it said. One that does not
// is refused: published, the part read would replace the rooms friends see.
void Net::PublishRooms(const std::vector<stand_in::Room>& rooms, bool whole) {
  if (!Online("SendRoomInfo")) return;
  if (!whole) {
    RoomsAnswered(PendingIq(), "bad room buffer");
    return;
  }
  const size_t count = std::min(rooms.size(), kMaxRooms);
  if (rooms.size() > kMaxRooms) {
    Log("warning: SendRoomInfo with " + std::to_string(rooms.size()) + " rooms: the first " +
        std::to_string(kMaxRooms) + " are published");
  }
  std::string items;
  PendingIq iq;
  iq.kind = PendingIq::kRooms;
  iq.value = static_cast<int32_t>(count);
  for (size_t i = 0; i < count; ++i) {
    const stand_in::Room& room = rooms[i];
    const std::string name = RoomText(room.text1);
    items += "<room v1='" + std::to_string(room.value1) + "' v2='" + std::to_string(room.value2) +
             "' v3='" + std::to_string(room.value3) + "' v4='" + std::to_string(room.value4) +
             "'><name>" + XmlEscape(name) + "</name><text>" + XmlEscape(RoomText(room.text2)) +
             "</text></room>";
    iq.names += (i == 0 ? "" : ", ") + name;
  }
  const std::string id = NewIqId(iq);
  if (id.empty()) {
    RoomsAnswered(iq, "too many requests waiting");
    return;
  }
  // One item, replaced by each publish; the node is made by the first one,
  // with the server's default access for PEP: contacts with a presence
  // subscription.
  Send("<iq type='set' id='" + id + "'><pubsub xmlns='http://jabber.org/protocol/pubsub'>"
       "<publish node='" + kRoomsNs + "'><item id='current'><rooms xmlns='" + kRoomsNs + "'>" +
       items + "</rooms></item></publish></pubsub></iq>");
}

// The server's answer to a publish (failure empty: a result), or its
// absence.
void Net::RoomsAnswered(const PendingIq& iq, const std::string& failure) {
  if (failure.empty()) {
    AnswerHost(this, 0, "收到 " + std::to_string(iq.value) + " 个房间：" + iq.names);
  } else {
    Log("warning: rooms not published (" + failure + ")");
    AnswerHost(this, 0, "房间信息未发布（" + failure + "）");
  }
}

void Net::OnPepEvent(const std::string& from, xmpp_stanza_t* event) {
  Friend* f = FindFriend(from);
  if (f == nullptr) return;  // ourselves (our own publish comes back), or no friend
  xmpp_stanza_t* items = xmpp_stanza_get_child_by_name(event, "items");
  if (items == nullptr || Attr(items, "node") != kRoomsNs) return;
  // The last item or retraction counts; a retraction leaves no rooms.
  xmpp_stanza_t* payload = nullptr;
  bool news = false;
  for (xmpp_stanza_t* child = xmpp_stanza_get_children(items); child != nullptr;
       child = xmpp_stanza_get_next(child)) {
    const char* name = xmpp_stanza_get_name(child);
    if (name == nullptr) continue;
    if (std::strcmp(name, "item") == 0) {
      xmpp_stanza_t* rooms = xmpp_stanza_get_child_by_name_and_ns(child, "rooms", kRoomsNs);
      if (rooms == nullptr) continue;
      payload = rooms;
      news = true;
    } else if (std::strcmp(name, "retract") == 0) {
      payload = nullptr;
      news = true;
    }
  }
  if (!news) return;
  size_t count = 0;
  std::string names;
  for (xmpp_stanza_t* room = payload != nullptr ? xmpp_stanza_get_children(payload) : nullptr;
       room != nullptr && count < kMaxRooms; room = xmpp_stanza_get_next(room)) {
    const char* name = xmpp_stanza_get_name(room);
    if (name == nullptr || std::strcmp(name, "room") != 0) continue;
    names += (count++ == 0 ? "" : ", ") +
             RoomText(TextOf(xmpp_stanza_get_child_by_name(room, "name")));
  }
  const std::string text = std::to_string(count) + " 个房间：" + names;
  if (text == f->rooms) return;
  f->rooms = text;
  AnswerHost(this, f->id, text);
}

}  // namespace xmpp_engine
