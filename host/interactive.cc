// The command prompt.
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "host/demo_host.h"
#include "host/modes.h"

namespace demo {
namespace {

const char kHelp[] =
    "commands:\n"
    "  connect [ID]           log in with the saved login of ID (default 10001)\n"
    "  friends                ask for the friend list\n"
    "  send ID TEXT           send TEXT to user ID\n"
    "  contact ID             contact friend ID\n"
    "  rooms NAME [NAME...]   send room information, one room per name\n"
    "  request a|b VALUE      forward request A or B\n"
    "  request c              forward request C\n"
    "  release                release the agent (connect makes a new one)\n"
    "  help                   this text\n"
    "  quit                   release the agent and leave\n"
    "The built-in scenario answers request a 1 with a user list, request b 2 with a\n"
    "friend's update, request b 98 by going silent (the agent declares the loss\n"
    "after 21-23 s) and request b 99 by reporting a lost connection.\n";

const char* ConnectMeaning(int32_t result) {
  switch (result) {
    case 0: return "logged in";
    case 1: return "name login refused";
    case 2: return "id login refused";
    case 3: return "no usable saved login";
    case 4: return "no engine";
    default: return "?";
  }
}

bool ReadId(std::istringstream& words, int32_t* id) {
  long long value;
  if (!(words >> value)) return false;
  *id = static_cast<int32_t>(value);
  return true;
}

}  // namespace

int RunInteractive(PFN_CreateMsgLogicEx create, Transcript* out, std::istream& in) {
  DemoHost host(out);
  IMsgLogicEx* agent = nullptr;
  out->Raw("msglogic-demo: type \"help\" for the commands.\n");
  std::string line;
  for (;;) {
    out->Raw("> ");
    if (!std::getline(in, line)) break;
    std::istringstream words(line);
    std::string command;
    if (!(words >> command)) continue;
    if (command == "quit" || command == "exit") break;
    if (command == "help") {
      out->Raw(kHelp);
      continue;
    }
    if (command == "connect") {
      int32_t id = kMe;
      ReadId(words, &id);
      if (agent == nullptr) {
        agent = create();
        if (agent == nullptr) {
          out->Line("CreateMsgLogicEx returned null");
          continue;
        }
        agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
      }
      const int32_t result = agent->Connect(id, 0);
      out->Line("> Connect(" + std::to_string(id) + ", 0) = " + std::to_string(result) + " (" +
                ConnectMeaning(result) + ")");
      continue;
    }
    if (agent == nullptr) {
      if (command == "release") continue;
      if (command == "friends" || command == "send" || command == "contact" ||
          command == "rooms" || command == "request") {
        out->Line("no agent yet: connect first");
      } else {
        out->Line("unknown command \"" + command + "\": type help");
      }
      continue;
    }
    int32_t id = 0;
    if (command == "friends") {
      host.ExpectFullList();
      out->Line("> GetFriendList() = " + std::to_string(agent->GetFriendList()));
    } else if (command == "send" && ReadId(words, &id)) {
      std::string text;
      std::getline(words >> std::ws, text);
      out->Line("> SendText(" + std::to_string(id) + ", \"" + text + "\") = " +
                std::to_string(agent->SendText(id, Gb(text).c_str())));
    } else if (command == "contact" && ReadId(words, &id)) {
      out->Line("> ContactUser(" + std::to_string(id) + ") = " +
                std::to_string(agent->ContactUser(id)));
    } else if (command == "rooms") {
      std::vector<RoomInfo> rooms;
      std::string name;
      while (words >> name) {
        RoomInfo room;
        std::memset(&room, 0, sizeof room);
        room.nValue1 = static_cast<int32_t>(rooms.size() + 1);
        const std::string gb = Gb(name, sizeof room.szText1 - 1);
        std::memcpy(room.szText1, gb.data(), gb.size());
        rooms.push_back(room);
      }
      out->Line("> SendRoomInfo(" + std::to_string(rooms.size()) + ") = " +
                std::to_string(agent->SendRoomInfo(static_cast<uint32_t>(rooms.size()),
                                                   rooms.empty() ? nullptr : rooms.data())));
    } else if (command == "request") {
      std::string which;
      words >> which;
      int32_t value = 0;
      ReadId(words, &value);
      if (which == "a") {
        out->Line("> ForwardRequestA(" + std::to_string(value) + ") = " +
                  std::to_string(agent->ForwardRequestA(value)));
      } else if (which == "b") {
        out->Line("> ForwardRequestB(" + std::to_string(value) + ") = " +
                  std::to_string(agent->ForwardRequestB(value)));
      } else if (which == "c") {
        out->Line("> ForwardRequestC() = " + std::to_string(agent->ForwardRequestC()));
      } else {
        out->Line("request a VALUE, request b VALUE or request c");
      }
    } else if (command == "release") {
      out->Line("> Release() = " + std::to_string(agent->Release()));
      agent = nullptr;
    } else {
      out->Line("unknown or incomplete command \"" + line + "\": type help");
    }
  }
  if (agent != nullptr) out->Line("> Release() = " + std::to_string(agent->Release()));
  out->Raw("\n");
  return 0;
}

}  // namespace demo
