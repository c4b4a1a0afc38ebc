#include "engine/TM_MessageClientManager.h"

#include "common/QFUUID.h"
#include "platform/Log.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <QTimer>
#include <unistd.h>

namespace {

#define TM_SEND "[TM_MessageClientManager sendMessageLevel:action:withInformation:forUUID:] "
const QString kNoRemotePort = QStringLiteral(TM_SEND "Remote Message Port not referenced yet.");
const QString kMissingUUID = QStringLiteral(TM_SEND "Missing unique identifier.");
const QString kNoMemory = QStringLiteral(TM_SEND "Not enough memory.");
const QString kMissingInformation = QStringLiteral(TM_SEND "Missing information dictionary.");
const QString kSerialiseFailed = QStringLiteral(TM_SEND "dataFromPropertyList: %1");
const QString kSendTimeOut = QStringLiteral(TM_SEND "Send Time Out");
const QString kReceiveTimeOut = QStringLiteral(TM_SEND "Receive Time Out");
const QString kInvalidPort = QStringLiteral(TM_SEND "Invalid Message Port");
const QString kTransportError = QStringLiteral(TM_SEND "Transport Error");
#undef TM_SEND
const QString kReactionWithoutData =
    QStringLiteral("TM_MessageClientManagerCallBack : Received a message with no data");
const QString kReactionUndecodable = QStringLiteral("TM_MessageClientManagerCallBack: propertyListFromData: %1");

// Reply ports held at once; notices beyond it are sent without one.
constexpr std::size_t kMaximumReplyPorts = 64;

int informationType(int action) {
    switch (action) {
    case TM_MESSAGE_ACTION_ERROR:
        return 1;
    case TM_MESSAGE_ACTION_INFORMATION:
        return 2;
    default:
        return 0;
    }
}

}  // namespace

TM_MessageClientManager& TM_MessageClientManager::defaultClientManager() {
    static TM_MessageClientManager manager;
    return manager;
}

TM_MessageClientManager::TM_MessageClientManager()
    : userID_(qint64(::getuid())), processID_(qint64(::getpid())), uniqueIdentifier_(QFUUID::UUID().stringValue()) {
    daemonRemoteMessagePort_ = platform::RemoteMessagePort::connect(TM_MESSAGECLIENTMANAGER_PORT_NAME);
    if (!daemonRemoteMessagePort_)
        startRetryTimer();
}

TM_MessageClientManager::~TM_MessageClientManager() {
    for (auto& [uuid, port] : messagePortSourceDictionary_)
        port->invalidate();
    messagePortSourceDictionary_.clear();
    if (timer_)
        timer_->stop();
}

void TM_MessageClientManager::startRetryTimer() {
    if (!timer_) {
        timer_ = std::make_unique<QTimer>();
        timer_->setInterval(kDaemonCheckIntervalMs);
        QObject::connect(timer_.get(), &QTimer::timeout, [this] { checkForDaemonStatus(); });
    }
    if (!timer_->isActive())
        timer_->start();
}

void TM_MessageClientManager::checkForDaemonStatus() {
    if (!daemonRemoteMessagePort_)
        daemonRemoteMessagePort_ = platform::RemoteMessagePort::connect(TM_MESSAGECLIENTMANAGER_PORT_NAME);
    if (daemonRemoteMessagePort_ && timer_)
        timer_->stop();
}

QVariantMap TM_MessageClientManager::messageDictionary(int level, int action, const QVariantMap* information,
                                                       const QString& uuid) const {
    QVariantMap message;
    message.insert(TM_MESSAGE_LEVEL, qint64(level));
    message.insert(TM_MESSAGE_ACTION, qint64(action));
    message.insert(TM_MESSAGE_UUID, uuid);
    const QVariant ownerUser = information ? information->value(TM_MESSAGE_USER_ID) : QVariant();
    message.insert(TM_MESSAGE_USER_ID, ownerUser.isValid() ? ownerUser : QVariant(userID_));
    message.insert(TM_MESSAGE_PARENT_PID, processID_);
    if (information) {
        QVariantMap copy = *information;
        copy.insert(TM_MESSAGE_INFORMATION_TYPE, qint64(informationType(action)));
        message.insert(TM_MESSAGE_INFORMATION, copy);
    } else if (action != TM_MESSAGE_ACTION_REMOVE) {
        return {};
    }
    return message;
}

bool TM_MessageClientManager::sendMessageLevel(int level, int action, const QVariantMap* information,
                                               const QString& uuid) {
    // 1.-2. A service to talk to and a notice to name.
    if (!daemonRemoteMessagePort_) {
        platform::log::console(kNoRemotePort);
        return false;
    }
    if (uuid.isEmpty()) {
        platform::log::console(kMissingUUID);
        return false;
    }
    // 3.-4. The message.
    const QVariantMap message = messageDictionary(level, action, information, uuid);
    if (message.isEmpty()) {
        platform::log::console(kMissingInformation);
        return false;
    }
    // 5. A reply port for a notice that waits for the user's reaction.
    if (information && platform::plist::boolValue(*information, TM_MESSAGE_INFORMATION_REACTION, false) &&
        messagePortSourceDictionary_.find(uuid) == messagePortSourceDictionary_.end() &&
        messagePortSourceDictionary_.size() < kMaximumReplyPorts) {
        auto port = platform::LocalMessagePort::create(
            uuid, [this](qint32, const QByteArray& data, uid_t) { return reactionReceived(data); });
        if (port)
            messagePortSourceDictionary_.emplace(uuid, std::move(port));
    }
    // 6. Serialise.
    const QByteArray data = platform::plist::toData(message, platform::plist::Format::Binary);
    if (data.isEmpty()) {
        platform::log::console(kSerialiseFailed.arg(QStringLiteral("the notice has no property-list form")));
        return false;
    }
    // 7. Send, one way.
    const int result = daemonRemoteMessagePort_->sendRequest(TM_MESSAGECLIENTMANAGER_MESSAGE_ID, data, kSendTimeout,
                                                             0.0, false, nullptr);
    switch (result) {
    case platform::kMessagePortSuccess:
        return true;
    case platform::kMessagePortSendTimeout:
        platform::log::console(kSendTimeOut);
        return false;
    case platform::kMessagePortReceiveTimeout:
        platform::log::console(kReceiveTimeOut);
        return false;
    case platform::kMessagePortIsInvalid:
        platform::log::console(kInvalidPort);
        break;
    default:
        platform::log::console(kTransportError);
        break;
    }
    // The service went away: forget its port and look for it again, so that a
    // restarted service receives the next notices.
    daemonRemoteMessagePort_.reset();
    startRetryTimer();
    return false;
}

bool TM_MessageClientManager::sendMessageLevel(int level, int action, const QVariantMap* information) {
    return sendMessageLevel(level, action, information, uniqueIdentifier_);
}
bool TM_MessageClientManager::sendProgressionMessageLevel(int level, const QVariantMap& information,
                                                          const QString& uuid) {
    return sendMessageLevel(level, TM_MESSAGE_ACTION_PROGRESSION, &information, uuid);
}
bool TM_MessageClientManager::sendProgressionMessageLevel(int level, const QVariantMap& information) {
    return sendProgressionMessageLevel(level, information, uniqueIdentifier_);
}
bool TM_MessageClientManager::sendErrorMessageLevel(int level, const QVariantMap& information, const QString& uuid) {
    return sendMessageLevel(level, TM_MESSAGE_ACTION_ERROR, &information, uuid);
}
bool TM_MessageClientManager::sendErrorMessageLevel(int level, const QVariantMap& information) {
    return sendErrorMessageLevel(level, information, uniqueIdentifier_);
}
bool TM_MessageClientManager::sendInfoMessageLevel(int level, const QVariantMap& information, const QString& uuid) {
    return sendMessageLevel(level, TM_MESSAGE_ACTION_INFORMATION, &information, uuid);
}
bool TM_MessageClientManager::sendInfoMessageLevel(int level, const QVariantMap& information) {
    return sendInfoMessageLevel(level, information, uniqueIdentifier_);
}
bool TM_MessageClientManager::sendRemoveMessageForUUID(const QString& uuid) {
    return sendMessageLevel(1, TM_MESSAGE_ACTION_REMOVE, nullptr, uuid);
}
bool TM_MessageClientManager::sendRemoveMessage() { return sendRemoveMessageForUUID(uniqueIdentifier_); }

QByteArray TM_MessageClientManager::reactionReceived(const QByteArray& data) {
    if (data.isEmpty()) {
        platform::log::console(kReactionWithoutData);
        return {};
    }
    const std::optional<QVariant> reaction = platform::plist::fromData(data);
    if (!reaction || reaction->metaType().id() != QMetaType::QVariantMap) {
        platform::log::console(kReactionUndecodable.arg(QStringLiteral("not a property-list dictionary")));
        return {};
    }
    const QVariantMap info = reaction->toMap();
    platform::LocalNotificationCenter::defaultCenter().post(TM_MESSAGE_NOTIFICATION_DIDRECEIVEREACTION,
                                                            info.value(TM_MESSAGE_UUID), info);
    return {};
}
