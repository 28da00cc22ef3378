// What the stand-in engine simulates: the people it knows, the logins it
// refuses and how it reacts to what the agent asks. A scenario is read from
// JSON (see examples/scenarios/README.md); the built-in one is
// DefaultScenario().
#ifndef MSGLOGIC_ENGINE_SCENARIO_H_
#define MSGLOGIC_ENGINE_SCENARIO_H_

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace stand_in {

// A user the engine knows: a friend (in the friend list) or not.
struct Person {
  int32_t id = 0;
  bool is_friend = true;
  int32_t value = 0;
  // Friends only: whether the value goes out in the value list; a friend
  // whose value is not listed is not passed on to the host.
  bool listed = true;
  std::string name;          // UTF-8
  std::string display_name;  // UTF-8
  std::string long_text;     // UTF-8
  uint8_t status = 1;        // 2 and 3: not online
  int32_t info_a = 0;
  uint16_t info_b = 0;
  int32_t info_c = 0;
  // What the user answers a text with: nothing (empty), the text itself
  // behind the scenario's echo prefix ("echo"), or this UTF-8 text.
  std::string reply;
};

// Changes a friend_update action makes to a friend before reporting it.
struct PersonPatch {
  std::optional<std::string> name, display_name, long_text;
  std::optional<uint8_t> status;
  std::optional<int32_t> info_a, info_c, value;
  std::optional<uint16_t> info_b;

  void ApplyTo(Person* person) const;
};

// One entry of a user-list event.
struct ListedUser {
  int32_t id = 0;
  uint8_t kind = 1;  // only kind 1 reaches the host
  std::string name;  // UTF-8
};

// An integer operand that may instead take the argument of the call that
// triggered the reaction ("$value" in JSON).
struct Operand {
  int32_t value = 0;
  bool from_trigger = false;
  int32_t Resolve(int32_t trigger_value) const {
    return from_trigger ? trigger_value : value;
  }
};

// Something the engine does in reaction to a call.
struct Action {
  enum class Kind {
    kUserList,      // OnUserList(users)
    kFriendUpdate,  // patch friend `user`, then OnFriendUpdate(its record)
    kFriendInfo,    // OnFriendInfo(record of friend `user`)
    kEventA,        // OnEventA(user, text)
    kEventB,        // OnEventB(values[0])
    kEventC,        // OnEventC()
    kEventD,        // OnEventD(values[0..2])
    kText,          // OnUserText(user, text record of `type`)
    kSilence,       // one last OnActivity, then nothing more: no activity,
                    // no answers, until the next login
    kDisconnect,    // OnDisconnect(), then nothing more until the next login
  };
  Kind kind = Kind::kEventC;
  int32_t after_ms = 0;  // delay after the triggering call (plus latency)
  Operand user;
  Operand values[3];
  int32_t type = 1;  // kText: the record's type
  // UTF-8; "$value" is replaced by the trigger's argument and "$rooms" by
  // the names of the rooms a SendRoomInfo carried.
  std::string text;
  std::vector<ListedUser> users;
  PersonPatch patch;
};

// Calls of the agent a reaction can follow.
enum class Trigger {
  kLogin,       // a successful login (argument: the user id, 0 by name)
  kStart,       // Start after a login (argument: the own id)
  kFriendList,  // GetFriendList
  kUserInfo,    // RequestUserInfo (argument: the user id)
  kText,        // SendText (argument: the target)
  kContact,     // ContactUser (argument: the target)
  kRequestA,    // RequestA (argument: its value)
  kRequestB,    // RequestB (argument: its value)
  kRequestC,    // RequestC
  kRoomInfo,    // SendRoomInfo (argument: the room count)
  kKeepAlive,   // KeepAlive
};

struct Reaction {
  Trigger on = Trigger::kRequestC;
  std::optional<int32_t> match;  // the argument it answers; any when empty
  std::vector<Action> then;
};

struct Scenario {
  std::string name;
  int32_t activity_ms = 4000;  // between two OnActivity while connected
  int32_t latency_ms = 20;     // before any answer
  std::string echo_prefix = "echo: ";  // UTF-8
  std::vector<Person> people;          // friends in list order, and others
  std::vector<int32_t> refused_ids;
  std::vector<std::string> refused_names;  // as saved in the login file
  std::vector<Reaction> reactions;

  Person* Find(int32_t id);
  const Person* Find(int32_t id) const;
};

// Parses a scenario from JSON text. On failure returns false and says why
// in *error (with the place: "friends[2].status: ...").
bool ParseScenario(const std::string& json, Scenario* scenario, std::string* error);

// The scenario the engine runs when none is named.
const char* DefaultScenarioJson();
Scenario DefaultScenario();

}  // namespace stand_in

#endif  // MSGLOGIC_ENGINE_SCENARIO_H_
