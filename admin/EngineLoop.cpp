#include "admin/EngineLoop.h"

namespace tw::admin {

CEngineLoop::CEngineLoop() : notifier_(loop_.PollFd(), QSocketNotifier::Read) {
    QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { loop_.DispatchReady(); });
}

}  // namespace tw::admin
