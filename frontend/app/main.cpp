// Junkward X5: the front end of the spam filter. One instance per session owns
// the bus name of the front end; a second start hands its settings package (if
// any) to the first and leaves.

#include "frontend/app/MainController.h"
#include "platform/ScriptingBus.h"

#include <QApplication>
#include <QFileInfo>
#include <QMainWindow>
#include <QTimer>

#include <cstdio>

namespace {

// The running front end, reachable on the session bus.
class FrontEndBusObject : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quillon.junkward.FrontEnd")
public:
    explicit FrontEndBusObject(MainController* controller) : controller_(controller) {}
public slots:
    // Brings the window to the front; with a path, offers to import that package.
    void Open(const QString& path) {
        if (controller_->window() && controller_->isInitialized()) {
            controller_->window()->show();
            controller_->window()->raise();
            controller_->window()->activateWindow();
        }
        if (!path.isEmpty())
            controller_->applicationOpenFile(path);
    }

private:
    MainController* controller_;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Junkward X5"));
    QApplication::setApplicationVersion(QStringLiteral(JUNKWARD_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("junkward-x5"));
    QString package;
    const QStringList arguments = app.arguments().mid(1);
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--version")) {
            std::printf("junkward-x5 %s\n", JUNKWARD_VERSION);
            return 0;
        }
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            std::printf(
                "Usage: junkward-x5 [SETTINGS.junkward5]\n"
                "The settings and statistics of the Junkward spam filter. With a settings\n"
                "package, offers to import it.\n");
            return 0;
        }
        package = QFileInfo(argument).absoluteFilePath();
    }

    const QString busName = QLatin1String(platform::kFrontEndBusName);
    if (platform::ScriptingBus::hasOwner(busName)) {
        const auto reply = platform::ScriptingBus::call(busName, QLatin1String(platform::kFrontEndObjectPath),
                                                        QLatin1String(platform::kFrontEndInterface),
                                                        QStringLiteral("Open"), {package}, 30.0);
        if (reply.ok)
            return 0;  // the running front end took over
    }

    MainController controller;
    FrontEndBusObject busObject(&controller);
    platform::ScriptingBus::exportObject(busName, QLatin1String(platform::kFrontEndObjectPath),
                                         QLatin1String(platform::kFrontEndInterface), &busObject);
    controller.setOpensSetupAssistant(true);
    controller.awakeFromNib();
    controller.applicationDidFinishLaunching();
    if (!package.isEmpty())
        QTimer::singleShot(0, &controller, [&controller, package] { controller.applicationOpenFile(package); });
    const int status = app.exec();
    platform::ScriptingBus::unexportObject(busName, QLatin1String(platform::kFrontEndObjectPath));
    return status;
}

#include "main.moc"
