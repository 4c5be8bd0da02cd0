// CServiceBase: the service framework of tarnsvc on systemd. The switches (install, uninstall, start,
// stop through systemctl), the state reports to the service manager, the service log queue and the event
// log (syslog under the service name).
//
// Threads: one object per process, created on the main thread, which is also the service thread (its
// MessageLoop is the notification window's). LogMessage may be called from any thread; the queue lock
// guards the queue and whether the window is open. Everything else runs on the service thread.
#pragma once

#include <chrono>
#include <deque>
#include <mutex>
#include <string>

#include "platform/MessageLoop.h"
#include "service/ServiceLog.h"

namespace tw {

class CServiceBase : public MessageTarget {
public:
    enum class State { START_PENDING, RUNNING, STOP_PENDING, STOPPED };

    // `log`: the service log, open or not; it outlives this object.
    CServiceBase(std::string name, CServiceLogFile& log);
    ~CServiceBase() override;

    // Switch dispatch over the arguments (never the program path): "-i"/"/i" install, "-u" uninstall,
    // "-s" start, "-e" stop; the first match decides and its result (1 success, 0 failure) is returned.
    // Without a switch: "-f" as an argument runs the service in the console, else RegisterService.
    int ParseCommandLine(int argc, char** argv);

    virtual int InstallService();
    virtual int UninstallService();
    virtual int StartInstalledService();
    virtual int StopInstalledService();
    // Runs the service when systemd started this process; returns the exit code of the run. Otherwise
    // the event log gets the reason, standard error a hint, and the result is 0.
    virtual int RegisterService();
    // The same service body in the console, without the service manager.
    int RunForeground();

    // Returns the exit code: 0 after a normal end.
    virtual int Run();
    virtual void OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();

    // Any thread: queues one line for the service log (lines of every level are kept).
    void LogMessage(const std::string& text);
    // One syslog entry of at most 255 characters.
    void LogEvent(const std::string& text);

    // Service thread: writes the oldest queued line (WM_SERVICE_LOG).
    void WriteQueuedLine();

protected:
    // Reports the state to systemd when it runs the service.
    void SetStatus(State state, std::chrono::milliseconds waitHint);
    // Between these, lines are written on the service thread through WM_SERVICE_LOG; outside, at once.
    void OpenNotifyWindow();
    void CloseNotifyWindow();
    // Console mode: event lines echoed on standard output.
    bool Foreground() const { return foreground_; }

    const std::string name_;
    State state_ = State::STOPPED;

private:
    struct LogLine {
        std::time_t seconds;
        int milliseconds;
        std::string text;
    };

    int ServiceMain();
    void ReportInfo(const std::string& text);
    void ReportError(const std::string& text);

    CServiceLogFile& log_;
    bool managed_ = false;     // systemd runs this process
    bool foreground_ = false;  // -f

    std::mutex queueMutex_;  // guards queue_ and windowOpen_
    std::deque<LogLine> queue_;
    bool windowOpen_ = false;
};

}  // namespace tw
