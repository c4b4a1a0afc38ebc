// junkward-daemon: the root daemon that owns the message port "Junkward 5 Daemon"
// and serves the requests of user processes that need administrator rights.
//
//   junkward-daemon [--log-to-stderr]
//
// Its socket lives in $JUNKWARD_SYSTEM_RUNTIME_DIR, else /run/junkward. It exits
// with status 1 when the port cannot be registered (another daemon owns it) and
// with 0 on SIGTERM or SIGINT, removing its socket.

#include "daemon/JKW5UserLandCommunicationManager.h"
#include "ipc/JKW5FrontEndCommunicationCenter.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onTerminate(int) {
    const char byte = 1;
    if (::write(g_signalPipe[1], &byte, 1) < 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--log-to-stderr") == 0) {
            daemonlog::copyToStandardError(true);
        } else {
            std::fprintf(stderr, "usage: junkward-daemon [--log-to-stderr]\n");
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);

    // SIGTERM and SIGINT end the event loop, so the port removes its socket.
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    QSocketNotifier terminate(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&terminate, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    struct sigaction action {};
    action.sa_handler = onTerminate;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    JKW5UserLandCommunicationManager* manager = JKW5UserLandCommunicationManager::defaultManager();
    if (!manager->isValid()) {
        daemonlog::line(
            QStringLiteral("junkward-daemon: the port \"%1\" is owned by another daemon or its folder is unsafe")
                .arg(QString::fromLatin1(JKW5_FRONTENDCOMMUNICATIONCENTER_DAEMON_MESSAGEPORT_NAME)));
        return 1;
    }
    // Clients waiting for the port connect at once instead of at their next poll.
    JKW5UserLandCommunicationManager::postNotificationName(
        QString::fromLatin1(JKW5_FRONTENDCOMMUNICATIONCENTER_NOTIFICATION_DAEMONMESSAGEPORTDIDCHANGE), QString(),
        nullptr);
    const int status = app.exec();
    delete manager;  // unregisters the port
    return status;
}
