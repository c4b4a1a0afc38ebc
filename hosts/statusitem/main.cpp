// junkward-statusitem: the tray program. It loads status-item bundles and gives
// each a tray icon (StatusNotifierItem where the desktop offers it) with the
// plug-in's menu.
//
//   junkward-statusitem [--grab FOLDER] [BUNDLE...]
// Without bundles it loads every "*.bundle" of the status-item folder of the
// machine-wide Library. --grab renders each plug-in's menu to FOLDER/<bundle>.png
// and its icon to FOLDER/<bundle>-icon.png once the plug-ins have started, then quits.

#include "hosts/statusitem/QStatusItemPlugin.h"

#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/Folders.h"
#include "platform/Log.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QPixmap>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* kBaseClass = "QStatusItemPlugin";
constexpr const char* kStatusItemsFolder = "/Application Support/Quillon/StatusItems";
constexpr int kGrabDelayMs = 500;

struct Item {
    QString name;
    QStatusItemPlugin* plugin;
    QSystemTrayIcon* tray;
};

QStatusItemPlugin* loadPlugin(const QString& path) {
    const auto bundle = platform::Bundle::open(path);
    if (!bundle || !bundle->load())
        return nullptr;
    auto* plugin = platform::ClassRegistry::createAs<QStatusItemPlugin>(bundle->principalClass(), kBaseClass);
    if (!plugin) {
        platform::log::console(QStringLiteral("[junkward-statusitem] No status-item class in %1").arg(path));
        return nullptr;
    }
    if (!plugin->initWithBundle(bundle) || !plugin->startPlugin()) {
        delete plugin;
        return nullptr;
    }
    return plugin;
}

// SIGTERM and SIGINT end the event loop, so the plug-ins are stopped.
int signalPipe[2] = {-1, -1};
void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("junkward-statusitem"));
    app.setQuitOnLastWindowClosed(false);

    QStringList arguments = app.arguments().mid(1);
    QString grabFolder;
    if (const qsizetype i = arguments.indexOf(QStringLiteral("--grab")); i >= 0 && i + 1 < arguments.size()) {
        grabFolder = arguments.at(i + 1);
        arguments.remove(i, 2);
    }
    if (arguments.isEmpty()) {
        const QDir folder(platform::folders::localLibrary() + QLatin1String(kStatusItemsFolder));
        for (const QFileInfo& entry : folder.entryInfoList({QStringLiteral("*.bundle")}, QDir::Dirs, QDir::Name))
            arguments << entry.filePath();
    }

    QList<Item> items;
    for (const QString& path : arguments) {
        QStatusItemPlugin* plugin = loadPlugin(path);
        if (!plugin)
            continue;
        auto* tray = new QSystemTrayIcon(plugin->statusIcon(), &app);
        tray->setToolTip(plugin->statusToolTip());
        tray->setContextMenu(plugin->statusMenu());
        QObject::connect(plugin, &QStatusItemPlugin::statusIconChanged, tray, [tray, plugin] {
            tray->setIcon(plugin->statusIcon());
            tray->setToolTip(plugin->statusToolTip());
        });
        // A plain click opens the menu as well (desktops differ on which click does).
        QObject::connect(tray, &QSystemTrayIcon::activated, tray, [plugin](QSystemTrayIcon::ActivationReason why) {
            if (why == QSystemTrayIcon::Trigger)
                plugin->statusMenu()->popup(QCursor::pos());
        });
        tray->show();
        items.append({QFileInfo(path).completeBaseName(), plugin, tray});
    }
    if (items.isEmpty()) {
        platform::log::console(QStringLiteral("[junkward-statusitem] No status-item bundle could be loaded"));
        return 1;
    }

    if (!grabFolder.isEmpty()) {
        QTimer::singleShot(kGrabDelayMs, &app, [&] {
            QDir().mkpath(grabFolder);
            for (const Item& item : items) {
                QMenu* menu = item.plugin->statusMenu();
                emit menu->aboutToShow();  // lets the plug-in bring its items up to date
                menu->adjustSize();
                menu->grab().save(grabFolder + QLatin1Char('/') + item.name + QStringLiteral(".png"));
                item.plugin->statusIcon().pixmap(64, 64).save(grabFolder + QLatin1Char('/') + item.name +
                                                              QStringLiteral("-icon.png"));
            }
            app.quit();
        });
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
        auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    }
    const int status = app.exec();
    for (const Item& item : items) {
        item.plugin->stopPlugin();
        delete item.tray;
        delete item.plugin;
    }
    return status;
}
