// The sink calls' way out: the network thread hands each turn's calls over
// (Net::Deliver), and the delivery thread makes them (RunDeliveries).
//
// Threads: Net::Deliver and Net::Backlog run on the network thread;
// RunDeliveries is the delivery thread's body. State: shared->deliveries,
// shared->in_call, under shared->mu.
// Rules:
//  - Calls are made one at a time, in the order they were handed over, and
//    only while the engine is not released and the call's login is the
//    latest one.
//  - No lock is held during a sink call; in_call marks it, and Release
//    waits for it to clear.
//  - At most kMaxCalls calls wait; past that every call but the loss of the
//    connection is dropped.
#include <stdint.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "MsgLogic.h"
#include "engine/xmpp/net.h"
#include "engine/xmpp/shared.h"

namespace xmpp_engine {

// Sink calls waiting, handed over or not.
size_t Net::Backlog() const {
  std::lock_guard<std::mutex> hold(shared->mu);
  return shared->deliveries.size() + out.size();
}

// Hands the sink calls of this turn to the delivery thread, in order.
// False once the engine is released.
bool Net::Deliver() {
  if (activity) {
    activity = false;
    out.insert(out.begin(), Outgoing{[](IMsgLogicSink* sink) { sink->OnActivity(); }, false});
  }
  std::lock_guard<std::mutex> hold(shared->mu);
  if (shared->stopped) return false;
  if (out.empty()) return true;
  size_t dropped = 0;
  for (Outgoing& item : out) {
    if (shared->deliveries.size() >= kMaxCalls && !item.essential) {
      ++dropped;
      continue;
    }
    shared->deliveries.push_back(Delivery{login, std::move(item.call)});
  }
  out.clear();
  if (dropped > 0 && !backlog_told) {
    backlog_told = true;
    Log("warning: " + std::to_string(kMaxCalls) + " sink calls wait for the host: " +
        std::to_string(dropped) + " dropped");
  }
  backlog_told = backlog_told && shared->deliveries.size() >= kMaxCalls / 2;
  shared->cv.notify_all();
  return true;
}

// The delivery thread: makes the sink calls one at a time, in the order the
// network thread handed them over, while the engine is not released. The
// network thread itself never waits for the agent, so a login always gets
// through, even while a sink call waits for the lock the login's caller
// holds.
void RunDeliveries(std::shared_ptr<Shared> shared) {
  std::unique_lock<std::mutex> hold(shared->mu);
  for (;;) {
    shared->cv.wait(hold, [&] { return shared->stopped || !shared->deliveries.empty(); });
    if (shared->stopped) break;
    Delivery call = std::move(shared->deliveries.front());
    shared->deliveries.pop_front();
    IMsgLogicSink* sink = shared->sink;
    if (sink == nullptr) continue;
    // A call of an earlier login once a newer one has begun: its news (the
    // end of the old stream above all) is nobody's now.
    if (call.login != shared->login) continue;
    shared->in_call = true;
    hold.unlock();
    try {
      call.call(sink);
    } catch (...) {
      // The sink does not throw; nothing to undo if it did.
    }
    call.call = nullptr;
    hold.lock();
    shared->in_call = false;
    shared->cv.notify_all();  // Release may be waiting for this call to end
  }
  std::deque<Delivery> dropped;
  dropped.swap(shared->deliveries);
  hold.unlock();
}

}  // namespace xmpp_engine
