#pragma once
// The scripting bus: an application's commands as D-Bus methods on the session
// bus. A process exports an object's public slots under a well-known service name;
// other processes call them with a time-out.

#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QObject>
#include <QString>
#include <QVariantList>

namespace platform {

// Bus names of the system's applications.
inline constexpr char kEngineBusName[] = "com.quillon.junkward.Engine";
inline constexpr char kEngineObjectPath[] = "/com/quillon/junkward/Engine";
inline constexpr char kEngineInterface[] = "com.quillon.junkward.Engine";
inline constexpr char kFrontEndBusName[] = "com.quillon.junkward.FrontEnd";
inline constexpr char kFrontEndObjectPath[] = "/com/quillon/junkward/FrontEnd";
inline constexpr char kFrontEndInterface[] = "com.quillon.junkward.FrontEnd";

// Result of a call: ok with the reply's arguments, or the D-Bus error.
struct ScriptingReply {
    bool ok = false;
    QVariantList values;  // reply arguments, in order
    QString errorName;    // e.g. "org.freedesktop.DBus.Error.NoReply"
    QString errorMessage;
    bool timedOut() const;  // the call got no answer within its time-out
};

class ScriptingBus {
public:
    // Registers object's public slots at path with the interface name, then takes
    // the service name. False (and nothing stays registered) when the bus is not
    // reachable, the path is already used or another connection owns the name.
    // The object is not owned; call unexportObject before it is destroyed.
    static bool exportObject(const QString& service, const QString& path, const QString& interface, QObject* object,
                             QDBusConnection connection = QDBusConnection::sessionBus());
    // Releases the name and unregisters the path.
    static void unexportObject(const QString& service, const QString& path,
                               QDBusConnection connection = QDBusConnection::sessionBus());

    // Calls interface.method(arguments) on service at path and waits at most
    // timeoutSeconds for the answer. Blocking; usable from any thread.
    static ScriptingReply call(const QString& service, const QString& path, const QString& interface,
                               const QString& method, const QVariantList& arguments, double timeoutSeconds,
                               QDBusConnection connection = QDBusConnection::sessionBus());
    // Sends the call and returns at once; answerOf waits for its answer. The
    // calls a connection sends to one object are answered in the order sent.
    static QDBusPendingCall callAsync(const QString& service, const QString& path, const QString& interface,
                                      const QString& method, const QVariantList& arguments, double timeoutSeconds,
                                      QDBusConnection connection = QDBusConnection::sessionBus());
    static ScriptingReply answerOf(QDBusPendingCall& pending);
    // Sends the call without waiting for an answer; false when it could not be sent.
    static bool callNoReply(const QString& service, const QString& path, const QString& interface,
                            const QString& method, const QVariantList& arguments,
                            QDBusConnection connection = QDBusConnection::sessionBus());

    // True when some connection owns service on the bus.
    static bool hasOwner(const QString& service, QDBusConnection connection = QDBusConnection::sessionBus());
    // Asks the bus to start service by activation (StartServiceByName); true when
    // the bus reports it started or already running.
    static bool startService(const QString& service, double timeoutSeconds = 10.0,
                             QDBusConnection connection = QDBusConnection::sessionBus());
};

}  // namespace platform
