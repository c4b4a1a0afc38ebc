#pragma once
// Shared pieces of the IPC tests: the application object, short private folders,
// the peer process and a port served on its own thread.

#include "platform/MessagePort.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QThread>

#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace ipctest {

inline QCoreApplication* app() {
    static int argc = 1;
    static char name[] = "ipc-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* instance = new QCoreApplication(argc, argv);
    return instance;
}

// A folder under /tmp removed at the end; short, so socket paths fit sun_path.
class ShortTempDir {
public:
    ShortTempDir() {
        char templ[] = "/tmp/jwb-XXXXXX";
        const char* made = ::mkdtemp(templ);
        if (made) path_ = QString::fromLocal8Bit(made);
    }
    ~ShortTempDir() {
        if (!path_.isEmpty()) {
            const std::string cmd = "rm -rf '" + path_.toStdString() + "'";
            if (std::system(cmd.c_str()) != 0) {
            }
        }
    }
    const QString& path() const { return path_; }

private:
    QString path_;
};

// Gives this test process its own runtime folder (and thereby its own port folder).
inline void useRuntimeFolder(const QString& folder) { ::setenv("XDG_RUNTIME_DIR", folder.toLocal8Bit().constData(), 1); }

inline bool waitUntil(const std::function<bool()>& condition, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

inline QString peerProgram() {
    return QString::fromLocal8Bit(qgetenv("JUNKWARD_TEST_BIN_DIR")) + QStringLiteral("/junkward_ipc_peer");
}

// The peer program, started with arguments; reads its output line by line.
class Peer {
public:
    explicit Peer(const QStringList& arguments) {
        process_.setProgram(peerProgram());
        process_.setArguments(arguments);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        process_.waitForStarted(10000);
    }
    ~Peer() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    // The next output line, empty after ms without one.
    QString readLine(int ms = 10000) {
        QDeadlineTimer deadline(ms);
        while (!process_.canReadLine()) {
            if (deadline.hasExpired() || !process_.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
                if (!process_.canReadLine()) return {};
        }
        return QString::fromUtf8(process_.readLine()).trimmed();
    }
    QProcess& process() { return process_; }

private:
    QProcess process_;
};

// A local port served by the event loop of a thread of its own.
class PortThread {
public:
    PortThread(const QString& name, platform::LocalMessagePort::Callback callback,
               platform::PortScope scope = platform::PortScope::User) {
        context_.moveToThread(&thread_);
        thread_.start();
        QMetaObject::invokeMethod(
            &context_, [&] { port_ = platform::LocalMessagePort::create(name, std::move(callback), scope); },
            Qt::BlockingQueuedConnection);
    }
    ~PortThread() {
        QMetaObject::invokeMethod(&context_, [&] { port_.reset(); }, Qt::BlockingQueuedConnection);
        thread_.quit();
        thread_.wait();
    }
    platform::LocalMessagePort* port() const { return port_.get(); }
    void run(const std::function<void()>& f) {
        QMetaObject::invokeMethod(&context_, f, Qt::BlockingQueuedConnection);
    }

private:
    QThread thread_;
    QObject context_;
    std::unique_ptr<platform::LocalMessagePort> port_;
};

// A private dbus-daemon (a stand-in system bus, or a session bus with its own
// activation folder); stopped at the end.
class PrivateBus {
public:
    // serviceDir empty: no activatable services.
    explicit PrivateBus(const QString& folder, const QString& serviceDir = {}) {
        const QString config = folder + QStringLiteral("/bus.conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) return;
        QByteArray text =
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>\n";
        if (!serviceDir.isEmpty()) text += "<servicedir>" + serviceDir.toUtf8() + "</servicedir>\n";
        text += "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        file.write(text);
        file.close();
        daemon_.setProgram(QStringLiteral("dbus-daemon"));
        daemon_.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                              QStringLiteral("--print-address=1")});
        daemon_.setStandardErrorFile(QProcess::nullDevice());
        daemon_.start();
        if (daemon_.waitForStarted(10000) && daemon_.waitForReadyRead(10000)) {
            while (!daemon_.canReadLine() && daemon_.waitForReadyRead(5000)) {
            }
            address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        }
    }
    ~PrivateBus() {
        daemon_.terminate();
        if (!daemon_.waitForFinished(3000)) {
            daemon_.kill();
            daemon_.waitForFinished(3000);
        }
    }
    const QString& address() const { return address_; }

private:
    QProcess daemon_;
    QString address_;
};

}  // namespace ipctest
