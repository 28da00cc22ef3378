// A host for the tests against a real server that came after server_test:
// a callback object that keeps everything it is told, in order, and one
// agent loaded from bin/xmpp beside the XMPP engine, as a host loads it.
#ifndef MSGLOGIC_ENGINE_XMPP_TEST_HOST_H_
#define MSGLOGIC_ENGINE_XMPP_TEST_HOST_H_

#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "MsgLogicEx.h"
#include "textcodec.h"

namespace xmpp_test {

inline std::string Gb(const std::string& utf8) {
  std::string gb(utf8.size(), '\0');
  gb.resize(UTF_8ToGB2312N(&gb[0], gb.size(), utf8.data(), utf8.size()));
  return gb;
}

class Host final : public IMsgLogicExCallback {
 public:
  // A text (OnUserData kind 0) or a notice (OnEventA): who, and the bytes.
  struct Said {
    int32_t user;
    std::string bytes;
  };

  // The next OnFriendList carries a whole list of this many entries; every
  // other one is a single friend's update.
  void ExpectList(size_t entries) {
    std::lock_guard<std::mutex> hold(mu_);
    list_entries_ = entries;
  }

  // Waits up to `timeout` for `done`, checked under the host's lock.
  bool WaitFor(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, timeout, done);
  }
  bool WaitForFriend(int32_t id, uint8_t status) {
    return WaitFor([&] {
      const auto it = friends_.find(id);
      return it != friends_.end() && it->second.byStatus == status;
    });
  }
  bool WaitForTexts(size_t count) {
    return WaitFor([&] { return texts_.size() >= count; });
  }
  bool WaitForNotice(int32_t user, const std::string& bytes) {
    return WaitFor([&] {
      for (const Said& s : notices_) {
        if (s.user == user && s.bytes == bytes) return true;
      }
      return false;
    });
  }
  bool WaitForLoss() {
    return WaitFor([&] { return losses_ > 0; }, std::chrono::milliseconds(15000));
  }

  std::vector<Said> Texts() {
    std::lock_guard<std::mutex> hold(mu_);
    return texts_;
  }
  std::vector<Said> Notices() {
    std::lock_guard<std::mutex> hold(mu_);
    return notices_;
  }
  int Losses() {
    std::lock_guard<std::mutex> hold(mu_);
    return losses_;
  }

  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  int32_t OnFriendList(int32_t flag, const FriendInfo* friends) override {
    std::lock_guard<std::mutex> hold(mu_);
    const size_t entries =
        flag == 1 && friends != nullptr ? (list_entries_ != 0 ? list_entries_ : 1) : 0;
    list_entries_ = 0;
    for (size_t i = 0; i < entries; ++i) {
      const int32_t id = friends[i].nUserId;  // a packed field: copied, not bound
      if (id != 0) friends_[id] = friends[i];
    }
    cv_.notify_all();
    return 0;
  }
  int32_t OnEventA(int32_t user, const char* text) override {
    std::lock_guard<std::mutex> hold(mu_);
    notices_.push_back({user, text});
    cv_.notify_all();
    return 0;
  }
  int32_t OnUserList(int32_t, const UserEntry*) override { return 0; }
  int32_t OnUserData(int32_t user, int32_t kind, const void* data) override {
    std::lock_guard<std::mutex> hold(mu_);
    if (kind == 0) texts_.push_back({user, static_cast<const char*>(data)});
    cv_.notify_all();
    return 0;
  }
  int32_t OnEventB(int32_t) override { return 0; }
  int32_t OnEventC() override { return 0; }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return 0; }
  int32_t OnConnectionLost() override {
    std::lock_guard<std::mutex> hold(mu_);
    ++losses_;
    cv_.notify_all();
    return 0;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  size_t list_entries_ = 0;
  std::map<int32_t, FriendInfo> friends_;
  std::vector<Said> texts_;
  std::vector<Said> notices_;
  int losses_ = 0;
};

// The agent library beside the XMPP engine (MSGLOGIC_XMPP_AGENT, set by the
// build), or null.
inline PFN_CreateMsgLogicEx AgentFactory() {
  static void* library = dlopen(MSGLOGIC_XMPP_AGENT, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  return reinterpret_cast<PFN_CreateMsgLogicEx>(dlsym(library, "CreateMsgLogicEx"));
}

// One host with its agent.
struct Client {
  Host host;
  IMsgLogicEx* agent = nullptr;

  Client() {
    PFN_CreateMsgLogicEx create = AgentFactory();
    if (create != nullptr) agent = create();
    if (agent != nullptr) agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
  }
  ~Client() { Release(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  void Release() {
    if (agent != nullptr) agent->Release();
    agent = nullptr;
  }
  // Logs in and asks for the friend list (of `friends` entries).
  int32_t ConnectAndList(int32_t id, size_t friends) {
    const int32_t result = agent->Connect(id, 0);
    if (result == 0) {
      host.ExpectList(friends);
      agent->GetFriendList();
    }
    return result;
  }
};

// The saved logins of users 10001 to 10005, as ./KWPMsg/loginInfo.ini.
constexpr char kLogins[] =
    "[loginInfo]\n"
    "id1=10001\nflag1=1\n"
    "id2=10002\nflag2=1\n"
    "id3=10003\nflag3=1\n"
    "id4=10004\nflag4=1\n"
    "id5=10005\nflag5=1\n";

// A folder of the test's own under /tmp that ejabberd (a user of its own)
// can reach, holding work/KWPMsg/loginInfo.ini; the agents run with work/
// as the current folder, as a host's would. When the object goes, the old
// folder is current again and the folder is removed.
class WorkDir {
 public:
  WorkDir() = default;
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  ~WorkDir() {
    if (root_.empty()) return;
    std::error_code ec;
    std::filesystem::current_path(old_dir_, ec);
    std::filesystem::remove_all(root_, ec);
  }
  // False when the folder cannot be made.
  bool Make(const std::string& tag, const char* logins) {
    std::string pattern = "/tmp/msglogic-xmpp-" + tag + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return false;
    root_ = pattern;
    chmod(root_.c_str(), 0755);
    std::filesystem::create_directories(root_ + "/work/KWPMsg");
    std::ofstream(root_ + "/work/KWPMsg/loginInfo.ini") << logins;
    old_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(root_ + "/work");
    return true;
  }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
  std::filesystem::path old_dir_;
};

// The engine's settings every agent test starts from, apart from the
// server's address and accounts: the test CA's certificate (encryption
// required), no pin, passwords from the accounts file.
inline void UseTestSettings(const std::string& ca_file) {
  setenv("MSGLOGIC_XMPP_DOMAIN", "localhost", 1);
  setenv("MSGLOGIC_XMPP_LOGIN_TIMEOUT_MS", "5000", 1);
  setenv("MSGLOGIC_XMPP_CA_FILE", ca_file.c_str(), 1);
  unsetenv("MSGLOGIC_XMPP_TLS");
  unsetenv("MSGLOGIC_XMPP_TLS_PIN");
  unsetenv("MSGLOGIC_XMPP_PASSWORD");
}

}  // namespace xmpp_test

#endif  // MSGLOGIC_ENGINE_XMPP_TEST_HOST_H_
