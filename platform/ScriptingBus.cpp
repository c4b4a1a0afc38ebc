#include "platform/ScriptingBus.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>

#include <cmath>

namespace platform {

namespace {

// D-Bus time-outs are whole milliseconds; a non-positive or absurd value still
// gets a short, bounded wait.
int timeoutMs(double seconds) {
    if (!(seconds > 0))
        return 1;
    if (seconds > 24 * 3600.0)
        return 24 * 3600 * 1000;
    return std::max(1, static_cast<int>(std::lround(seconds * 1000.0)));
}

}  // namespace

bool ScriptingReply::timedOut() const {
    return !ok && (errorName == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
                   errorName == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
                   errorName == QLatin1String("org.freedesktop.DBus.Error.TimedOut"));
}

bool ScriptingBus::exportObject(const QString& service, const QString& path, const QString& interface, QObject* object,
                                QDBusConnection connection) {
    if (!object || !connection.isConnected())
        return false;
    if (!connection.registerObject(path, interface, object, QDBusConnection::ExportAllSlots))
        return false;
    // Without queueing: a name that another connection holds is a failure now.
    QDBusConnectionInterface* bus = connection.interface();
    if (!bus) {
        connection.unregisterObject(path);
        return false;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus->registerService(
        service, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        connection.unregisterObject(path);
        return false;
    }
    return true;
}

void ScriptingBus::unexportObject(const QString& service, const QString& path, QDBusConnection connection) {
    if (!connection.isConnected())
        return;
    connection.unregisterService(service);
    connection.unregisterObject(path);
}

namespace {

ScriptingReply replyOf(const QDBusMessage& reply) {
    ScriptingReply result;
    if (reply.type() == QDBusMessage::ReplyMessage) {
        result.ok = true;
        result.values = reply.arguments();
    } else {
        result.errorName = reply.errorName();
        result.errorMessage = reply.errorMessage();
        if (result.errorName.isEmpty())
            result.errorName = QStringLiteral("org.freedesktop.DBus.Error.Failed");
    }
    return result;
}

ScriptingReply disconnected() {
    ScriptingReply result;
    result.errorName = QStringLiteral("org.freedesktop.DBus.Error.Disconnected");
    result.errorMessage = QStringLiteral("The bus is not reachable");
    return result;
}

}  // namespace

ScriptingReply ScriptingBus::call(const QString& service, const QString& path, const QString& interface,
                                  const QString& method, const QVariantList& arguments, double timeoutSeconds,
                                  QDBusConnection connection) {
    if (!connection.isConnected())
        return disconnected();
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return replyOf(connection.call(message, QDBus::Block, timeoutMs(timeoutSeconds)));
}

QDBusPendingCall ScriptingBus::callAsync(const QString& service, const QString& path, const QString& interface,
                                         const QString& method, const QVariantList& arguments, double timeoutSeconds,
                                         QDBusConnection connection) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    // A connection that is not up answers at once with an error.
    return connection.asyncCall(message, timeoutMs(timeoutSeconds));
}

ScriptingReply ScriptingBus::answerOf(QDBusPendingCall& pending) {
    pending.waitForFinished();
    const QDBusMessage reply = pending.reply();
    if (reply.type() == QDBusMessage::InvalidMessage)
        return disconnected();
    return replyOf(reply);
}

bool ScriptingBus::callNoReply(const QString& service, const QString& path, const QString& interface,
                               const QString& method, const QVariantList& arguments, QDBusConnection connection) {
    if (!connection.isConnected())
        return false;
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    message.setAutoStartService(false);
    return connection.send(message);
}

bool ScriptingBus::hasOwner(const QString& service, QDBusConnection connection) {
    if (!connection.isConnected() || !connection.interface())
        return false;
    const QDBusReply<bool> reply = connection.interface()->isServiceRegistered(service);
    return reply.isValid() && reply.value();
}

bool ScriptingBus::startService(const QString& service, double timeoutSeconds, QDBusConnection connection) {
    if (!connection.isConnected())
        return false;
    QDBusMessage message =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("StartServiceByName"));
    message << service << quint32(0);
    const QDBusMessage reply = connection.call(message, QDBus::Block, timeoutMs(timeoutSeconds));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return false;
    const quint32 code = reply.arguments().first().toUInt();
    return code == 1 || code == 2;  // DBUS_START_REPLY_SUCCESS, DBUS_START_REPLY_ALREADY_RUNNING
}

}  // namespace platform
