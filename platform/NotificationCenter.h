#pragma once
// Notification centres.
//
// Distributed: the D-Bus signal Posted(s name, s object, ay userInfo) of interface
// com.quillon.junkward.DistributedNotification on path
// /com/quillon/junkward/DistributedNotification, on the session bus; an empty
// object means none; userInfo is a binary property list of a dictionary, empty
// for none. postToAllSessions() sends the same signal on the system bus, which
// observers also watch. Observers in the posting process receive it too.
// Local: an in-process centre with the same model.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>
#include <optional>

namespace platform {

struct Notification {
    QString name;
    QString object;        // empty = none
    QVariantMap userInfo;  // empty = none
    bool hasUserInfo = false;
    QVariant localObject;  // local centre only: any value as the object
};

using NotificationHandler = std::function<void(const Notification&)>;

class DistributedNotificationCenter {
public:
    static DistributedNotificationCenter& defaultCenter();

    // Observes name (empty = every name); with object given, only that object.
    // Handlers run on the thread of the Qt event loop that owns the centre (the
    // main thread). Returns a token for removeObserver.
    int addObserver(const QString& name, std::optional<QString> object, NotificationHandler handler);
    void removeObserver(int token);

    // Posts on the session bus; false when the bus is unreachable.
    bool post(const QString& name, const QString& object = {}, const QVariantMap* userInfo = nullptr);
    // Posts on the system bus ("to all sessions").
    bool postToAllSessions(const QString& name, const QString& object = {}, const QVariantMap* userInfo = nullptr);
    // Posts on the session bus from the centre's sender thread, so a caller that
    // posts for every message it handles does not wait for the signal to be
    // built. Posts made this way arrive in the order they were made; those still
    // pending when the application object goes or the process exits are sent
    // first. False when the bus is unreachable.
    bool postInBackground(const QString& name, const QString& object = {});

private:
    DistributedNotificationCenter();
    struct Private;
    std::unique_ptr<Private> d;
};

class LocalNotificationCenter {
public:
    static LocalNotificationCenter& defaultCenter();
    int addObserver(const QString& name, NotificationHandler handler);
    void removeObserver(int token);
    // Delivers synchronously to every matching observer.
    void post(const Notification& notification);
    void post(const QString& name, const QVariant& object = {}, const QVariantMap& userInfo = {});

private:
    LocalNotificationCenter();
    struct Private;
    std::unique_ptr<Private> d;
};

}  // namespace platform
