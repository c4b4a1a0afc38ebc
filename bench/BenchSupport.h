#pragma once
// Shared by the benchmarks that go through the engine: where the corpus and the
// staged engine are, the engine started as a child process with its port
// connected, and one judged message.

#include "engine/SievraPort.h"
#include "platform/MessagePort.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QThread>

#include <cstring>
#include <memory>

namespace bench {

// The corpus folder: the first argument, else JUNKWARD_CORPUS_DIR, else
// bench/data/spam-assassin of the source tree (seen from build-*/bench or from
// the current folder); empty when there is none.
inline QString corpusFolder(const QStringList& args) {
    if (args.size() > 1)
        return args.at(1);
    if (!qEnvironmentVariableIsEmpty("JUNKWARD_CORPUS_DIR"))
        return qEnvironmentVariable("JUNKWARD_CORPUS_DIR");
    for (const QString& candidate : {QCoreApplication::applicationDirPath() + "/../../bench/data/spam-assassin",
                                     QDir::currentPath() + "/bench/data/spam-assassin"}) {
        if (QFileInfo(candidate).isDir())
            return QDir::cleanPath(candidate);
    }
    return {};
}

// The engine program: the second argument, else the staged one.
inline QString engineProgram(const QStringList& args) {
    if (args.size() > 2)
        return args.at(2);
    const QString stage = qEnvironmentVariableIsEmpty("JUNKWARD_STAGE")
                              ? QCoreApplication::applicationDirPath() + "/../stage"
                              : qEnvironmentVariable("JUNKWARD_STAGE");
    return stage + "/bin/junkward-engine";
}

class EngineProcess {
public:
    EngineProcess() = default;
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;
    ~EngineProcess() { stop(); }

    // Ends the engine (SIGTERM, then SIGKILL after 30 s).
    void stop() {
        port_.reset();
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(30000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    // Starts program (its standard error shown, its output dropped) and waits up
    // to a minute for its port. False when it did not open it.
    bool start(const QString& program) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.start(program, {});
        if (!process_.waitForStarted(30000))
            return false;
        QDeadlineTimer deadline(60000);
        while (!port_ && !deadline.hasExpired() && process_.state() == QProcess::Running) {
            port_ = platform::RemoteMessagePort::connect(QString::fromLatin1(SievraMessagePortName));
            if (!port_)
                QThread::msleep(20);
        }
        return port_ != nullptr;
    }

    // The engine's verdict on message (its four reply bytes); false when the
    // request failed or the reply was not four bytes.
    bool judge(const QByteArray& message, qint32* verdict) {
        QByteArray reply;
        if (!port_ ||
            port_->sendRequest(SievraMessageIDFilterMail, message, SievraMessageTimeout, SievraMessageTimeout, true,
                               &reply) != platform::kMessagePortSuccess ||
            reply.size() != 4)
            return false;
        std::memcpy(verdict, reply.constData(), 4);
        return true;
    }

    qint64 processId() const { return process_.processId(); }

private:
    QProcess process_;
    std::unique_ptr<platform::RemoteMessagePort> port_;
};

}  // namespace bench
