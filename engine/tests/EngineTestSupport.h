#pragma once
// Helpers of the engine tests: a private user Library and runtime folder per
// test process, an event loop to wait in, and the staged programs.

#include "platform/PropertyList.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace enginetest {

inline QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "engine-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
    return *QCoreApplication::instance();
}

// Runs the event loop until done() holds or timeoutMs passed; the final done().
inline bool spinUntil(const std::function<bool()>& done, int timeoutMs) {
    application();
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// Runs the event loop for ms milliseconds.
inline void spinFor(int ms) {
    spinUntil([] { return false; }, ms);
}

// A user Library, a machine-wide Library and a short runtime folder of this
// test process, set in the environment.
class Sandbox {
public:
    Sandbox() {
        char runtime[] = "/tmp/jkwf-XXXXXX";
        if (::mkdtemp(runtime))
            runtimeDir_ = QString::fromLocal8Bit(runtime);
        userLibrary_ = root_.path() + QStringLiteral("/User Library");
        localLibrary_ = root_.path() + QStringLiteral("/Local Library");
        QDir().mkpath(userLibrary_);
        QDir().mkpath(pluginsFolder());
        ::setenv("JUNKWARD_USER_LIBRARY", QFile::encodeName(userLibrary_).constData(), 1);
        ::setenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_).constData(), 1);
        application();
    }
    ~Sandbox() {
        if (!runtimeDir_.isEmpty())
            QDir(runtimeDir_).removeRecursively();
    }

    QString userLibrary() const { return userLibrary_; }
    QString localLibrary() const { return localLibrary_; }
    QString runtimeDir() const { return runtimeDir_; }
    QString preferences() const { return userLibrary_ + QStringLiteral("/Preferences"); }
    QString logFile() const { return userLibrary_ + QStringLiteral("/Logs/Junkward/Junkward Log.log"); }
    QString pluginsFolder() const {
        return localLibrary_ + QStringLiteral("/Application Support/Quillon/Junkward/Plugins");
    }
    QString statisticsFile(const QString& identifier) const {
        return preferences() + QStringLiteral("/com.quillon.junkward.statistics.%1.plist").arg(identifier);
    }
    QString preferencesFile(const QString& identifier) const {
        return preferences() + QStringLiteral("/com.quillon.junkward.%1.plist").arg(identifier);
    }
    // Points the machine-wide Library at the sandbox's own.
    void useLocalLibrary() const {
        ::setenv("JUNKWARD_LOCAL_LIBRARY", QFile::encodeName(localLibrary_).constData(), 1);
    }

    // Installs a copy of the test plug-in as Plugins/<folder>/Engine.bundle with
    // the given information values replacing the built ones.
    bool installTestPlugIn(const QString& folder, const QVariantMap& infoChanges) const {
        const QString source = QString::fromLocal8Bit(std::getenv("JUNKWARD_TEST_BIN_DIR")) +
                               QStringLiteral("/engine-plugins/TestFilter/Engine.bundle");
        const QString target = pluginsFolder() + QLatin1Char('/') + folder + QStringLiteral("/Engine.bundle");
        if (!copyTree(source, target))
            return false;
        auto info = platform::plist::readDictionary(source + QStringLiteral("/Contents/Info.plist"));
        if (!info)
            return false;
        for (auto it = infoChanges.cbegin(); it != infoChanges.cend(); ++it) {
            if (it.value().isValid())
                info->insert(it.key(), it.value());
            else
                info->remove(it.key());
        }
        return platform::plist::writeFile(target + QStringLiteral("/Contents/Info.plist"), *info);
    }

    static bool copyTree(const QString& from, const QString& to) {
        QDir source(from);
        if (!source.exists() || !QDir().mkpath(to))
            return false;
        for (const QFileInfo& entry : source.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
            const QString target = to + QLatin1Char('/') + entry.fileName();
            if (entry.isDir()) {
                if (!copyTree(entry.filePath(), target))
                    return false;
            } else {
                QFile::remove(target);
                if (!QFile::copy(entry.filePath(), target))
                    return false;
            }
        }
        return true;
    }

private:
    QTemporaryDir root_;
    QString userLibrary_;
    QString localLibrary_;
    QString runtimeDir_;
};

// A private session bus for this test process (tests of one run would hear each
// other's notifications and engines on a shared bus). It knows the staged
// service files, so the engine can be started by activation. Must be made
// before the process first talks to the session bus.
class PrivateBus {
public:
    // Without withServices the engine cannot be activated (the tool's "not installed"
    // case). The limits are a desktop session bus's, so large messages pass.
    explicit PrivateBus(const QString& folder, bool withServices = true) {
        const QString config = folder + QStringLiteral("/bus.conf");
        const QString socket = folder + QStringLiteral("/bus");
        const QString services =
            withServices ? QStringLiteral("<servicedir>%1/share/dbus-1/services</servicedir>")
                               .arg(QString::fromLocal8Bit(std::getenv("JUNKWARD_STAGE")))
                         : QString();
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                                  "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                  "<busconfig><type>session</type><listen>unix:path=%1</listen>"
                                  "%2"
                                  "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                                  "<limit name=\"max_incoming_bytes\">1000000000</limit>"
                                  "<limit name=\"max_outgoing_bytes\">1000000000</limit>"
                                  "<limit name=\"max_message_size\">1000000000</limit></busconfig>\n")
                       .arg(socket, services)
                       .toUtf8());
        file.close();
        address_ = QStringLiteral("unix:path=") + socket;
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.toLocal8Bit().constData(), 1);
        daemon_.setProgram(QStringLiteral("dbus-daemon"));
        daemon_.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                              QStringLiteral("--print-address")});
        daemon_.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        daemon_.start();
        if (!daemon_.waitForStarted(10000))
            return;
        QDeadlineTimer deadline(10000);
        while (!QFileInfo::exists(socket) && !deadline.hasExpired())
            QThread::msleep(10);
        ready_ = QFileInfo::exists(socket);
    }
    ~PrivateBus() {
        daemon_.terminate();
        if (!daemon_.waitForFinished(5000))
            daemon_.kill();
        daemon_.waitForFinished(2000);
    }
    bool ready() const { return ready_; }

private:
    QProcess daemon_;
    QString address_;
    bool ready_ = false;
};

inline QString stagedProgram(const QString& name) {
    return QString::fromLocal8Bit(std::getenv("JUNKWARD_STAGE")) + QStringLiteral("/bin/") + name;
}

// A staged program running in the sandbox's environment; its standard error is
// collected. Stopped with SIGTERM when destroyed.
class Program {
public:
    explicit Program(const QString& name, const QStringList& arguments = {}) {
        process_.setProgram(stagedProgram(name));
        process_.setArguments(arguments);
        process_.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        process_.setProcessChannelMode(QProcess::SeparateChannels);
    }
    ~Program() { stop(); }

    bool start() {
        process_.start();
        return process_.waitForStarted(10000);
    }
    void stop() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    // Ends the program with SIGKILL: nothing is flushed on the way out.
    void killNow() {
        process_.kill();
        process_.waitForFinished(5000);
    }
    bool running() const { return process_.state() == QProcess::Running; }
    // Waits for the program to end; its exit code, or -1 when it is still running.
    int waitForExit(int timeoutMs) {
        if (!process_.waitForFinished(timeoutMs))
            return -1;
        return process_.exitCode();
    }
    // Standard error so far.
    QString errorOutput() {
        stderr_ += process_.readAllStandardError();
        return QString::fromUtf8(stderr_);
    }
    bool waitForError(const QString& text, int timeoutMs) {
        return spinUntil([&] { return errorOutput().contains(text); }, timeoutMs);
    }

private:
    QProcess process_;
    QByteArray stderr_;
};

}  // namespace enginetest
