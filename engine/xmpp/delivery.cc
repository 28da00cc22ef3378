// The sink calls' way out: the network thread hands each turn's calls over
// (Net::Deliver), and the delivery thread makes them (RunDeliveries).
//
// Threads: Net::Deliver and Net::Backlog run on the network thread;
// RunDeliveries is the delivery thread's body. State: shared->deliveries,
// shared->in_call, shared->delivery_waiting, under shared->mu.
// Rules:
//  - Calls are made one at a time, in the order they were handed over, and
//    only while the engine is not released and the call's login is the
//    latest one.
//  - No lock is held during a sink call; in_call marks it, and Release
//    waits for it to clear.
//  - At most kMaxCalls calls wait; past that every call but the loss of the
//    connection is dropped.
//  - The hand-over costs one lock and, only when the delivery thread sleeps
//    (delivery_waiting), one wake-up on delivery_cv, made after the lock is
//    released; the journal is written with no lock held.
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
  size_t dropped = 0;
  bool wake = false;
  bool tell = false;
  {
    std::lock_guard<std::mutex> hold(shared->mu);
    if (shared->stopped) return false;
    if (out.empty()) return true;
    for (Outgoing& item : out) {
      if (shared->deliveries.size() >= kMaxCalls && !item.essential) {
        ++dropped;
        continue;
      }
      shared->deliveries.push_back(Delivery{login, std::move(item.call)});
    }
    tell = dropped > 0 && !backlog_told;
    backlog_told = tell || (backlog_told && shared->deliveries.size() >= kMaxCalls / 2);
    wake = shared->delivery_waiting;
    shared->delivery_waiting = false;  // one wake-up is enough
  }
  out.clear();
  // Woken after the lock is released, so that the delivery thread does not
  // wake only to wait for it; and only when it sleeps.
  if (wake) shared->delivery_cv.notify_one();
  if (tell) {
    Log("warning: " + std::to_string(kMaxCalls) + " sink calls wait for the host: " +
        std::to_string(dropped) + " dropped");
  }
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
    while (!shared->stopped && shared->deliveries.empty()) {
      shared->delivery_waiting = true;
      shared->delivery_cv.wait(hold);
    }
    shared->delivery_waiting = false;
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
    if (shared->release_waiting) shared->cv.notify_all();  // Release waits for this call's end
  }
  std::deque<Delivery> dropped;
  dropped.swap(shared->deliveries);
  hold.unlock();
}

}  // namespace xmpp_engine
