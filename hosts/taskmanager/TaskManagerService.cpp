#include "hosts/taskmanager/TaskManagerService.h"

#include "common/TaskProgressProtocol.h"
#include "platform/Log.h"
#include "platform/MessagePort.h"
#include "platform/PropertyList.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace {

const QString kNotificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kNotificationsInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kApplicationName = QStringLiteral("Junkward");
const QString kDefaultAction = QStringLiteral("default");

const QString kRefused = QStringLiteral("[TaskManagerService handleRequest] Ignored a notice: %1");
const QString kShown = QStringLiteral("[TaskManagerService show] %1 notice %2: %3 - %4");
const QString kRemoved = QStringLiteral("[TaskManagerService remove] Removed notice %1");
const QString kReactionFailed = QStringLiteral("[TaskManagerService sendReaction] No reaction port for notice %1");

QString boundedString(const QVariantMap& map, const char* key, int limit) {
    const QVariant value = map.value(QLatin1String(key));
    if (value.metaType().id() != QMetaType::QString)
        return {};
    return value.toString().left(limit);
}

const char* kindOf(int action) {
    switch (action) {
    case TM_MESSAGE_ACTION_ERROR:
        return "error";
    case TM_MESSAGE_ACTION_INFORMATION:
        return "information";
    default:
        return "progression";
    }
}

// An integer of a message; nullopt for anything that is not a whole number.
std::optional<qint64> integerValue(const QVariantMap& map, const char* key) {
    const QVariant value = map.value(QLatin1String(key));
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
        return value.toLongLong();
    case QMetaType::ULongLong:
        return value.toULongLong() <= quint64(INT64_MAX) ? std::optional<qint64>(qint64(value.toULongLong()))
                                                         : std::nullopt;
    default:
        return std::nullopt;
    }
}

}  // namespace

TaskManagerService::TaskManagerService() = default;
TaskManagerService::~TaskManagerService() = default;

bool TaskManagerService::start() {
    port_ = platform::LocalMessagePort::create(
        TM_MESSAGECLIENTMANAGER_PORT_NAME,
        [this](qint32 msgid, const QByteArray& data, uid_t) { return handleRequest(msgid, data); });
    return port_ != nullptr;
}

bool TaskManagerService::hasNotificationServer() const {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    const QDBusReply<bool> reply = bus.interface()->isServiceRegistered(kNotificationsService);
    return reply.isValid() && reply.value();
}

QByteArray TaskManagerService::handleRequest(qint32 msgid, const QByteArray& data) {
    if (msgid != TM_MESSAGECLIENTMANAGER_MESSAGE_ID) {
        platform::log::console(kRefused.arg(QStringLiteral("unknown message id %1").arg(msgid)));
        return {};
    }
    const std::optional<QVariant> decoded = platform::plist::fromData(data);
    if (!decoded || decoded->metaType().id() != QMetaType::QVariantMap) {
        platform::log::console(kRefused.arg(QStringLiteral("not a property-list dictionary")));
        return {};
    }
    const QVariantMap message = decoded->toMap();
    const std::optional<qint64> action = integerValue(message, TM_MESSAGE_ACTION);
    const QString uuid = boundedString(message, TM_MESSAGE_UUID, 128);
    if (!action || *action < TM_MESSAGE_ACTION_PROGRESSION || *action > TM_MESSAGE_ACTION_INFORMATION ||
        uuid.isEmpty()) {
        platform::log::console(kRefused.arg(QStringLiteral("no valid action or UUID")));
        return {};
    }
    if (*action == TM_MESSAGE_ACTION_REMOVE) {
        remove(uuid);
        return {};
    }
    const QVariant information = message.value(TM_MESSAGE_INFORMATION);
    if (information.metaType().id() != QMetaType::QVariantMap) {
        platform::log::console(kRefused.arg(QStringLiteral("no information dictionary")));
        return {};
    }
    show(uuid, int(*action), information.toMap());
    return {};
}

void TaskManagerService::show(const QString& uuid, int action, const QVariantMap& information) {
    const QString title = boundedString(information, TM_MESSAGE_INFORMATION_TITLE, kMaximumTitleLength);
    const QString explanation = boundedString(information, TM_MESSAGE_INFORMATION_EXPLANATION, kMaximumTextLength);
    Notice notice;
    notice.uuid = uuid;
    notice.wantsReaction = platform::plist::boolValue(information, TM_MESSAGE_INFORMATION_REACTION, false);
    auto known = notices_.find(uuid);

    if (hasNotificationServer()) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!signalsConnected_) {
            bus.connect(kNotificationsService, kNotificationsPath, kNotificationsInterface,
                        QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
            bus.connect(kNotificationsService, kNotificationsPath, kNotificationsInterface,
                        QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
            signalsConnected_ = true;
        }
        QStringList actions;
        if (notice.wantsReaction)
            actions << kDefaultAction << QStringLiteral("OK");
        QVariantMap hints;
        hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(action == TM_MESSAGE_ACTION_ERROR ? 2 : 1));
        const QString iconPath = boundedString(information, TM_MESSAGE_INFORMATION_ICON_PATH, 4096);
        int timeout = -1;
        if (auto duration = integerValue(information, TM_MESSAGE_INFORMATION_DURATION);
            duration && *duration > 0 && *duration < 3600)
            timeout = int(*duration * 1000);
        QDBusMessage call = QDBusMessage::createMethodCall(kNotificationsService, kNotificationsPath,
                                                           kNotificationsInterface, QStringLiteral("Notify"));
        call << kApplicationName << uint(known != notices_.end() ? known->second.notificationID : 0) << iconPath
             << title << explanation << actions << hints << timeout;
        const QDBusReply<uint> reply = bus.call(call, QDBus::Block, 5000);
        if (reply.isValid()) {
            notice.notificationID = reply.value();
            remember(notice);
            return;
        }
    }
    // No notification server: the notice becomes a log line, and a reaction is
    // sent at once since nobody can act on it.
    platform::log::console(kShown.arg(QLatin1String(kindOf(action)), uuid, title, explanation));
    if (notice.wantsReaction)
        sendReaction(uuid, QStringLiteral("logged"));
    else
        remember(notice);
}

void TaskManagerService::remove(const QString& uuid) {
    auto it = notices_.find(uuid);
    if (it != notices_.end() && it->second.notificationID != 0) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            kNotificationsService, kNotificationsPath, kNotificationsInterface, QStringLiteral("CloseNotification"));
        call << it->second.notificationID;
        QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    }
    forget(uuid);
    platform::log::console(kRemoved.arg(uuid));
}

void TaskManagerService::remember(const Notice& notice) {
    if (notices_.find(notice.uuid) == notices_.end()) {
        order_.append(notice.uuid);
        while (order_.size() > kMaximumNotices)
            notices_.erase(order_.takeFirst());
    }
    notices_[notice.uuid] = notice;
}

void TaskManagerService::forget(const QString& uuid) {
    notices_.erase(uuid);
    order_.removeAll(uuid);
}

void TaskManagerService::actionInvoked(uint id, const QString& actionKey) {
    for (const auto& [uuid, notice] : notices_) {
        if (notice.notificationID == id && notice.wantsReaction) {
            const QString target = uuid;
            sendReaction(target, actionKey.left(64));
            forget(target);
            return;
        }
    }
}

void TaskManagerService::notificationClosed(uint id, uint) {
    for (const auto& [uuid, notice] : notices_) {
        if (notice.notificationID == id) {
            const QString target = uuid;
            const bool wanted = notice.wantsReaction;
            forget(target);
            if (wanted)
                sendReaction(target, QStringLiteral("closed"));
            return;
        }
    }
}

void TaskManagerService::sendReaction(const QString& uuid, const QString& reaction) {
    auto port = platform::RemoteMessagePort::connect(uuid);
    if (!port) {
        platform::log::console(kReactionFailed.arg(uuid));
        return;
    }
    const QVariantMap answer{{TM_MESSAGE_UUID, uuid}, {TM_MESSAGE_REACTION, reaction}};
    QByteArray reply;
    port->sendRequest(0, platform::plist::toData(answer, platform::plist::Format::Binary), 5.0, 5.0, true, &reply);
}
