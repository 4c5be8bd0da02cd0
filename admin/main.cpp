// tarnserver: the desktop administration program. Hosts the server object on the GUI thread.
#include <QApplication>

#include "admin/EngineLoop.h"
#include "admin/MainDlg.h"
#include "engine/FtpServer.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("tarnserver");
    QApplication::setOrganizationName("Tarnwick Software Inc.");
    // The window hides to the tray; the program ends only through the exit question.
    QApplication::setQuitOnLastWindowClosed(false);
    tw::admin::CEngineLoop engine;
    tw::CFtpServer server;
    tw::admin::CMainDlg window(server);
    window.Start();
    return QApplication::exec();
}
