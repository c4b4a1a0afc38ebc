#pragma once
// Shared pieces of the IPC tests: the peer process and a port served on its own
// thread; the application, folders, buses and waiting come from tests/support.

#include "platform/MessagePort.h"
#include "tests/support/TestSupport.h"

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

inline QCoreApplication* app() { return &testsupport::application(); }

using testsupport::ShortTempDir;
using testsupport::waitUntil;

// Gives this test process its own runtime folder (and thereby its own port folder).
inline void useRuntimeFolder(const QString& folder) {
    ::setenv("XDG_RUNTIME_DIR", folder.toLocal8Bit().constData(), 1);
}

inline QString peerProgram() { return testsupport::testProgram(QStringLiteral("junkward_ipc_peer")); }

// The peer program, started with arguments; reads its output line by line.
class Peer {
public:
    explicit Peer(const QStringList& arguments) {
        process_.setProgram(peerProgram());
        process_.setArguments(arguments);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        process_.waitForStarted(testsupport::kDeadlineMs);
    }
    ~Peer() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    // The next output line, empty after ms without one.
    QString readLine(int ms = testsupport::kDeadlineMs) {
        QDeadlineTimer deadline(ms);
        while (!process_.canReadLine()) {
            if (deadline.hasExpired() || !process_.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
                if (!process_.canReadLine())
                    return {};
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
        QMetaObject::invokeMethod(
            &context_, [&] { port_.reset(); }, Qt::BlockingQueuedConnection);
        thread_.quit();
        thread_.wait();
    }
    platform::LocalMessagePort* port() const { return port_.get(); }
    void run(const std::function<void()>& f) { QMetaObject::invokeMethod(&context_, f, Qt::BlockingQueuedConnection); }

private:
    QThread thread_;
    QObject context_;
    std::unique_ptr<platform::LocalMessagePort> port_;
};

// A private dbus-daemon whose address this test hands out itself (a stand-in
// system bus, or a session bus with its own activation folder).
class PrivateBus : public testsupport::PrivateBus {
public:
    explicit PrivateBus(const QString& serviceDir = {}) : testsupport::PrivateBus(serviceDir, Address::Keep) {}
};

}  // namespace ipctest
