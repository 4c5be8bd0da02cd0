// CEngineLoop: the engine's owning MessageLoop on the GUI thread, run by Qt's event loop through a
// socket notifier on its poll descriptor. Qt's nested loops (modal boxes) keep it running, and the
// engine's own nested waits (StopServer) dispatch it directly.
//
// Threads: created, run and destroyed on the GUI thread, before and after the server object.
#pragma once

#include <QSocketNotifier>

#include "platform/MessageLoop.h"

namespace tw::admin {

class CEngineLoop {
public:
    CEngineLoop();
    MessageLoop& Loop() { return loop_; }

private:
    MessageLoop loop_;
    QSocketNotifier notifier_;
};

}  // namespace tw::admin
