// A stand-in messaging engine: accepts every login and shows activity every
// few seconds on its own thread, so that a connection stays up.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "MsgLogic.h"

namespace {

class StandInEngine final : public IMsgLogic {
 public:
  int32_t SetSink(IMsgLogicSink* sink) override {
    sink_.store(sink);
    return 0;
  }
  int32_t LoginByName(const char*, int32_t) override { return 2; }
  int32_t LoginById(int32_t, int32_t) override { return 2; }
  int32_t Release() override {
    {
      std::lock_guard<std::mutex> hold(mu_);
      stopping_ = true;
    }
    cv_.notify_all();
    // The activity thread only ever calls OnActivity, which never waits for
    // the caller's engine lock, so it can be joined here.
    if (activity_.joinable()) {
      if (activity_.get_id() == std::this_thread::get_id()) {
        activity_.detach();
      } else {
        activity_.join();
      }
    }
    delete this;
    return 0;
  }
  int32_t SendText(int32_t, int32_t, int32_t, int32_t, const char*) override { return 0; }
  int32_t SetUserId(int32_t) override { return 0; }
  int32_t RequestUserInfo(int32_t) override { return 0; }
  int32_t ContactUser(int32_t, int32_t, int32_t) override { return 0; }
  int32_t Start() override {
    std::lock_guard<std::mutex> hold(mu_);
    if (!activity_.joinable()) activity_ = std::thread([this] { ShowActivity(); });
    return 0;
  }
  int32_t RequestA(int32_t) override { return 0; }
  int32_t RequestB(int32_t) override { return 0; }
  int32_t SendRoomInfo(uint32_t, const void*) override { return 0; }
  int32_t RequestC() override { return 0; }
  int32_t KeepAlive() override { return 0; }
  int32_t GetFriendList() override { return 0; }

 private:
  ~StandInEngine() = default;

  void ShowActivity() {
    std::unique_lock<std::mutex> hold(mu_);
    while (!stopping_) {
      hold.unlock();
      if (IMsgLogicSink* sink = sink_.load()) sink->OnActivity();
      hold.lock();
      cv_.wait_for(hold, std::chrono::seconds(5), [this] { return stopping_; });
    }
  }

  std::atomic<IMsgLogicSink*> sink_{nullptr};
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::thread activity_;
};

}  // namespace

extern "C" MSGLOGIC_API IMsgLogic* CreateMsgLogic(void) {
  return new (std::nothrow) StandInEngine;
}
