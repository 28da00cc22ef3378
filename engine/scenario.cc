#include "engine/scenario.h"

#include <limits>
#include <map>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace stand_in {
namespace {

using nlohmann::json;

// A parse failure, with the place in the document it concerns.
struct ParseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw ParseError(where + ": " + what);
}

// Checks that `object` is an object with only the given keys (plus keys
// starting with '_', which are comments).
void ExpectKeys(const json& object, const std::string& where,
                std::initializer_list<const char*> keys) {
  if (!object.is_object()) Fail(where, "expected an object");
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (!it.key().empty() && it.key()[0] == '_') continue;
    bool known = false;
    for (const char* key : keys) known = known || it.key() == key;
    if (!known) Fail(where, "unknown key \"" + it.key() + "\"");
  }
}

int64_t Integer(const json& value, const std::string& where, int64_t min, int64_t max) {
  if (!value.is_number_integer()) Fail(where, "expected an integer");
  const int64_t n = value.is_number_unsigned()
                        ? static_cast<int64_t>(std::min<uint64_t>(value.get<uint64_t>(), INT64_MAX))
                        : value.get<int64_t>();
  if (n < min || n > max) {
    Fail(where, "out of range [" + std::to_string(min) + ", " + std::to_string(max) + "]");
  }
  return n;
}

int32_t Int32(const json& value, const std::string& where) {
  return static_cast<int32_t>(Integer(value, where, INT32_MIN, INT32_MAX));
}

std::string Text(const json& value, const std::string& where) {
  if (!value.is_string()) Fail(where, "expected a string");
  return value.get<std::string>();
}

bool Flag(const json& value, const std::string& where) {
  if (!value.is_boolean()) Fail(where, "expected true or false");
  return value.get<bool>();
}

Operand ReadOperand(const json& value, const std::string& where) {
  Operand operand;
  if (value.is_string()) {
    if (value.get<std::string>() != "$value") Fail(where, "expected an integer or \"$value\"");
    operand.from_trigger = true;
  } else {
    operand.value = Int32(value, where);
  }
  return operand;
}

// Reads the person fields present in `object` into *person / *patch.
template <typename Target>
void ReadPersonFields(const json& object, const std::string& where, Target* target) {
  auto at = [&](const char* key) { return where + "." + key; };
  if (object.contains("name")) target->name = Text(object["name"], at("name"));
  if (object.contains("display_name")) {
    target->display_name = Text(object["display_name"], at("display_name"));
  }
  if (object.contains("long_text")) target->long_text = Text(object["long_text"], at("long_text"));
  if (object.contains("status")) {
    target->status = static_cast<uint8_t>(Integer(object["status"], at("status"), 0, 255));
  }
  if (object.contains("value")) target->value = Int32(object["value"], at("value"));
  if (object.contains("info_a")) target->info_a = Int32(object["info_a"], at("info_a"));
  if (object.contains("info_b")) {
    target->info_b = static_cast<uint16_t>(Integer(object["info_b"], at("info_b"), 0, 65535));
  }
  if (object.contains("info_c")) target->info_c = Int32(object["info_c"], at("info_c"));
}

Person ReadPerson(const json& object, const std::string& where, bool is_friend) {
  if (is_friend) {
    ExpectKeys(object, where, {"id", "value", "listed", "name", "display_name", "long_text",
                               "status", "info_a", "info_b", "info_c", "reply"});
  } else {
    ExpectKeys(object, where, {"id", "value", "name", "reply"});
  }
  if (!object.contains("id")) Fail(where, "missing \"id\"");
  Person person;
  person.is_friend = is_friend;
  person.id = Int32(object["id"], where + ".id");
  ReadPersonFields(object, where, &person);
  if (object.contains("listed")) person.listed = Flag(object["listed"], where + ".listed");
  if (object.contains("reply")) person.reply = Text(object["reply"], where + ".reply");
  return person;
}

const std::map<std::string, Action::Kind>& ActionKinds() {
  static const std::map<std::string, Action::Kind> kinds = {
      {"user_list", Action::Kind::kUserList},   {"friend_update", Action::Kind::kFriendUpdate},
      {"friend_info", Action::Kind::kFriendInfo}, {"event_a", Action::Kind::kEventA},
      {"event_b", Action::Kind::kEventB},       {"event_c", Action::Kind::kEventC},
      {"event_d", Action::Kind::kEventD},       {"text", Action::Kind::kText},
      {"silence", Action::Kind::kSilence},      {"disconnect", Action::Kind::kDisconnect},
  };
  return kinds;
}

const std::map<std::string, Trigger>& Triggers() {
  static const std::map<std::string, Trigger> triggers = {
      {"login", Trigger::kLogin},         {"start", Trigger::kStart},
      {"friend_list", Trigger::kFriendList}, {"user_info", Trigger::kUserInfo},
      {"text", Trigger::kText},           {"contact_user", Trigger::kContact},
      {"request_a", Trigger::kRequestA},  {"request_b", Trigger::kRequestB},
      {"request_c", Trigger::kRequestC},  {"room_info", Trigger::kRoomInfo},
      {"keep_alive", Trigger::kKeepAlive},
  };
  return triggers;
}

Action ReadAction(const json& object, const std::string& where) {
  if (!object.is_object() || !object.contains("do")) Fail(where, "expected an object with \"do\"");
  const std::string kind = Text(object["do"], where + ".do");
  auto found = ActionKinds().find(kind);
  if (found == ActionKinds().end()) Fail(where + ".do", "unknown action \"" + kind + "\"");
  Action action;
  action.kind = found->second;
  auto at = [&](const char* key) { return where + "." + key; };
  switch (action.kind) {
    case Action::Kind::kUserList:
      ExpectKeys(object, where, {"do", "after_ms", "users"});
      if (!object.contains("users") || !object["users"].is_array()) {
        Fail(at("users"), "expected an array");
      }
      for (size_t i = 0; i < object["users"].size(); ++i) {
        const std::string w = at("users") + "[" + std::to_string(i) + "]";
        const json& entry = object["users"][i];
        ExpectKeys(entry, w, {"id", "kind", "name"});
        if (!entry.contains("id")) Fail(w, "missing \"id\"");
        ListedUser user;
        user.id = Int32(entry["id"], w + ".id");
        if (entry.contains("kind")) {
          user.kind = static_cast<uint8_t>(Integer(entry["kind"], w + ".kind", 0, 255));
        }
        if (entry.contains("name")) user.name = Text(entry["name"], w + ".name");
        action.users.push_back(user);
      }
      break;
    case Action::Kind::kFriendUpdate:
      ExpectKeys(object, where, {"do", "after_ms", "user", "set"});
      if (object.contains("set")) {
        ExpectKeys(object["set"], at("set"), {"name", "display_name", "long_text", "status",
                                              "value", "info_a", "info_b", "info_c"});
        ReadPersonFields(object["set"], at("set"), &action.patch);
      }
      break;
    case Action::Kind::kFriendInfo:
      ExpectKeys(object, where, {"do", "after_ms", "user"});
      break;
    case Action::Kind::kEventA:
      ExpectKeys(object, where, {"do", "after_ms", "user", "text"});
      break;
    case Action::Kind::kEventB:
      ExpectKeys(object, where, {"do", "after_ms", "value"});
      if (object.contains("value")) action.values[0] = ReadOperand(object["value"], at("value"));
      break;
    case Action::Kind::kEventD:
      ExpectKeys(object, where, {"do", "after_ms", "values"});
      if (!object.contains("values") || !object["values"].is_array() ||
          object["values"].size() != 3) {
        Fail(at("values"), "expected an array of three");
      }
      for (size_t i = 0; i < 3; ++i) {
        action.values[i] =
            ReadOperand(object["values"][i], at("values") + "[" + std::to_string(i) + "]");
      }
      break;
    case Action::Kind::kText:
      ExpectKeys(object, where, {"do", "after_ms", "user", "text", "type"});
      if (object.contains("type")) action.type = Int32(object["type"], at("type"));
      break;
    case Action::Kind::kEventC:
    case Action::Kind::kSilence:
    case Action::Kind::kDisconnect:
      ExpectKeys(object, where, {"do", "after_ms"});
      break;
  }
  if (object.contains("after_ms")) {
    action.after_ms = static_cast<int32_t>(Integer(object["after_ms"], at("after_ms"), 0, 600000));
  }
  if (object.contains("user")) action.user = ReadOperand(object["user"], at("user"));
  if (object.contains("text")) action.text = Text(object["text"], at("text"));
  const bool needs_user = action.kind == Action::Kind::kFriendUpdate ||
                          action.kind == Action::Kind::kFriendInfo ||
                          action.kind == Action::Kind::kEventA || action.kind == Action::Kind::kText;
  if (needs_user && !object.contains("user")) Fail(where, "missing \"user\"");
  return action;
}

Reaction ReadReaction(const json& object, const std::string& where) {
  ExpectKeys(object, where, {"on", "value", "then"});
  if (!object.contains("on")) Fail(where, "missing \"on\"");
  const std::string on = Text(object["on"], where + ".on");
  auto found = Triggers().find(on);
  if (found == Triggers().end()) Fail(where + ".on", "unknown trigger \"" + on + "\"");
  Reaction reaction;
  reaction.on = found->second;
  if (object.contains("value")) reaction.match = Int32(object["value"], where + ".value");
  if (!object.contains("then") || !object["then"].is_array()) {
    Fail(where + ".then", "expected an array of actions");
  }
  for (size_t i = 0; i < object["then"].size(); ++i) {
    reaction.then.push_back(
        ReadAction(object["then"][i], where + ".then[" + std::to_string(i) + "]"));
  }
  return reaction;
}

Scenario ReadScenario(const json& root) {
  ExpectKeys(root, "scenario", {"name", "activity_ms", "latency_ms", "echo_prefix", "refuse",
                                "friends", "users", "reactions"});
  Scenario scenario;
  if (root.contains("name")) scenario.name = Text(root["name"], "name");
  if (root.contains("activity_ms")) {
    scenario.activity_ms = static_cast<int32_t>(Integer(root["activity_ms"], "activity_ms", 100, 19000));
  }
  if (root.contains("latency_ms")) {
    scenario.latency_ms = static_cast<int32_t>(Integer(root["latency_ms"], "latency_ms", 0, 10000));
  }
  if (root.contains("echo_prefix")) scenario.echo_prefix = Text(root["echo_prefix"], "echo_prefix");
  if (root.contains("refuse")) {
    const json& refuse = root["refuse"];
    ExpectKeys(refuse, "refuse", {"ids", "names"});
    if (refuse.contains("ids")) {
      if (!refuse["ids"].is_array()) Fail("refuse.ids", "expected an array");
      for (size_t i = 0; i < refuse["ids"].size(); ++i) {
        scenario.refused_ids.push_back(
            Int32(refuse["ids"][i], "refuse.ids[" + std::to_string(i) + "]"));
      }
    }
    if (refuse.contains("names")) {
      if (!refuse["names"].is_array()) Fail("refuse.names", "expected an array");
      for (size_t i = 0; i < refuse["names"].size(); ++i) {
        scenario.refused_names.push_back(
            Text(refuse["names"][i], "refuse.names[" + std::to_string(i) + "]"));
      }
    }
  }
  for (const char* list : {"friends", "users"}) {
    if (!root.contains(list)) continue;
    if (!root[list].is_array()) Fail(list, "expected an array");
    for (size_t i = 0; i < root[list].size(); ++i) {
      const std::string where = std::string(list) + "[" + std::to_string(i) + "]";
      Person person = ReadPerson(root[list][i], where, std::string(list) == "friends");
      if (scenario.Find(person.id) != nullptr) {
        Fail(where + ".id", "user " + std::to_string(person.id) + " appears twice");
      }
      scenario.people.push_back(std::move(person));
    }
  }
  if (root.contains("reactions")) {
    if (!root["reactions"].is_array()) Fail("reactions", "expected an array");
    for (size_t i = 0; i < root["reactions"].size(); ++i) {
      scenario.reactions.push_back(
          ReadReaction(root["reactions"][i], "reactions[" + std::to_string(i) + "]"));
    }
  }
  // Every friend an action names must exist.
  for (size_t r = 0; r < scenario.reactions.size(); ++r) {
    for (size_t a = 0; a < scenario.reactions[r].then.size(); ++a) {
      const Action& action = scenario.reactions[r].then[a];
      const bool names_friend = action.kind == Action::Kind::kFriendUpdate ||
                                action.kind == Action::Kind::kFriendInfo;
      if (!names_friend || action.user.from_trigger) continue;
      const Person* person = scenario.Find(action.user.value);
      if (person == nullptr || !person->is_friend) {
        Fail("reactions[" + std::to_string(r) + "].then[" + std::to_string(a) + "].user",
             "no friend " + std::to_string(action.user.value));
      }
    }
  }
  return scenario;
}

}  // namespace

void PersonPatch::ApplyTo(Person* person) const {
  if (name) person->name = *name;
  if (display_name) person->display_name = *display_name;
  if (long_text) person->long_text = *long_text;
  if (status) person->status = *status;
  if (info_a) person->info_a = *info_a;
  if (info_b) person->info_b = *info_b;
  if (info_c) person->info_c = *info_c;
  if (value) person->value = *value;
}

Person* Scenario::Find(int32_t id) {
  for (Person& person : people) {
    if (person.id == id) return &person;
  }
  return nullptr;
}

const Person* Scenario::Find(int32_t id) const {
  return const_cast<Scenario*>(this)->Find(id);
}

bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error) {
  try {
    // Comments (// and /* */) are allowed, for hand-written files.
    const json root = json::parse(text, nullptr, true, true);
    *scenario = ReadScenario(root);
    return true;
  } catch (const json::exception& e) {
    *error = e.what();
  } catch (const ParseError& e) {
    *error = e.what();
  }
  return false;
}

Scenario DefaultScenario() {
  Scenario scenario;
  std::string error;
  // The built-in text is checked by the engine's tests; a failure here is a
  // defect of the build, not of the user's input.
  if (!ParseScenario(DefaultScenarioJson(), &scenario, &error)) {
    throw std::logic_error("built-in scenario: " + error);
  }
  return scenario;
}

}  // namespace stand_in
