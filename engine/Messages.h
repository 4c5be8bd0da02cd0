// Message numbers between connection threads, the server's notification target and the hosts.
#pragma once

#include "platform/MessageLoop.h"

namespace tw {

constexpr unsigned WM_FTP_CONNECTED = WM_USER + 200;     // 1224, sent: wParam thread, lParam 0 plain / 1 TLS
constexpr unsigned WM_FTP_DISCONNECTED = WM_USER + 201;  // 1225, sent: as above
constexpr unsigned WM_FTP_NOTIFY = WM_USER + 202;        // 1226, posted: see NotifyKind
constexpr unsigned WM_SERVICE_LOG = WM_USER + 203;       // 1227, service host
constexpr unsigned WM_SERVICE_STOP = WM_USER + 204;      // 1228, service host

// wParam of WM_FTP_NOTIFY to the server: lParam is a byte count (0, 1) or a counter kind (2).
enum NotifyKind : uintptr_t { NOTIFY_BYTES_SENT = 0, NOTIFY_BYTES_RECEIVED = 1, NOTIFY_COUNTER = 2 };
// wParam of WM_FTP_NOTIFY to a connection thread.
enum ThreadNotify : uintptr_t { NOTIFY_CLOSE_DATA = 0, NOTIFY_END_THREAD = 1 };

// Transfer outcome counters (kinds 2 to 5 of NOTIFY_COUNTER).
enum TransferCounter : intptr_t {
    COUNTER_FILE_SENT = 2,
    COUNTER_FILE_RECEIVED = 3,
    COUNTER_SEND_FAILED = 4,
    COUNTER_TRANSFER_FAILED = 5,
};

}  // namespace tw
