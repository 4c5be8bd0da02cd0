// CEventSinkAdapter: the administration program's CServerEventSink. Connection threads call OnUser and
// OnMessage directly, the owning thread OnDisconnect; every event goes into one queue, in the order of the
// calls, so a connection's rows never outlive its disconnect. The GUI takes the queue whole once per
// event-loop turn.
//
// Threads: the On... operations on any thread; Take on the GUI thread. The queue is guarded by its mutex.
// `wake` is called, outside the lock, by the call that finds the queue empty: one wake per batch.
#pragma once

#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/ServerEventSink.h"

namespace tw::admin {

struct ServerEvent {
    enum Kind { USER, DISCONNECT, MESSAGE };
    Kind kind = MESSAGE;
    ThreadId thread = 0;  // USER, DISCONNECT
    std::string user;     // USER, DISCONNECT
    std::string address;  // USER
    std::time_t when = 0; // USER: the login time
    EventLevel level = EventLevel::EVENT;  // MESSAGE
    std::string line;     // MESSAGE
};

class CEventSinkAdapter : public CServerEventSink {
public:
    using Clock = std::function<std::time_t()>;

    CEventSinkAdapter(std::function<void()> wake, Clock clock);

    // Every queued event, oldest first; the queue is empty afterwards.
    std::vector<ServerEvent> Take();

    void OnUser(ThreadId thread, const std::string& user, const std::string& address) override;
    void OnDisconnect(ThreadId thread, const std::string& user) override;
    void OnMessage(EventLevel level, const std::string& line) override;

private:
    void Push(ServerEvent event);

    const std::function<void()> wake_;
    const Clock clock_;
    std::mutex mutex_;  // guards queue_
    std::vector<ServerEvent> queue_;
};

}  // namespace tw::admin
