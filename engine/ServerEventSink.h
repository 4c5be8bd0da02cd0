// CServerEventSink: what the server object reports to its host. Called on the owning thread except
// OnUser, OnCommand and OnMessage, which connection threads call directly.
#pragma once

#include <cstdint>
#include <string>

#include "platform/MessageLoop.h"

namespace tw {

class CServerEventSink {
public:
    virtual ~CServerEventSink() = default;
    virtual void OnUser(ThreadId thread, const std::string& user, const std::string& address) = 0;
    virtual void OnDisconnect(ThreadId thread, const std::string& user) = 0;
    virtual void OnCommand(ThreadId thread, const std::string& currentDir, const std::string& line) = 0;
    virtual void OnMessage(int level, const std::string& line) = 0;
    virtual void OnBytesReceived(uint32_t total) = 0;
    virtual void OnBytesSent(uint32_t total) = 0;
    virtual void OnCounter(int index, int value) = 0;
};

}  // namespace tw
