// Administration program benchmark: event lines from busy connection threads into the log page.
// Four threads call the server's Notify as fast as they can while the GUI thread shows the lines; measures
// the lines per second shown and the longest gap between ticks of a 10 ms timer on the GUI thread (how
// long the window stayed unresponsive).
// Usage: QT_QPA_PLATFORM=offscreen admin_log_bench [LINES_PER_THREAD]   (default 50,000; a 60 s limit)
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "admin/EngineLoop.h"
#include "admin/LogPage.h"
#include "admin/MainDlg.h"
#include "engine/FtpServer.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int perThread = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50000;
    constexpr int kThreads = 4;
    QTemporaryDir home;
    qputenv("TARNWICK_HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());

    tw::admin::CEngineLoop engine;
    tw::CFtpServer server;
    tw::admin::CMainDlg window(server);
    window.Start();
    window.Tabs()->setCurrentWidget(window.LogPage());

    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0, longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
    });
    ticker.start(10);

    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const tw::EventLevel level = i % 2 ? tw::EventLevel::REPLY : tw::EventLevel::COMMAND;
                server.NotifyText(level, "thread " + std::to_string(t) + " line " + std::to_string(i));
            }
            ++finished;
        });

    // Once every thread has finished, one more line from the GUI thread: the queue is first in, first out,
    // so when that line is shown every line before it has been.
    const auto& lines = window.LogPage()->Model().Lines();
    bool endSent = false;
    auto shownAll = [&] {
        if (finished != kThreads) return false;
        if (!endSent) {
            server.NotifyText(tw::EventLevel::EVENT, "bench end");
            endSent = true;
        }
        return lines.Size() > 0 && lines.At(lines.Size() - 1).text.ends_with("bench end");
    };
    QTimer done;
    QObject::connect(&done, &QTimer::timeout, [&] {
        // exit, not quit: quit asks the window to close, and the window asks the user.
        if (shownAll() || clock.elapsed() > 60000) QCoreApplication::exit(0);
    });
    done.start(20);
    QApplication::exec();
    for (auto& t : threads) t.join();

    const double seconds = clock.elapsed() / 1000.0;
    const long total = static_cast<long>(kThreads) * perThread;
    std::printf("lines          %ld from %d threads in %.2f s: %.0f lines/s\n", total, kThreads, seconds,
                total / seconds);
    std::printf("longest gap    %lld ms between 10 ms GUI ticks\n", static_cast<long long>(longestGap));
    std::printf("log page       %zu lines kept\n", lines.Size());
    return seconds > 60 ? 1 : 0;
}
