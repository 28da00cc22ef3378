// Stanzas in, and messages in and out: the entry of every stanza the
// server sends while online (handed on to the message, presence or IQ
// handling), chat texts (those kept for us while offline included), contact
// requests, delivery errors and PEP notifications (rooms.cc) from peers, and
// the texts and contact requests the agent sends.
//
// Thread: the network thread, or InboundSession's caller. State: none of
// its own beyond Net's activity and last_received.
// Rules:
//  - Every stanza counts as activity; a message from a JID that can get
//    no id is dropped.
//  - Texts and notices from users who are not friends are dropped while
//    kStrangerCalls sink calls wait; a text is cut to kMaxText bytes, at a
//    character boundary.
//  - Whatever goes into the XML we send is escaped.
//  - A text to a friend who is not online, as far as presence tells, is
//    followed by OnEventA(friend, kStoredNotice): the server keeps it.
#include <stdint.h>
#include <strophe.h>

#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "engine/records.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/net.h"
#include "textcodec.h"

namespace xmpp_engine {

using stand_in::ToGb;

namespace {

// What the sender of a text to a friend who is not online is told.
const char kStoredNotice[] = "对方不在线：消息将在其上线后送达";

// The text cut to at most `limit` bytes, at a UTF-8 character boundary.
std::string CutUtf8(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

std::string ErrorCondition(xmpp_stanza_t* stanza) {
  xmpp_stanza_t* error = xmpp_stanza_get_child_by_name(stanza, "error");
  for (xmpp_stanza_t* child = error != nullptr ? xmpp_stanza_get_children(error) : nullptr;
       child != nullptr; child = xmpp_stanza_get_next(child)) {
    const char* ns = xmpp_stanza_get_ns(child);
    const char* name = xmpp_stanza_get_name(child);
    if (ns != nullptr && name != nullptr &&
        std::strcmp(ns, "urn:ietf:params:xml:ns:xmpp-stanzas") == 0 &&
        std::strcmp(name, "text") != 0) {
      return name;
    }
  }
  return "unknown";
}

void Net::SendText(int32_t user, const std::string& utf8) {
  if (!Online("SendText")) return;
  const std::string jid = JidOf(user);
  if (jid.empty()) {
    Log("warning: SendText to unknown user " + std::to_string(user) + " dropped");
    return;
  }
  Stanza stanza;
  stanza.xml = "<message type='chat' to='" + XmlEscape(jid) + "' id='" + RandomToken() + "'><body>" +
               XmlEscape(utf8) + "</body></message>";
  stanza.user = user;
  stanza.text = utf8;
  stanza.is_text = true;
  Transmit(std::move(stanza));
  // The server keeps a text to a user who is not online for the next login
  // and says nothing: the sender hears it from us, for a friend whose
  // presence reaches us. (A server without offline storage still answers with
  // an error, reported when it comes.)
  const Friend* f = FindFriend(jid);
  if (f != nullptr && f->presence_seen && f->status == kStatusOffline) {
    const std::string record = stand_in::EventARecord(user, ToGb(kStoredNotice));
    Emit([record](IMsgLogicSink* sink) { sink->OnEventA(record.data()); });
  }
}

void Net::Contact(int32_t user) {
  if (!Online("ContactUser")) return;
  const std::string jid = JidOf(user);
  if (jid.empty()) return;
  Send("<message to='" + XmlEscape(jid) + "'><contact xmlns='" + kContactNs + "'/></message>");
}

int Net::OnStanza(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* userdata) {
  Net& net = *static_cast<Net*>(userdata);
  if (conn != net.conn || net.phase != kOnline) return 1;  // resumed: kOnline by then
  net.Inbound(stanza);
  return 1;
}

// One stanza from the server, while online.
void Net::Inbound(xmpp_stanza_t* stanza) {
  activity = true;
  last_received = Clock::now();
  const char* name = xmpp_stanza_get_name(stanza);
  if (name == nullptr) return;
  try {
    if (std::strcmp(name, "message") == 0) {
      OnMessage(stanza);
    } else if (std::strcmp(name, "presence") == 0) {
      OnPresence(stanza);
    } else if (std::strcmp(name, "iq") == 0) {
      OnIq(stanza);
    }
  } catch (const std::exception& e) {
    Log(std::string("warning: ") + e.what());
  }
}

std::string Net::Attr(xmpp_stanza_t* stanza, const char* name) {
  const char* value = xmpp_stanza_get_attribute(stanza, name);
  return value != nullptr ? value : "";
}

std::string Net::TextOf(xmpp_stanza_t* stanza) {
  if (stanza == nullptr) return std::string();
  char* text = xmpp_stanza_get_text(stanza);
  if (text == nullptr) return std::string();
  std::string copy = text;
  xmpp_free(xmpp_stanza_get_context(stanza), text);
  return copy;
}

// Whether a text or notice from `jid` may still be queued: one from a
// friend up to kMaxCalls waiting calls (Deliver), one from anybody else
// up to kStrangerCalls.
bool Net::RoomForStranger(const std::string& jid) {
  if (FindFriend(jid) != nullptr) return true;
  if (Backlog() < kStrangerCalls) return true;
  if (!backlog_told) {
    backlog_told = true;
    Log("warning: " + std::to_string(kStrangerCalls) +
        " sink calls wait for the host: texts from users who are not friends are dropped");
  }
  return false;
}

void Net::OnMessage(xmpp_stanza_t* stanza) {
  const std::string from = BareJid(Attr(stanza, "from"));
  if (from.empty()) return;
  if (!RoomForStranger(from)) return;
  const int32_t user = IdOf(from);
  if (user == -1) return;  // no id left for a new JID
  const std::string type = Attr(stanza, "type");
  if (type == "error") {
    const std::string condition = ErrorCondition(stanza);
    std::string notice = "消息未送达（" + condition + "）";
    if (condition == "service-unavailable" || condition == "recipient-unavailable") {
      notice = "消息未送达：对方不在线";
    } else if (condition == "item-not-found") {
      notice = "消息未送达：没有这个用户";
    }
    const std::string record = stand_in::EventARecord(user, ToGb(notice));
    Emit([record](IMsgLogicSink* sink) { sink->OnEventA(record.data()); });
    return;
  }
  xmpp_stanza_t* event =
      xmpp_stanza_get_child_by_name_and_ns(stanza, "event", "http://jabber.org/protocol/pubsub#event");
  if (event != nullptr) {
    OnPepEvent(from, event);
    return;
  }
  if (xmpp_stanza_get_child_by_name_and_ns(stanza, "contact", kContactNs) != nullptr) {
    const std::string record = stand_in::EventARecord(user, ToGb("请求联系"));
    Emit([record](IMsgLogicSink* sink) { sink->OnEventA(record.data()); });
    return;
  }
  // A text kept for us while we were offline carries a <delay/> (XEP-0203)
  // and is passed on as any other: the server hands it over once, at the
  // login after it was kept. Copies of our own messages (carbons) and
  // archive results wrap their <body> in another element: never a text of
  // ours, as we ask for neither.
  xmpp_stanza_t* body = xmpp_stanza_get_child_by_name(stanza, "body");
  if (body == nullptr) return;  // chat states and the like
  const std::string record = stand_in::TextRecord(1, ToGb(CutUtf8(TextOf(body), kMaxText)));
  Emit([user, record](IMsgLogicSink* sink) { sink->OnUserText(user, record.data()); });
}

}  // namespace xmpp_engine
