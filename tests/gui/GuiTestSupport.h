// What the GUI tests share: a program directory per test, the real sdbtool, a free loopback port, a real FTP client process, and a recorder that answers the
// program's message boxes.
#pragma once

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "admin/MessageBoxes.h"

namespace tw::test {

constexpr int kDeadlineMs = 30000;

// A fresh directory under `home` for one test's program directory, ending in "/"; empty on failure.
inline std::string NewProgramDirectory(const QTemporaryDir& home) {
    const QString dir = home.path() + "/run" + QString::number(QRandomGenerator::global()->generate());
    return QDir().mkpath(dir) ? dir.toStdString() + "/" : std::string();
}

// Runs the real sdbtool on the program directory `dir` ("init DIR", "user add DIR ..."): its exit status.
inline int Sdbtool(const std::string& dir, QStringList args) {
    args.insert(args[0] == "init" ? 1 : 2, QString::fromStdString(dir));
    return QProcess::execute(SDBTOOL, args);
}

// A port that was free a moment ago on every address: the server listens on all of them, so a client
// socket of another loopback address (end-to-end tests run beside these) on a port free on 127.0.0.1 would
// still keep it off. Never `taken`: a port just handed out is free again until its server binds it.
inline int FreePort(int taken = 0) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::AnyIPv4, 0) && probe.serverPort() != taken) return probe.serverPort();
    }
    return 0;
}

// One FTP client process (Python's ftplib, FTP_CLIENT); each Send is answered by one Reply line.
class Client {
public:
    explicit Client(int port, bool tls = false) {
        QStringList args{FTP_CLIENT, QString::number(port)};
        if (tls) args << "tls";
        process_.start(PYTHON, args);
    }
    ~Client() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(kDeadlineMs)) process_.kill();
        process_.waitForFinished(kDeadlineMs);
    }
    void Send(const QString& line) { process_.write((line + "\n").toUtf8()); }
    // The next line, waited for while the GUI thread (and with it the server) keeps running.
    QString Reply() {
        if (!QTest::qWaitFor([this] { return process_.canReadLine(); }, kDeadlineMs)) return "(no reply)";
        return QString::fromUtf8(process_.readLine()).trimmed();
    }
    QString Ask(const QString& line) {
        Send(line);
        return Reply();
    }

private:
    QProcess process_;
};

// Every box the program shows while it lives, answered with `yes` for questions.
struct Boxes {
    explicit Boxes(bool answer = true) : yes(answer) {}
    QStringList texts;
    bool yes;
    admin::CBoxAnswererScope scope{[this](admin::BoxKind, const QString& text) {
        texts << text;
        return yes;
    }};
};

}  // namespace tw::test
