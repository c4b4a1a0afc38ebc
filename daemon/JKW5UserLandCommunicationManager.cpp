#include "daemon/JKW5UserLandCommunicationManager.h"

#include "ipc/JKW5FrontEndCommunicationCenter.h"
#include "ipc/QMessagePortData.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <atomic>
#include <syslog.h>

const char* const JKW5_USERLANDCOMMUNICATIONMANAGER_SELECTOR_FORMAT = "processMessage_%u_From:withObject:";
const char* const JKW5_USERMANUAL_DISTRIBUTEDNOTIFICATION_MANUAL_AVAILABLE = "userManualDidBecomeAvailable";

namespace {

constexpr qint32 kRawMessageIdentifier = 33;
constexpr char kProcessPrefix[] = "[JKW5UserLandCommunicationManager processMessageID:withData:] ";

std::atomic<bool> g_copyToStandardError{false};

QString selectorName(quint32 identifier) {
    return QString::fromLatin1(JKW5_USERLANDCOMMUNICATIONMANAGER_SELECTOR_FORMAT)
        .replace(QLatin1String("%u"), QString::number(identifier));
}

}  // namespace

namespace daemonlog {

void line(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    ::openlog("Junkward", LOG_NDELAY | (g_copyToStandardError ? LOG_PERROR : 0), LOG_DAEMON);
    ::syslog(LOG_ERR, "%s", bytes.constData());
    ::closelog();
}

void copyToStandardError(bool on) { g_copyToStandardError = on; }

}  // namespace daemonlog

JKW5UserLandCommunicationManager* JKW5UserLandCommunicationManager::defaultManager() {
    static JKW5UserLandCommunicationManager* shared = new JKW5UserLandCommunicationManager();
    return shared;
}

JKW5UserLandCommunicationManager::JKW5UserLandCommunicationManager() {
    handlers_.emplace(selectorName(JKW5_COMMUNICATION_USERMANUAL_MOVE),
                      &JKW5UserLandCommunicationManager::processMessage_2000_From);
    messagePortRef_ = platform::LocalMessagePort::create(
        QString::fromLatin1(JKW5_FRONTENDCOMMUNICATIONCENTER_DAEMON_MESSAGEPORT_NAME),
        [this](qint32 msgid, const QByteArray& data, uid_t uid) { return JKW5MessagePortCallBack(msgid, data, uid); },
        platform::PortScope::System);
}

JKW5UserLandCommunicationManager::~JKW5UserLandCommunicationManager() = default;

bool JKW5UserLandCommunicationManager::isValid() const { return messagePortRef_ && messagePortRef_->isValid(); }

QByteArray JKW5UserLandCommunicationManager::JKW5MessagePortCallBack(qint32 msgid, const QByteArray& data,
                                                                     uid_t senderUid) {
    if (data.isEmpty()) {
        daemonlog::line(QStringLiteral("JKW5MessagePortCallBack : Received a message with no data"));
        return {};
    }
    return processMessageID(msgid, data, senderUid);
}

QByteArray JKW5UserLandCommunicationManager::processMessageID(qint32 msgid, const QByteArray& data, uid_t senderUid) {
    // 1. Raw messages: negative identifiers and 33.
    quint32 identifier = quint32(msgid);
    bool raw = false;
    if (msgid < 0) {
        identifier = quint32(qint64(msgid) + 65535);
        raw = true;
    } else if (msgid == kRawMessageIdentifier) {
        raw = true;
    }

    // 2. The handler's name.
    const QString selector = selectorName(identifier);

    QVariant object;
    QString senderIdentifier;
    const QString* sender = nullptr;
    if (!raw) {
        // 3. A property-list request: a dictionary of "Identifier" and "Object".
        const std::optional<QVariant> parsed = platform::plist::fromData(data);
        if (!parsed) {
            daemonlog::line(QString::fromLatin1(kProcessPrefix) +
                            QStringLiteral("propertyListFromData: the data is not a property list"));
            return {};
        }
        if (parsed->typeId() != QMetaType::QVariantMap) {
            daemonlog::line(QString::fromLatin1(kProcessPrefix) +
                            QStringLiteral("propertyListFromData: the request is not a dictionary"));
            return {};
        }
        const QVariantMap request = parsed->toMap();
        object = request.value(QString::fromLatin1(JKW5_FRONTENDCOMMUNICATIONCENTER_REQUEST_OBJECT));
        const QVariant from = request.value(QString::fromLatin1(JKW5_FRONTENDCOMMUNICATIONCENTER_REQUEST_IDENTIFIER));
        if (from.typeId() == QMetaType::QString) {
            senderIdentifier = from.toString();
            sender = &senderIdentifier;
        }
    } else {
        // 4. A raw request: the envelope itself, which must hold what its header announces.
        QMessagePortData envelope;
        if (QMessagePortDataDecapsulate(&envelope, &data) != 0) {
            daemonlog::line(QString::fromLatin1(kProcessPrefix) +
                            QStringLiteral("Malformed raw message of %1 bytes").arg(data.size()));
            return {};
        }
        object = data;
    }

    // 5. The handler, when one exists.
    const auto handler = handlers_.find(selector);
    if (handler == handlers_.end()) {
        daemonlog::line(QStringLiteral("[JKW5UserLandCommunicationManager %1] Message not implemented").arg(selector));
        return {};
    }
    return (this->*(handler->second))(sender, object, senderUid);
}

void JKW5UserLandCommunicationManager::postNotificationName(const QString& name, const QString& object,
                                                            const QVariantMap* userInfo) {
    if (!platform::DistributedNotificationCenter::defaultCenter().postToAllSessions(name, object, userInfo))
        daemonlog::line(QStringLiteral("[JKW5UserLandCommunicationManager postNotificationName:object:userInfo:] "
                                       "The system bus is unreachable: \"%1\" was not posted")
                            .arg(name));
}
