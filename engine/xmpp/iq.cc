// Outstanding IQs: the ids of our requests (roster, vCards, pings, the
// login's barrier, the rooms' publish) and their answers (the loop's timers
// end those never answered), and our answers to the server's IQs (roster
// pushes, pings, disco#info about our caps).
//
// Thread: the network thread, or InboundSession's caller. State: iqs and
// iqs_full_told of Net.
// Rules:
//  - Our ids are unguessable (128 random bits; InboundSession may ask for
//    predictable ones), and only the entity asked may answer: an answer
//    from anybody else is ignored, and the request stays open until its
//    time-out (kIqTimeout).
//  - At most kMaxIqs requests wait; the login's own always go out.
//  - Roster pushes are taken only from our own account; disco#info is
//    answered to anybody; any other IQ we do not handle is answered with
//    service-unavailable.
#include <stdint.h>
#include <strophe.h>
#include <sys/random.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/records.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/net.h"

namespace xmpp_engine {
namespace {

// ASCII case-insensitive equality: servers write domains and local parts
// in lower case whatever case the request had.
bool SameAddress(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string RandomToken() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("no random bytes for a stanza id");
    }
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

// A fresh unguessable id for `iq`, or empty when kMaxIqs are waiting
// (the login's own IQs always get one).
std::string Net::NewIqId(PendingIq iq) {
  const bool login_iq = iq.kind == PendingIq::kRoster || iq.kind == PendingIq::kLoginBarrier;
  if (iqs.size() >= kMaxIqs && !login_iq) {
    if (!iqs_full_told) {
      iqs_full_told = true;
      Log("warning: " + std::to_string(kMaxIqs) + " requests wait for the server: no more sent");
    }
    return std::string();
  }
  iqs_full_told = iqs_full_told && iqs.size() >= kMaxIqs / 2;
  std::string id = predictable_ids != 0 ? "t" + std::to_string(predictable_ids++) : RandomToken();
  iq.deadline = Clock::now() + kIqTimeout;
  iqs[id] = std::move(iq);
  return id;
}

// False when no ping went out (too many requests waiting).
bool Net::SendPing(PendingIq::Kind kind, int32_t value) {
  PendingIq iq;
  iq.kind = kind;
  iq.value = value;
  iq.to = config.domain;
  // Stamped even when no ping goes out, so that the quiet-time ping is
  // not tried again at once.
  last_ping = Clock::now();
  const std::string id = NewIqId(iq);
  if (id.empty()) return false;
  Send("<iq type='get' id='" + id + "' to='" + XmlEscape(config.domain) +
       "'><ping xmlns='urn:xmpp:ping'/></iq>");
  return true;
}

// False when no request went out (too many requests waiting).
bool Net::RequestVcard(PendingIq::Kind kind, const std::string& jid, int32_t user) {
  PendingIq iq;
  iq.kind = kind;
  iq.jid = jid;
  iq.to = jid;
  iq.user = user;
  const std::string id = NewIqId(iq);
  if (id.empty()) return false;
  Send("<iq type='get' id='" + id + "' to='" + XmlEscape(jid) +
       "'><vCard xmlns='vcard-temp'/></iq>");
  return true;
}

// Whether `from` may answer an IQ of ours sent to `to`: the entity asked,
// or for one sent to our own account (no 'to'), the server speaking for
// it (no 'from', our bare or full JID).
bool Net::AnswersFor(const std::string& from, const PendingIq& iq) const {
  if (iq.to.empty()) {
    if (from.empty() || SameAddress(from, self_jid)) return true;
    const char* bound = conn != nullptr ? xmpp_conn_get_bound_jid(conn) : nullptr;
    return bound != nullptr && SameAddress(from, bound);
  }
  return SameAddress(from, iq.to);
}

void Net::RequestB(int32_t value) {
  if (!Online("RequestB")) return;
  if (value == 99) {
    SendFinalAck();
    xmpp_disconnect(conn);  // the stream's end is reported as a lost connection
    return;
  }
  SendPing(PendingIq::kRequestB, value);
}

void Net::RequestC() {
  if (Online("RequestC")) SendPing(PendingIq::kRequestC, 0);
}

void Net::KeepAlive() {
  if (Online("KeepAlive")) SendPing(PendingIq::kPing, 0);
}

void Net::OnIq(xmpp_stanza_t* stanza) {
  const std::string type = Attr(stanza, "type");
  const std::string id = Attr(stanza, "id");
  if (type == "get" || type == "set") {
    AnswerIq(stanza, type, id);
    return;
  }
  const auto it = iqs.find(id);
  // Only the entity asked may answer: anybody else who knows or guesses
  // an id is ignored, and the request stays open until its time-out.
  if (it == iqs.end() || !AnswersFor(Attr(stanza, "from"), it->second)) return;
  const PendingIq iq = it->second;
  iqs.erase(it);
  const bool ok = type == "result";
  switch (iq.kind) {
    case PendingIq::kRoster:
      if (ok) ReadRoster(xmpp_stanza_get_child_by_name(stanza, "query"), /*push=*/false);
      roster_loaded = true;
      break;
    case PendingIq::kFriendVcard:
    case PendingIq::kUserInfo: {
      if (ok) ReadVcard(iq.jid, xmpp_stanza_get_child_by_name(stanza, "vCard"));
      if (iq.kind == PendingIq::kUserInfo) {
        const std::string record = stand_in::UserInfoRecord(iq.user, ValueOf(iq.jid));
        Emit([record](IMsgLogicSink* sink) { sink->OnUserInfo(record.data()); });
      }
      break;
    }
    case PendingIq::kPing:
      break;  // the answer itself is the activity
    case PendingIq::kLoginBarrier:
      // A result or an error alike: the server has handled our presence.
      awaiting_presence = false;
      // The server answers <enable/> before it handles our stanzas: without
      // its <enabled/> by now, nothing is acknowledged and no text is kept.
      if (!sm_enabled) {
        sm_tracking = false;
        unacked.clear();
      }
      FinishLogin(2);
      break;
    case PendingIq::kRequestB: {
      const int32_t value = iq.value;
      Emit([value](IMsgLogicSink* sink) { sink->OnEventB(value); });
      break;
    }
    case PendingIq::kRequestC:
      Emit([](IMsgLogicSink* sink) { sink->OnEventC(); });
      break;
    case PendingIq::kRooms:
      RoomsAnswered(iq, ok ? std::string() : ErrorCondition(stanza));
      break;
  }
  if (friend_lists_wanted > 0 && FriendListReady()) AnswerFriendLists();
}

void Net::AnswerIq(xmpp_stanza_t* stanza, const std::string& type, const std::string& id) {
  const std::string from = Attr(stanza, "from");
  const std::string to = from.empty() ? std::string() : " to='" + XmlEscape(from) + "'";
  xmpp_stanza_t* query = xmpp_stanza_get_child_by_name_and_ns(stanza, "query", "jabber:iq:roster");
  // Roster pushes come from our own account (no 'from', or our bare JID).
  const bool from_server = from.empty() || SameAddress(from, self_jid);
  if (type == "set" && query != nullptr && from_server) {
    ReadRoster(query, /*push=*/true);
    Send("<iq type='result' id='" + XmlEscape(id) + "'" + to + "/>");
    return;
  }
  xmpp_stanza_t* disco =
      xmpp_stanza_get_child_by_name_and_ns(stanza, "query", "http://jabber.org/protocol/disco#info");
  if (type == "get" && disco != nullptr) {
    AnswerDiscoInfo(disco, id, to);  // what our caps mean (rooms.cc)
    return;
  }
  if (type == "get" && xmpp_stanza_get_child_by_name_and_ns(stanza, "ping", "urn:xmpp:ping")) {
    Send("<iq type='result' id='" + XmlEscape(id) + "'" + to + "/>");
    return;
  }
  Send("<iq type='error' id='" + XmlEscape(id) + "'" + to +
       "><error type='cancel'><service-unavailable "
       "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>");
}

}  // namespace xmpp_engine
