// SIGINT and SIGTERM delivered through a MessageLoop instead of an asynchronous handler.
#pragma once

#include <functional>

namespace tw {

class MessageLoop;

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread it starts afterwards.
// Call before any thread is created.
void BlockStopSignals();

// Watches SIGINT and SIGTERM on `loop`; `onSignal` runs on the loop's thread with the signal number.
// Returns false when the signal descriptor cannot be created.
bool WatchStopSignals(MessageLoop& loop, std::function<void(int)> onSignal);

}  // namespace tw
