#pragma once
// Helpers of the front-end tests: a widget application on the offscreen
// platform, a sandbox (user Library, runtime, autostart and system runtime
// folders of this process) and the root daemon's port.

#include "../../engine/tests/EngineTestSupport.h"

#include "frontend/app/MainController.h"
#include "platform/MessagePort.h"

#include <QApplication>

namespace frontendtest {

// The widget application; made before anything else asks for a core one.
inline QApplication& application() {
    static int argc = 1;
    static char name[] = "frontend-test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QApplication(argc, argv);
    return *qobject_cast<QApplication*>(QCoreApplication::instance());
}

struct ApplicationFirst {
    ApplicationFirst() { application(); }
};

// A sandbox whose autostart and system runtime folders are its own too.
class FrontEndSandbox : private ApplicationFirst, public enginetest::Sandbox {
public:
    FrontEndSandbox() {
        ::setenv("XDG_CONFIG_HOME", QFile::encodeName(userLibrary() + QStringLiteral("/config")).constData(), 1);
        ::setenv("JUNKWARD_SYSTEM_RUNTIME_DIR", QFile::encodeName(runtimeDir() + QStringLiteral("/sys")).constData(),
                 1);
        QDir().mkpath(runtimeDir() + QStringLiteral("/sys"));
    }
    // Starts the staged root daemon with its socket in this sandbox and waits
    // for its port.
    bool startDaemon() {
        daemon_ = std::make_unique<testsupport::Program>(QStringLiteral("junkward-daemon"));
        if (!daemon_->start())
            return false;
        return testsupport::waitUntil([] {
            return platform::RemoteMessagePort::connect(QStringLiteral("Junkward 5 Daemon"),
                                                        platform::PortScope::System) != nullptr;
        });
    }

private:
    std::unique_ptr<testsupport::Program> daemon_;
};

// Records alerts instead of showing them and answers with a chosen button.
class AlertRecorder {
public:
    explicit AlertRecorder(int answer = 0) {
        MainController::setAlertHandler([this, answer](const MainController::Alert& a) {
            alerts.push_back(a);
            return answer;
        });
    }
    ~AlertRecorder() { MainController::setAlertHandler({}); }
    std::vector<MainController::Alert> alerts;
};

}  // namespace frontendtest
