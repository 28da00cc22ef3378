#include "tests/support/fake_engine.h"

#include <cstring>

namespace msglogic {
namespace testing {
namespace {

class FakeEngine final : public IMsgLogic {
 public:
  FakeEngine(EngineLog* log, int number) : log_(log), number_(number) {}

  int32_t SetSink(IMsgLogicSink* sink) override {
    log_->SetSinkOf(sink);
    return Note(kSetSink, {}, sink);
  }
  int32_t LoginByName(const char* hex, int32_t param) override {
    Note(kLoginByName, {param}, hex, hex);
    return log_->login_by_name_result;
  }
  int32_t LoginById(int32_t id, int32_t param) override {
    Note(kLoginById, {id, param});
    return log_->login_by_id_result;
  }
  int32_t Release() override {
    Note(kRelease, {});
    if (log_->on_release) log_->on_release();
    EngineLog* log = log_;
    delete this;
    log->EngineGone();
    return 0;
  }
  int32_t SendText(int32_t id, int32_t one, int32_t self, int32_t value,
                   const char* text) override {
    return Note(kSendText, {id, one, self, value}, text, text);
  }
  int32_t SetUserId(int32_t id) override { return Note(kSetUserId, {id}); }
  int32_t RequestUserInfo(int32_t id) override { return Note(kRequestUserInfo, {id}); }
  int32_t ContactUser(int32_t id, int32_t value, int32_t self) override {
    return Note(kContactUser, {id, value, self});
  }
  int32_t Start() override { return Note(kStart, {}); }
  int32_t RequestA(int32_t v) override { return Note(kRequestA, {v}); }
  int32_t RequestB(int32_t v) override { return Note(kRequestB, {v}); }
  int32_t SendRoomInfo(uint32_t count, const void* packed) override {
    EngineCall call = MakeCall(kSendRoomInfo, {count}, packed);
    call.text.assign(static_cast<const char*>(packed), static_cast<size_t>(count) * 176);
    Deliver(call);
    return 0;
  }
  int32_t RequestC() override { return Note(kRequestC, {}); }
  int32_t KeepAlive() override { return Note(kKeepAlive, {}); }
  int32_t GetFriendList() override { return Note(kGetFriendList, {}); }

 private:
  ~FakeEngine() = default;

  EngineCall MakeCall(int slot, std::vector<int64_t> args, const void* pointer) {
    EngineCall call;
    call.engine = number_;
    call.slot = slot;
    call.args = std::move(args);
    call.pointer = pointer;
    call.thread = std::this_thread::get_id();
    return call;
  }
  void Deliver(const EngineCall& call) {
    log_->Record(call);
    if (log_->on_call) log_->on_call(call);
  }
  int32_t Note(int slot, std::vector<int64_t> args, const void* pointer = nullptr,
               const char* text = nullptr) {
    EngineCall call = MakeCall(slot, std::move(args), pointer);
    if (text != nullptr) call.text = text;
    Deliver(call);
    return 0;
  }

  EngineLog* const log_;
  const int number_;
};

}  // namespace

IMsgLogic* EngineLog::NewEngine() {
  std::lock_guard<std::mutex> hold(mu_);
  ++created_;
  ++alive_;
  return new FakeEngine(this, created_);
}

std::vector<EngineCall> EngineLog::Calls() {
  std::lock_guard<std::mutex> hold(mu_);
  return calls_;
}

std::vector<EngineCall> EngineLog::Calls(int slot) {
  std::lock_guard<std::mutex> hold(mu_);
  std::vector<EngineCall> out;
  for (const EngineCall& call : calls_) {
    if (call.slot == slot) out.push_back(call);
  }
  return out;
}

int EngineLog::Count(int slot) { return static_cast<int>(Calls(slot).size()); }

void EngineLog::Clear() {
  std::lock_guard<std::mutex> hold(mu_);
  calls_.clear();
}

IMsgLogicSink* EngineLog::sink() {
  std::lock_guard<std::mutex> hold(mu_);
  return sink_;
}

int EngineLog::engines_created() {
  std::lock_guard<std::mutex> hold(mu_);
  return created_;
}

int EngineLog::engines_alive() {
  std::lock_guard<std::mutex> hold(mu_);
  return alive_;
}

void EngineLog::Record(EngineCall call) {
  std::lock_guard<std::mutex> hold(mu_);
  calls_.push_back(std::move(call));
}

void EngineLog::SetSinkOf(IMsgLogicSink* sink) {
  std::lock_guard<std::mutex> hold(mu_);
  sink_ = sink;
}

void EngineLog::EngineGone() {
  std::lock_guard<std::mutex> hold(mu_);
  --alive_;
}

}  // namespace testing
}  // namespace msglogic
