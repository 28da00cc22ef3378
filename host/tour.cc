// The scripted tour and the timeout demo.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "host/demo_host.h"
#include "host/modes.h"

namespace demo {
namespace {

constexpr int kWaitMs = 3000;  // for any one expected callback

using Match = std::function<bool(const HostEvent&)>;

Match Is(HostEvent::Kind kind, std::function<bool(const HostEvent&)> more = nullptr) {
  return [kind, more](const HostEvent& e) { return e.kind == kind && (!more || more(e)); };
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

RoomInfo Room(int32_t v1, const std::string& text1, int32_t v2, const std::string& text2,
              int32_t v3, int32_t v4) {
  RoomInfo room;
  std::memset(&room, 0, sizeof room);
  room.nValue1 = v1;
  room.nValue2 = v2;
  room.nValue3 = v3;
  room.nValue4 = v4;
  const std::string gb1 = Gb(text1, sizeof room.szText1 - 1);
  const std::string gb2 = Gb(text2, sizeof room.szText2 - 1);
  std::memcpy(room.szText1, gb1.data(), gb1.size());
  std::memcpy(room.szText2, gb2.data(), gb2.size());
  return room;
}

// Runs numbered steps, stopping at the first that fails.
class Tour {
 public:
  Tour(IMsgLogicEx* agent, DemoHost* host, Transcript* out) : agent_(agent), host_(host), out_(out) {}

  void Step(const std::string& title, const std::function<bool()>& body) {
    if (!failed_.empty()) return;
    ++steps_;
    out_->Line("== " + std::to_string(steps_) + ". " + title);
    if (!body()) failed_ = std::to_string(steps_) + ". " + title;
  }

  // Shows a call's result and checks it.
  bool Result(const std::string& call, int32_t result, int32_t expected) {
    std::string line = "> " + call + " = " + std::to_string(result);
    if (result != expected) line += "   FAILED: expected " + std::to_string(expected);
    out_->Line(line);
    return result == expected;
  }

  // Waits for a callback from `mark` on.
  bool Await(const std::string& what, size_t mark, const Match& match, HostEvent* found = nullptr) {
    if (host_->WaitFor(mark, match, kWaitMs, found)) {
      out_->Line("  ok: " + what);
      return true;
    }
    out_->Line("  FAILED: no " + what + " within " + std::to_string(kWaitMs / 1000) + " s");
    return false;
  }

  bool Check(bool ok, const std::string& what) {
    out_->Line(std::string(ok ? "  ok: " : "  FAILED: ") + what);
    return ok;
  }

  IMsgLogicEx* agent() { return agent_; }
  DemoHost* host() { return host_; }
  const std::string& failed() const { return failed_; }
  int steps() const { return steps_; }

 private:
  IMsgLogicEx* const agent_;
  DemoHost* const host_;
  Transcript* const out_;
  int steps_ = 0;
  std::string failed_;
};

}  // namespace

int RunTour(PFN_CreateMsgLogicEx create, Transcript* out) {
  IMsgLogicEx* agent = create();
  if (agent == nullptr) {
    out->Line("FAILED: CreateMsgLogicEx returned null");
    return 1;
  }
  DemoHost host(out);
  Tour tour(agent, &host, out);
  FriendInfo online{}, offline{};

  tour.Step("register the callback object", [&] {
    IMsgLogicExCallback* registered = agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
    return tour.Check(registered == &host, "SetCallback registered the demo's callback");
  });
  tour.Step("connect with a saved login the server refuses", [&] {
    return tour.Result("Connect(" + std::to_string(kRefused) + ", 0)", agent->Connect(kRefused, 0), 1);
  });
  tour.Step("connect", [&] {
    return tour.Result("Connect(" + std::to_string(kMe) + ", 0)", agent->Connect(kMe, 0), 0);
  });
  tour.Step("friend list", [&] {
    const size_t mark = host.Mark();
    host.ExpectFullList();
    HostEvent list;
    if (!tour.Result("GetFriendList()", agent->GetFriendList(), 0) ||
        !tour.Await("the friend list", mark,
                    Is(HostEvent::kFriendList, [](const HostEvent& e) { return e.values[0] == 1; }),
                    &list)) {
      return false;
    }
    for (const FriendInfo& f : list.friends) {
      if (IsOnline(f) && online.nUserId == 0 && f.nUserId != kEcho) online = f;
      if (!IsOnline(f) && offline.nUserId == 0) offline = f;
    }
    return tour.Check(online.nUserId != 0 && offline.nUserId != 0,
                      "it has friends online and friends not online");
  });
  tour.Step("a text to a friend, who echoes it", [&] {
    const std::string text = "你好，回声！";
    const size_t mark = host.Mark();
    return tour.Result("SendText(" + std::to_string(kEcho) + ", \"" + text + "\")",
                       agent->SendText(kEcho, Gb(text).c_str()), 0) &&
           tour.Await("the echo", mark, Is(HostEvent::kText, [&](const HostEvent& e) {
                        return e.user == kEcho && Contains(e.text, text);
                      }));
  });
  tour.Step("a text to a user who is no friend: queued until the user's details arrive", [&] {
    const std::string text = "你好，我们还不是好友。";
    const size_t mark = host.Mark();
    return tour.Result("SendText(" + std::to_string(kStranger) + ", \"" + text + "\")",
                       agent->SendText(kStranger, Gb(text).c_str()), 1) &&
           tour.Await("the user's answer, so the queued text went out", mark,
                      Is(HostEvent::kText, [](const HostEvent& e) { return e.user == kStranger; }));
  });
  tour.Step("contact a friend who is not online", [&] {
    out->Line("  (the agent tells the user so: in a message box, or on standard error here)");
    return tour.Result("ContactUser(" + std::to_string(offline.nUserId) + ")",
                       agent->ContactUser(offline.nUserId), -1);
  });
  tour.Step("contact a friend who is online", [&] {
    const size_t mark = host.Mark();
    const int32_t id = online.nUserId;
    return tour.Result("ContactUser(" + std::to_string(id) + ")", agent->ContactUser(id), 0) &&
           tour.Await("the engine's notice about it", mark,
                      Is(HostEvent::kEventA, [id](const HostEvent& e) { return e.user == id; }));
  });
  tour.Step("room information", [&] {
    const RoomInfo rooms[] = {Room(1, "大厅", 2, "一楼", 3, 4), Room(5, "会议室", 6, "二楼", 7, 8)};
    const size_t mark = host.Mark();
    return tour.Result("SendRoomInfo(2, {大厅, 会议室})", agent->SendRoomInfo(2, rooms), 0) &&
           tour.Await("the engine's notice naming both rooms", mark,
                      Is(HostEvent::kEventA, [](const HostEvent& e) {
                        return Contains(e.text, "大厅") && Contains(e.text, "会议室");
                      }));
  });
  tour.Step("forwarded request A", [&] {
    const size_t mark = host.Mark();
    return tour.Result("ForwardRequestA(1)", agent->ForwardRequestA(1), 0) &&
           tour.Await("a user list", mark, Is(HostEvent::kUserList, [](const HostEvent& e) {
                        return !e.users.empty();
                      }));
  });
  tour.Step("forwarded request B", [&] {
    const size_t mark = host.Mark();
    return tour.Result("ForwardRequestB(2)", agent->ForwardRequestB(2), 0) &&
           tour.Await("event B with the request's value", mark,
                      Is(HostEvent::kEventB, [](const HostEvent& e) { return e.values[0] == 2; })) &&
           tour.Await("a friend's update", mark, Is(HostEvent::kFriendList, [](const HostEvent& e) {
                        return e.friends.size() == 1;
                      }));
  });
  tour.Step("forwarded request C", [&] {
    const size_t mark = host.Mark();
    return tour.Result("ForwardRequestC()", agent->ForwardRequestC(), 0) &&
           tour.Await("event C", mark, Is(HostEvent::kEventC)) &&
           tour.Await("event D", mark, Is(HostEvent::kEventD));
  });
  tour.Step("the engine loses its connection", [&] {
    const size_t mark = host.Mark();
    if (!tour.Result("ForwardRequestB(" + std::to_string(kDisconnect) + ")",
                     agent->ForwardRequestB(kDisconnect), 0) ||
        !tour.Await("OnConnectionLost", mark, Is(HostEvent::kLost))) {
      return false;
    }
    // The agent resets right after telling the host.
    int32_t result = 0;
    for (int i = 0; i < 40 && result != -1; ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      result = agent->ForwardRequestC();
    }
    return tour.Result("ForwardRequestC() after the loss", result, -1);
  });

  out->Line("> Release() = " + std::to_string(agent->Release()));
  if (!tour.failed().empty()) {
    out->Line("tour FAILED at step " + tour.failed());
    return 1;
  }
  char summary[64];
  std::snprintf(summary, sizeof summary, "%.2f", out->Seconds());
  out->Line("tour: all " + std::to_string(tour.steps()) + " steps ok in " + summary + " s");
  return 0;
}

int RunTimeoutDemo(PFN_CreateMsgLogicEx create, Transcript* out) {
  IMsgLogicEx* agent = create();
  if (agent == nullptr) {
    out->Line("FAILED: CreateMsgLogicEx returned null");
    return 1;
  }
  DemoHost host(out);
  agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
  bool ok = false;
  const int32_t connected = agent->Connect(kMe, 0);
  out->Line("> Connect(" + std::to_string(kMe) + ", 0) = " + std::to_string(connected));
  if (connected == 0) {
    const size_t mark = host.Mark();
    out->Line("> ForwardRequestB(" + std::to_string(kGoSilent) + ") = " +
              std::to_string(agent->ForwardRequestB(kGoSilent)) +
              "   (the engine goes silent: no more activity)");
    const auto start = std::chrono::steady_clock::now();
    for (int waited = 0; waited < 40 && !ok; waited += 5) {
      ok = host.WaitFor(mark, Is(HostEvent::kLost), 5000);
      if (!ok) out->Line("  waiting... " + std::to_string(waited + 5) + " s");
    }
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    out->Line(ok ? std::string("connection declared lost after ") + elapsed + " s of silence"
                 : std::string("FAILED: no loss declared within 40 s"));
  }
  out->Line("> Release() = " + std::to_string(agent->Release()));
  return ok ? 0 : 1;
}

}  // namespace demo
