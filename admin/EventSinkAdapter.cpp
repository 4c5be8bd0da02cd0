#include "admin/EventSinkAdapter.h"

namespace tw::admin {

CEventSinkAdapter::CEventSinkAdapter(std::function<void()> wake, Clock clock)
    : wake_(std::move(wake)), clock_(std::move(clock)) {}

std::vector<ServerEvent> CEventSinkAdapter::Take() {
    std::vector<ServerEvent> events;
    std::lock_guard lock(mutex_);
    events.swap(queue_);
    return events;
}

void CEventSinkAdapter::OnUser(ThreadId thread, const std::string& user, const std::string& address) {
    ServerEvent e;
    e.kind = ServerEvent::USER;
    e.thread = thread;
    e.user = user;
    e.address = address;
    e.when = clock_();
    Push(std::move(e));
}

void CEventSinkAdapter::OnDisconnect(ThreadId thread, const std::string& user) {
    ServerEvent e;
    e.kind = ServerEvent::DISCONNECT;
    e.thread = thread;
    e.user = user;
    Push(std::move(e));
}

void CEventSinkAdapter::OnMessage(EventLevel level, const std::string& line) {
    ServerEvent e;
    e.kind = ServerEvent::MESSAGE;
    e.level = level;
    e.line = line;
    Push(std::move(e));
}

void CEventSinkAdapter::Push(ServerEvent event) {
    bool first;
    {
        std::lock_guard lock(mutex_);
        first = queue_.empty();
        queue_.push_back(std::move(event));
    }
    if (first) wake_();
}

}  // namespace tw::admin
