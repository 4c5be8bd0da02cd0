// What the GUI tests share: a free loopback port, a real FTP client process, a recorder of opened URLs.
#pragma once

#include <QProcess>
#include <QTcpServer>
#include <QUrl>
#include <QtTest>

namespace tw::test {

inline constexpr int kDeadlineMs = 30000;

inline int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// One FTP client process (Python's ftplib); each Send is answered by one Reply line.
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

private:
    QProcess process_;
};

// Takes the URLs the program asks the desktop to open (QDesktopServices::setUrlHandler).
class UrlRecorder : public QObject {
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void Open(const QUrl& url) { urls << url; }
};

}  // namespace tw::test
