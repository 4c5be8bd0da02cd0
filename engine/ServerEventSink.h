// CServerEventSink: what the server object reports to its host. Called on the owning thread except
// OnUser, OnCommand and OnMessage, which connection threads call directly. Each report does nothing
// unless the host overrides it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/MessageLoop.h"

namespace tw {

// The level of an event line. The numbers are those the hosts have always stored and shown.
enum class EventLevel : int {
    EVENT = 0,       // of the server and its connections: starts, stops, connects, logins, bans
    COMMAND = 1,     // a command line received
    REPLY = 2,       // a reply sent
    DIAGNOSTIC = 3,  // failures, refusals and the service's own notes
};

class CServerEventSink {
public:
    virtual ~CServerEventSink() = default;
    virtual void OnUser(ThreadId thread, const std::string& user, const std::string& address) {}
    virtual void OnDisconnect(ThreadId thread, const std::string& user) {}
    virtual void OnCommand(ThreadId thread, const std::string& currentDir, const std::string& line) {}
    virtual void OnMessage(EventLevel level, const std::string& line) {}
    virtual void OnBytesReceived(uint32_t total) {}
    virtual void OnBytesSent(uint32_t total) {}
    virtual void OnCounter(int index, int value) {}
};

}  // namespace tw
