// Junkward Engine: the faceless per-user filtering engine.
#include "engine/SievraController.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#ifdef JUNKWARD_WITH_MIMALLOC
#include <mimalloc.h>
#endif

namespace {

int gTerminationPipe[2] = {-1, -1};

void terminationRequested(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(gTerminationPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop, so that pending statistics and log
// records are written before the process goes.
void installTerminationHandler(QCoreApplication& app) {
    if (::pipe2(gTerminationPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(gTerminationPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char buffer[16];
        while (::read(gTerminationPipe[0], buffer, sizeof buffer) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = terminationRequested;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef JUNKWARD_WITH_MIMALLOC
    // A direct reference, so the linker keeps the allocator library even when it
    // drops libraries nothing calls.
    [[maybe_unused]] static const int allocatorVersion = mi_version();
    // Memory freed while a batch is learned is used again at once: it goes back
    // to the system after a second of quiet rather than at once (which made a
    // page fault of every reuse). MIMALLOC_* variables still decide when set.
    if (!qEnvironmentVariableIsSet("MIMALLOC_DECOMMIT_DELAY"))
        mi_option_set(mi_option_decommit_delay, 1000);
    if (!qEnvironmentVariableIsSet("MIMALLOC_SEGMENT_DECOMMIT_DELAY"))
        mi_option_set(mi_option_segment_decommit_delay, 1000);
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Junkward Engine"));
    installTerminationHandler(app);

    SievraController controller;
    if (!controller.awakeFromNib())
        return 1;
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &controller,
                     [&controller] { controller.flushPendingSaves(); });
    return app.exec();
}
