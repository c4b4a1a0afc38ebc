#include "cli/EngineClient.h"

#include "platform/BatchFile.h"
#include "platform/Folders.h"
#include "platform/Launching.h"

#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace junkwardcli {

namespace {

constexpr double kStartTimeout = 30.0;   // the engine's start-up
constexpr double kLearnTimeout = 600.0;  // a batch of large messages takes a while, and waits for the one before
constexpr size_t kBatchesInFlight = 2;   // one being learned, the next waiting in the engine's queue

}  // namespace

void adoptUserSession() {
    const uid_t uid = ::getuid();
    if (!std::getenv("XDG_RUNTIME_DIR")) {
        const QByteArray folder = "/run/user/" + QByteArray::number(uid);
        struct stat st;
        if (::stat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid)
            ::setenv("XDG_RUNTIME_DIR", folder.constData(), 0);
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS") && runtime) {
        const QByteArray socket = QByteArray(runtime) + "/bus";
        struct stat st;
        if (::stat(socket.constData(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == uid)
            ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket).constData(), 0);
    }
}

bool ensureEngine(QByteArray* error, QString* problem) {
    if (!QDBusConnection::sessionBus().isConnected()) {
        *error = kErrorNoSessionBus;
        *problem = QStringLiteral("there is no session bus (DBUS_SESSION_BUS_ADDRESS); the engine cannot be reached");
        return false;
    }
    if (platform::ScriptingBus::hasOwner(platform::kEngineBusName))
        return true;
    if (!platform::ScriptingBus::startService(platform::kEngineBusName, kStartTimeout)) {
        const QString program = platform::launching::findApplication(platform::launching::kEngineSignature);
        if (program.isEmpty()) {
            *error = kErrorNotInstalled;
            *problem = QStringLiteral("the engine is not installed (no \"Junkward Engine.app\" in %1)")
                           .arg(platform::folders::junkwardSupport());
            return false;
        }
        if (!platform::launching::launchApplicationAtPath(program)) {
            *error = kErrorNotStarted;
            *problem = QStringLiteral("the engine at %1 could not be started").arg(program);
            return false;
        }
    }
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kStartTimeout * 1000) {
        if (platform::ScriptingBus::hasOwner(platform::kEngineBusName))
            return true;
        QThread::msleep(50);
    }
    *error = kErrorNoAnswer;
    *problem = QStringLiteral("the engine was started but does not answer");
    return false;
}

platform::ScriptingReply callEngine(const QString& method, const QVariantList& arguments, double timeoutSeconds) {
    return platform::ScriptingBus::call(platform::kEngineBusName, platform::kEngineObjectPath,
                                        platform::kEngineInterface, method, arguments, timeoutSeconds);
}

QString describeFailure(const platform::ScriptingReply& reply) {
    if (reply.timedOut())
        return QStringLiteral("the engine did not answer in time");
    return QStringLiteral("the engine refused the request: %1 %2").arg(reply.errorName, reply.errorMessage);
}

QByteArray failureWord(const platform::ScriptingReply& reply) {
    return reply.timedOut() ? QByteArray(kErrorTimeout) : QByteArray(kErrorRefused);
}

Judgement judgeMessage(const QByteArray& message, bool entourage, double timeoutSeconds) {
    Judgement j;
    if (message.isEmpty()) {
        j.error = kErrorEmpty;
        j.problem = QStringLiteral("there is no message");
        return j;
    }
    if (message.size() > kBusMaxMessageBytes) {
        j.error = kErrorTooLarge;
        j.problem = QStringLiteral("the message is larger than %1 MB, the most the engine's bus carries")
                        .arg(kBusMaxMessageBytes >> 20);
        return j;
    }
    if (!ensureEngine(&j.error, &j.problem))
        return j;
    const platform::ScriptingReply reply =
        callEngine(QStringLiteral("JudgeMessage"), {message, entourage}, timeoutSeconds);
    if (!reply.ok || reply.values.size() < 2) {
        j.error = failureWord(reply);
        j.problem = describeFailure(reply);
        return j;
    }
    j.ok = true;
    j.verdict = reply.values.at(0).toInt();
    j.reason = reply.values.at(1).toString();
    return j;
}

struct BatchLearner::Sent {
    qsizetype first = 0;
    qsizetype count = 0;
    QByteArrayList messages;  // kept for an engine without the batch-file methods
    bool asFile = false;
    std::optional<QDBusPendingCall> call;
};

BatchLearner::BatchLearner(bool spam, bool entourage, std::function<bool()> ready)
    : method_(spam ? QStringLiteral("LearnSpamBatch") : QStringLiteral("LearnHamBatch")),
      entourage_(entourage),
      ready_(std::move(ready)) {
    qDBusRegisterMetaType<QByteArrayList>();
}

BatchLearner::~BatchLearner() {
    // Answers still on their way are waited for: the engine learns them anyway.
    while (!sent_.empty())
        settle();
}

void BatchLearner::add(const QByteArray& message) {
    // One batch: as many messages as fit, never an empty one.
    if (!batch_.isEmpty() && (batch_.size() >= kBatchMessages || batchBytes_ + message.size() > kBatchBytes))
        send();
    batch_ << message;
    batchBytes_ += message.size();
    ++count_;
    learned_.push_back(false);
}

QDBusPendingCall BatchLearner::call(Sent& sent) {
    sent.asFile = false;
    if (asFiles_) {
        const QByteArray content = platform::batchfile::encode(sent.messages);
        const int fd = content.isEmpty() ? -1 : platform::batchfile::createSealed(content);
        if (fd >= 0) {
            const QDBusUnixFileDescriptor descriptor(fd);  // a duplicate
            ::close(fd);
            sent.asFile = true;
            return platform::ScriptingBus::callAsync(platform::kEngineBusName, platform::kEngineObjectPath,
                                                     platform::kEngineInterface, method_ + QLatin1String("File"),
                                                     {QVariant::fromValue(descriptor), entourage_}, kLearnTimeout);
        }
    }
    return platform::ScriptingBus::callAsync(platform::kEngineBusName, platform::kEngineObjectPath,
                                             platform::kEngineInterface, method_,
                                             {QVariant::fromValue(sent.messages), entourage_}, kLearnTimeout);
}

void BatchLearner::send() {
    if (batch_.isEmpty())
        return;
    if (!asked_) {
        asked_ = true;
        refused_ = ready_ && !ready_();
        // The messages go in a sealed memory file passed as a descriptor when
        // the bus passes descriptors: the bus daemon then copies none of them.
        asFiles_ = QDBusConnection::sessionBus().connectionCapabilities().testFlag(
            QDBusConnection::UnixFileDescriptorPassing);
    }
    auto sent = std::make_unique<Sent>();
    sent->first = count_ - batch_.size();
    sent->count = batch_.size();
    sent->messages.swap(batch_);
    batchBytes_ = 0;
    if (refused_)
        return;
    sent->call = call(*sent);
    sent_.push_back(std::move(sent));
    if (sent_.size() >= kBatchesInFlight)
        settle();
}

void BatchLearner::settle() {
    const std::unique_ptr<Sent> batch = std::move(sent_.front());
    sent_.pop_front();
    platform::ScriptingReply reply = platform::ScriptingBus::answerOf(*batch->call);
    // An engine of an earlier version knows only the methods with the bytes.
    if (!reply.ok && batch->asFile && reply.errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
        asFiles_ = false;
        batch->call = call(*batch);
        reply = platform::ScriptingBus::answerOf(*batch->call);
    }
    if (!reply.ok || reply.values.isEmpty()) {
        allSent_ = false;
        problem_ = describeFailure(reply);
    } else {
        const QByteArray flags = reply.values.first().toByteArray();
        for (qsizetype i = 0; i < batch->count && i < flags.size(); ++i)
            learned_[size_t(batch->first + i)] = flags[i] != 0;
    }
    if (progress_)
        progress_(size_t(batch->first + batch->count));
}

bool BatchLearner::finish(std::vector<bool>* learned, const std::function<void(std::size_t)>& progress,
                          QString* problem) {
    progress_ = progress;
    send();
    while (!sent_.empty())
        settle();
    progress_ = {};
    *learned = learned_;
    if (refused_)
        return false;
    if (!allSent_)
        *problem = problem_;
    return allSent_;
}

bool learnMessages(const QByteArrayList& messages, bool spam, bool entourage, std::vector<bool>* learned,
                   const std::function<void(std::size_t)>& progress, QString* problem) {
    BatchLearner learner(spam, entourage, {});
    for (const QByteArray& message : messages)
        learner.add(message);
    return learner.finish(learned, progress, problem);
}

}  // namespace junkwardcli
