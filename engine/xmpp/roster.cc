// The directory: friends from the roster and its pushes, the user ids of
// JIDs, friends' presence and vCards, our own presence, user info and the
// friend list.
//
// Thread: the network thread, or InboundSession's caller. State: roster,
// jid_table, friend_lists_wanted, friend_list_deadline and list_sent of Net.
// Rules:
//  - A JID of our domain with a number for its local part has that number
//    for id; any other JID gets one of jid_table's (kMaxJids at most), kept
//    for the engine object's life.
//  - A friend list waits for the roster and every friend's vCard, or
//    kFriendListWait at most. Once one has gone out, changes are reported
//    one friend at a time.
//  - Every RequestUserInfo is answered, with or without a vCard.
//  - At most kMaxRoster friends and kMaxResources presences each.
#include <stdint.h>
#include <strophe.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "engine/records.h"
#include "engine/xmpp/config.h"
#include "engine/xmpp/net.h"

namespace xmpp_engine {
namespace {

uint8_t StatusOf(const Presence& p) {
  if (p.show.empty() || p.show == "chat") return kStatusOnline;
  if (p.show == "dnd") return kStatusBusy;
  return kStatusAway;
}

}  // namespace

Friend* Net::FindFriend(const std::string& jid) {
  for (Friend& f : roster) {
    if (f.jid == jid) return &f;
  }
  return nullptr;
}

// The user id of a bare JID; -1 when it has none and the table of JIDs
// is full.
int32_t Net::IdOf(const std::string& bare) {
  const int32_t own = IdForJid(bare, config.domain);
  if (own >= 0) return own;
  const int32_t id = jid_table.IdOf(bare);
  if (id == -1 && !jids_full_told) {
    jids_full_told = true;
    Log("warning: " + std::to_string(kMaxJids) +
        " JIDs without a number of ours have ids: stanzas from new ones are dropped");
  }
  return id;
}

// The JID of a user id, or empty.
std::string Net::JidOf(int32_t id) const {
  if (id >= 0) return std::to_string(id) + "@" + config.domain;
  return jid_table.JidOf(id);
}

int32_t Net::ValueOf(const std::string& jid) { return FindFriend(jid) != nullptr ? 1 : 0; }

stand_in::Person Net::PersonOf(const Friend& f) const {
  stand_in::Person person;
  person.id = f.id;
  person.value = 1;
  person.name = f.name.empty() ? f.jid.substr(0, f.jid.find('@')) : f.name;
  person.display_name = f.nickname;
  person.long_text = f.status_text;
  person.status = f.status;
  return person;
}

void Net::ReportFriend(const Friend& f) {
  const std::string record = stand_in::FriendRecord(PersonOf(f));
  Emit([record](IMsgLogicSink* sink) { sink->OnFriendUpdate(record.data()); });
}

bool Net::FriendListReady() const {
  if (!roster_loaded) return false;
  for (const auto& entry : iqs) {
    if (entry.second.kind == PendingIq::kFriendVcard) return false;
  }
  return true;
}

void Net::AnswerFriendLists() {
  for (; friend_lists_wanted > 0; --friend_lists_wanted) {
    std::vector<std::pair<int32_t, int32_t>> values;
    std::vector<stand_in::Person> people;
    for (const Friend& f : roster) {
      values.emplace_back(f.id, 1);
      people.push_back(PersonOf(f));
    }
    std::vector<const stand_in::Person*> pointers;
    for (const stand_in::Person& p : people) pointers.push_back(&p);
    // Values first: the agent passes on only friends whose value it has.
    const std::string value_list = stand_in::FriendValues(values);
    const std::string friend_list = stand_in::FriendList(pointers);
    Emit([value_list](IMsgLogicSink* sink) { sink->OnFriendValues(value_list.data()); });
    Emit([friend_list](IMsgLogicSink* sink) { sink->OnFriendList(friend_list.data()); });
    list_sent = true;
  }
}

void Net::GetFriendList() {
  if (!Online("GetFriendList")) return;
  if (friend_lists_wanted++ == 0) friend_list_deadline = Clock::now() + kFriendListWait;
  if (FriendListReady()) AnswerFriendLists();
}

void Net::UserInfo(int32_t user) {
  const std::string jid = JidOf(user);
  if ((phase != kOnline && phase != kResuming) || jid.empty() || !RequestVcard(PendingIq::kUserInfo, jid, user)) {
    // Answered all the same, so that no text waits for it for ever.
    const std::string record = stand_in::UserInfoRecord(user, jid.empty() ? 0 : ValueOf(jid));
    Emit([record](IMsgLogicSink* sink) { sink->OnUserInfo(record.data()); });
  }
}

void Net::OwnPresence(int32_t value) {
  if (!Online("RequestA")) return;
  static const char* const kShows[] = {"", "away", "xa", "dnd"};
  if (value < 0 || value > 3) {
    Log("warning: RequestA(" + std::to_string(value) + "): presence 0 to 3 only");
    return;
  }
  // Our caps in every presence, or the server would stop sending our
  // friends' rooms (rooms.cc).
  if (value == 0) {
    Send("<presence>" + CapsElement() + "</presence>");
  } else {
    Send(std::string("<presence><show>") + kShows[value] + "</show>" + CapsElement() + "</presence>");
  }
}

void Net::OnPresence(xmpp_stanza_t* stanza) {
  const std::string full = Attr(stanza, "from");
  const std::string from = BareJid(full);
  Friend* f = FindFriend(from);
  if (f == nullptr) return;  // ourselves, or not a friend
  const std::string type = Attr(stanza, "type");
  const size_t slash = full.find('/');
  const std::string resource = slash == std::string::npos ? std::string() : full.substr(slash + 1);
  if (type == "unavailable" || type == "error") {
    if (resource.empty()) {
      f->resources.clear();
    } else {
      f->resources.erase(resource);
    }
  } else if (type.empty()) {
    if (f->resources.size() >= kMaxResources && f->resources.count(resource) == 0) {
      return;  // a friend's client farm, or a flood: the first ones count
    }
    Presence& p = f->resources[resource];
    p.show = TextOf(xmpp_stanza_get_child_by_name(stanza, "show"));
    p.text = TextOf(xmpp_stanza_get_child_by_name(stanza, "status"));
  } else {
    return;  // subscriptions are the user's business, in another client
  }
  UpdateStatus(f);
}

// The friend's status from its most available resource; reported when it
// changed.
void Net::UpdateStatus(Friend* f) {
  uint8_t status = kStatusOffline;
  std::string text;
  static const uint8_t kRank[] = {kStatusOnline, kStatusAway, kStatusBusy};
  for (uint8_t wanted : kRank) {
    for (const auto& entry : f->resources) {
      if (StatusOf(entry.second) == wanted) {
        status = wanted;
        text = entry.second.text;
        break;
      }
    }
    if (status != kStatusOffline) break;
  }
  if (status == f->status && text == f->status_text) return;
  f->status = status;
  f->status_text = text;
  if (list_sent) ReportFriend(*f);
}

void Net::ReadRoster(xmpp_stanza_t* query, bool push) {
  if (query == nullptr) return;
  for (xmpp_stanza_t* item = xmpp_stanza_get_children(query); item != nullptr;
       item = xmpp_stanza_get_next(item)) {
    const char* item_name = xmpp_stanza_get_name(item);
    if (item_name == nullptr || std::strcmp(item_name, "item") != 0) continue;
    const std::string jid = BareJid(Attr(item, "jid"));
    if (jid.empty() || jid == self_jid) continue;
    if (Attr(item, "subscription") == "remove") {
      roster.erase(std::remove_if(roster.begin(), roster.end(),
                                  [&jid](const Friend& f) { return f.jid == jid; }),
                   roster.end());
      continue;
    }
    Friend* f = FindFriend(jid);
    const bool is_new = f == nullptr;
    if (is_new) {
      const int32_t id = IdOf(jid);
      if (id == -1 || roster.size() >= kMaxRoster) {
        Log("warning: roster entry " + jid + " dropped (" + std::to_string(kMaxRoster) +
            " friends at most)");
        continue;
      }
      roster.emplace_back();
      f = &roster.back();
      f->jid = jid;
      f->id = id;
    }
    f->name = Attr(item, "name");
    const std::string subscription = Attr(item, "subscription");
    f->presence_seen = subscription == "to" || subscription == "both";
    if (is_new) RequestVcard(PendingIq::kFriendVcard, jid, f->id);
    if (push && list_sent) ReportFriend(*f);
  }
}

void Net::ReadVcard(const std::string& jid, xmpp_stanza_t* vcard) {
  Friend* f = FindFriend(jid);
  if (f == nullptr) return;
  const std::string nickname =
      TextOf(vcard != nullptr ? xmpp_stanza_get_child_by_name(vcard, "NICKNAME") : nullptr);
  if (nickname == f->nickname) return;
  f->nickname = nickname;
  if (list_sent) ReportFriend(*f);
}

}  // namespace xmpp_engine
