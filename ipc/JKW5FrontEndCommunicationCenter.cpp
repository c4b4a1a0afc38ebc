#include "ipc/JKW5FrontEndCommunicationCenter.h"

#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <QVariantMap>

const char* const JKW5_FRONTENDCOMMUNICATIONCENTER_DAEMON_MESSAGEPORT_NAME = "Junkward 5 Daemon";
const char* const JKW5_FRONTENDCOMMUNICATIONCENTER_NOTIFICATION_DAEMONMESSAGEPORTDIDCHANGE =
    "daemonMessagePortDidChange";
const char* const JKW5_FRONTENDCOMMUNICATIONCENTER_DISTRIBUTEDNOTIFICATION_BUNDLEIDENTIFIER = "CFBundleIdentifier";
const char* const JKW5_FRONTENDCOMMUNICATIONCENTER_REQUEST_IDENTIFIER = "Identifier";
const char* const JKW5_FRONTENDCOMMUNICATIONCENTER_REQUEST_OBJECT = "Object";

namespace {

constexpr int kPollIntervalMs = 2000;
constexpr double kSendTimeout = 40.0;
constexpr double kReceiveTimeout = 20.0;
constexpr char kDefaultIdentifier[] = "Default Bundle Identifier";
constexpr char kSendPrefix[] = "[JKW5FrontEndCommunicationCenter sendMessage:%1 withData:waitForAnswer:error:] ";

void logSend(qint32 msgid, const QString& text) {
    platform::log::console(QString::fromLatin1(kSendPrefix).arg(msgid) + text);
}

}  // namespace

JKW5FrontEndCommunicationCenter* JKW5FrontEndCommunicationCenter::defaultCommunicationCenter() {
    static JKW5FrontEndCommunicationCenter* shared = new JKW5FrontEndCommunicationCenter();
    return shared;
}

JKW5FrontEndCommunicationCenter::JKW5FrontEndCommunicationCenter(QObject* parent) : QObject(parent) {
    identifier_ = platform::Bundle::mainBundle()->identifier();
    if (identifier_.isEmpty()) {
        platform::log::console(QStringLiteral("[JKW5FrontEndCommunicationCenter init] Missing Bundle Identifier"));
        identifier_ = QString::fromLatin1(kDefaultIdentifier);
    }
    connectPort();
    if (!daemonRemoteMessagePort_)
        startTimer();
    observerToken_ = platform::DistributedNotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(JKW5_FRONTENDCOMMUNICATIONCENTER_NOTIFICATION_DAEMONMESSAGEPORTDIDCHANGE), std::nullopt,
        [this](const platform::Notification&) { daemonMessagePortDidChange(); });
}

JKW5FrontEndCommunicationCenter::~JKW5FrontEndCommunicationCenter() {
    stopTimer();
    platform::DistributedNotificationCenter::defaultCenter().removeObserver(observerToken_);
}

bool JKW5FrontEndCommunicationCenter::existsRemoteMessagePort() const { return daemonRemoteMessagePort_ != nullptr; }

bool JKW5FrontEndCommunicationCenter::isWaiting() const { return timer_ != nullptr; }

QString JKW5FrontEndCommunicationCenter::identifier() const { return identifier_; }

void JKW5FrontEndCommunicationCenter::setIdentifier(const QString& identifier) { identifier_ = identifier; }

void JKW5FrontEndCommunicationCenter::connectPort() {
    daemonRemoteMessagePort_ = platform::RemoteMessagePort::connect(
        QString::fromLatin1(JKW5_FRONTENDCOMMUNICATIONCENTER_DAEMON_MESSAGEPORT_NAME), platform::PortScope::System);
}

void JKW5FrontEndCommunicationCenter::startTimer() {
    timer_ = std::make_unique<QTimer>();
    timer_->setInterval(kPollIntervalMs);
    QObject::connect(timer_.get(), &QTimer::timeout, this, [this] { checkForDaemonStatus(); });
    timer_->start();
}

void JKW5FrontEndCommunicationCenter::stopTimer() {
    if (!timer_)
        return;
    timer_->stop();
    // The poll may be what is running now: the timer goes once it has returned.
    timer_.release()->deleteLater();
}

void JKW5FrontEndCommunicationCenter::checkForDaemonStatus() {
    connectPort();
    if (daemonRemoteMessagePort_)
        stopTimer();
}

void JKW5FrontEndCommunicationCenter::daemonMessagePortDidChange() {
    daemonRemoteMessagePort_.reset();
    connectPort();
    if (!daemonRemoteMessagePort_ && !timer_)
        startTimer();
    else if (daemonRemoteMessagePort_)
        stopTimer();
}

QVariant JKW5FrontEndCommunicationCenter::sendMessage(qint32 msgid, const QVariant& object, qint32* error) {
    sendMessage(msgid, object, false, error);
    return {};
}

QVariant JKW5FrontEndCommunicationCenter::sendMessage(qint32 msgid, const QVariant& object, bool waitForAnswer,
                                                      qint32* error) {
    qint32 ignored = 0;
    if (!error)
        error = &ignored;

    // 1. The daemon's port must be known. A connection the daemon closed (it was
    // restarted) is made anew once, so the client does not hold a dead socket.
    if (daemonRemoteMessagePort_ && !daemonRemoteMessagePort_->isValid()) {
        connectPort();
        if (!daemonRemoteMessagePort_ && !timer_)
            startTimer();
    }
    if (!daemonRemoteMessagePort_) {
        logSend(msgid, QStringLiteral("Remote Message Port not referenced yet."));
        *error = JKW5FrontEndCommunicationCenterNoRemotePort;
        return {};
    }

    // 2. The request dictionary.
    QVariantMap request;
    request.insert(QString::fromLatin1(JKW5_FRONTENDCOMMUNICATIONCENTER_REQUEST_IDENTIFIER), identifier_);
    if (object.isValid())
        request.insert(QString::fromLatin1(JKW5_FRONTENDCOMMUNICATIONCENTER_REQUEST_OBJECT), object);

    // 3. Its binary property list.
    const QByteArray data = platform::plist::toData(request, platform::plist::Format::Binary);
    if (data.isEmpty()) {
        logSend(msgid,
                QStringLiteral("dataFromPropertyList: %1").arg(QStringLiteral("the object has no property-list form")));
        *error = JKW5FrontEndCommunicationCenterRequestNotSerialised;
        return {};
    }

    // 4. Send, and wait for the reply when asked to.
    QByteArray reply;
    const int status =
        daemonRemoteMessagePort_->sendRequest(msgid, data, kSendTimeout, waitForAnswer ? kReceiveTimeout : 0.0,
                                              waitForAnswer, waitForAnswer ? &reply : nullptr);

    // 5. A failed send is reported; the port is kept.
    if (status != platform::kMessagePortSuccess) {
        switch (status) {
        case platform::kMessagePortSendTimeout:
            logSend(msgid, QStringLiteral("Send Time Out"));
            break;
        case platform::kMessagePortReceiveTimeout:
            logSend(msgid, QStringLiteral("Receive Time Out"));
            break;
        case platform::kMessagePortIsInvalid:
            logSend(msgid, QStringLiteral("Invalid Message Port"));
            break;
        case platform::kMessagePortTransportError:
            logSend(msgid, QStringLiteral("Transport Error"));
            break;
        default:
            break;
        }
        *error = status;
        return {};
    }

    // 6. The answer, when one came.
    *error = JKW5FrontEndCommunicationCenterNoError;
    if (!waitForAnswer || reply.isEmpty())
        return {};
    std::optional<QVariant> answer = platform::plist::fromData(reply);
    if (!answer) {
        logSend(msgid,
                QStringLiteral("propertyListFromData: %1").arg(QStringLiteral("the reply is not a property list")));
        *error = JKW5FrontEndCommunicationCenterReplyNotParsed;
        return {};
    }
    return *answer;
}
