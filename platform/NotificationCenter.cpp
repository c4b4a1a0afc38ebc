#include "platform/NotificationCenter.h"

#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

namespace platform {

namespace {

constexpr char kPath[] = "/com/quillon/junkward/DistributedNotification";
constexpr char kInterface[] = "com.quillon.junkward.DistributedNotification";
constexpr char kSignal[] = "Posted";
constexpr char kBinaryMagic[] = "bplist00";

struct DistributedObserver {
    QString name;
    std::optional<QString> object;
    NotificationHandler handler;
};

// Receives the signal from both buses on the thread that made the centre.
class PostedReceiver : public QObject {
    Q_OBJECT
public:
    std::function<void(const QDBusMessage&)> onPosted;
public slots:
    void posted(const QDBusMessage& message) {
        if (onPosted)
            onPosted(message);
    }
};

}  // namespace

struct DistributedNotificationCenter::Private {
    std::mutex mutex;
    std::map<int, DistributedObserver> observers;
    int nextToken = 1;
    PostedReceiver receiver;
    bool sessionConnected = false;
    bool systemConnected = false;

    // Notifications are received on connections of their own. Qt holds back
    // what arrives on the default connections until the application's event
    // loop first runs, then hands on what came later before what it held back,
    // so a burst posted right after the centre connected arrived out of order.
    void connectBuses() {
        QDBusConnection session =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("junkward-notifications"));
        if (session.isConnected())
            sessionConnected = session.connect(QString(), kPath, kInterface, kSignal, QStringLiteral("ssay"), &receiver,
                                               SLOT(posted(QDBusMessage)));
        QDBusConnection system =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("junkward-notifications-system"));
        if (system.isConnected())
            systemConnected = system.connect(QString(), kPath, kInterface, kSignal, QStringLiteral("ssay"), &receiver,
                                             SLOT(posted(QDBusMessage)));
    }

    void deliver(const QDBusMessage& message);
    bool send(QDBusConnection connection, const QString& name, const QString& object, const QVariantMap* userInfo);
};

namespace {

// A signal handed to a connection leaves through Qt's bus thread, which may not
// have written it yet when the process ends. A round trip on the bus
// guarantees every earlier message of the connection reached it.
void flushConnection(QDBusConnection& connection) {
    connection.call(
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")),
        QDBus::Block, 1000);
}

// The connections posted on from this process, flushed when the application
// object goes.
class PostedConnections {
public:
    static PostedConnections& shared() {
        static PostedConnections* connections = new PostedConnections();  // lives with the process
        return *connections;
    }
    void add(const QDBusConnection& connection) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const QDBusConnection& c : list_)
            if (c.name() == connection.name())
                return;
        list_.push_back(connection);
        if (!registered_ && QCoreApplication::instance()) {
            registered_ = true;
            qAddPostRoutine([] { shared().flush(); });
        }
    }
    // Sends what the sender thread still holds, then makes each bus confirm.
    void flush();

private:
    std::mutex mutex_;
    std::vector<QDBusConnection> list_;
    bool registered_ = false;
};

// The sender thread of postInBackground(): one queue, sent in order.
class BackgroundSender {
public:
    static BackgroundSender& shared() {
        static BackgroundSender* sender = new BackgroundSender();  // lives with the process
        return *sender;
    }

    // False when there is no sender here (before the application object, or in a
    // child of the process that started it): the caller sends itself.
    bool enqueue(QDBusConnection connection, QDBusMessage message) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_ || !QCoreApplication::instance())
            return false;
        if (!worker_.joinable()) {
            owner_ = ::getpid();
            worker_ = std::thread([this] { run(); });
            // Without the application object's end (exit() from elsewhere), the
            // queue is still sent.
            std::atexit([] { shared().drain(); });
        } else if (owner_ != ::getpid()) {
            return false;
        }
        PostedConnections::shared().add(connection);
        queue_.push_back({std::move(connection), std::move(message)});
        ready_.notify_one();
        return true;
    }

    // Sends what is queued, then ends the thread. Later posts are sent by their
    // callers.
    void drain() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopped_ || owner_ != ::getpid())
                return;
            stopped_ = true;
        }
        ready_.notify_one();
        if (worker_.joinable())
            worker_.join();
    }

private:
    struct Item {
        QDBusConnection connection;
        QDBusMessage message;
    };

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return stopped_ || !queue_.empty(); });
            if (queue_.empty())
                return;  // stopped and drained
            Item item = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            item.connection.send(item.message);
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Item> queue_;
    std::thread worker_;
    pid_t owner_ = 0;
    bool stopped_ = false;
};

void PostedConnections::flush() {
    BackgroundSender::shared().drain();
    std::vector<QDBusConnection> list;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        list.swap(list_);
        registered_ = false;
    }
    for (QDBusConnection& connection : list)
        flushConnection(connection);
}

}  // namespace

void DistributedNotificationCenter::Private::deliver(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() != 3 || args[0].metaType().id() != QMetaType::QString ||
        args[1].metaType().id() != QMetaType::QString || args[2].metaType().id() != QMetaType::QByteArray)
        return;
    Notification n;
    n.name = args[0].toString();
    n.object = args[1].toString();
    const QByteArray info = args[2].toByteArray();
    if (!info.isEmpty()) {
        std::optional<QVariant> value;
        if (info.startsWith(kBinaryMagic))
            value = plist::fromData(info);
        if (!value || value->metaType().id() != QMetaType::QVariantMap) {
            log::console(QStringLiteral("[DistributedNotificationCenter] Dropped the notification \"%1\": its user "
                                        "info is not a property-list dictionary")
                             .arg(n.name.left(200)));
            return;
        }
        n.userInfo = value->toMap();
        n.hasUserInfo = true;
    }

    // Handlers may add or remove observers: call a copy.
    std::vector<NotificationHandler> handlers;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [token, o] : observers) {
            if (!o.name.isEmpty() && o.name != n.name)
                continue;
            if (o.object && *o.object != n.object)
                continue;
            handlers.push_back(o.handler);
        }
    }
    for (const auto& h : handlers)
        h(n);
}

bool DistributedNotificationCenter::Private::send(QDBusConnection connection, const QString& name,
                                                  const QString& object, const QVariantMap* userInfo) {
    if (!connection.isConnected())
        return false;
    QByteArray info;
    if (userInfo) {
        info = plist::toData(QVariant(*userInfo), plist::Format::Binary);
        if (info.isEmpty()) {
            log::console(QStringLiteral("[DistributedNotificationCenter post] The user info of \"%1\" has no "
                                        "property-list form")
                             .arg(name));
            return false;
        }
    }
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, kSignal);
    signal << name << object << info;
    if (!connection.send(signal))
        return false;
    PostedConnections::shared().add(connection);
    return true;
}

DistributedNotificationCenter::DistributedNotificationCenter() : d(std::make_unique<Private>()) {
    // Handlers run on the main thread even when a worker thread makes the centre.
    if (QCoreApplication* app = QCoreApplication::instance())
        d->receiver.moveToThread(app->thread());
    d->receiver.onPosted = [this](const QDBusMessage& m) { d->deliver(m); };
    d->connectBuses();
}

DistributedNotificationCenter& DistributedNotificationCenter::defaultCenter() {
    static DistributedNotificationCenter* center = new DistributedNotificationCenter();  // lives with the process
    return *center;
}

int DistributedNotificationCenter::addObserver(const QString& name, std::optional<QString> object,
                                               NotificationHandler handler) {
    if (!handler)
        return 0;
    std::lock_guard<std::mutex> lock(d->mutex);
    const int token = d->nextToken++;
    d->observers.emplace(token, DistributedObserver{name, std::move(object), std::move(handler)});
    return token;
}

void DistributedNotificationCenter::removeObserver(int token) {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->observers.erase(token);
}

bool DistributedNotificationCenter::post(const QString& name, const QString& object, const QVariantMap* userInfo) {
    return d->send(QDBusConnection::sessionBus(), name, object, userInfo);
}

bool DistributedNotificationCenter::postInBackground(const QString& name, const QString& object) {
    QDBusConnection connection = QDBusConnection::sessionBus();
    if (!connection.isConnected())
        return false;
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, kSignal);
    signal << name << object << QByteArray();
    if (BackgroundSender::shared().enqueue(connection, signal))
        return true;
    return connection.send(signal);
}

bool DistributedNotificationCenter::postToAllSessions(const QString& name, const QString& object,
                                                      const QVariantMap* userInfo) {
    return d->send(QDBusConnection::systemBus(), name, object, userInfo);
}

// ---------------------------------------------------------------------------

struct LocalNotificationCenter::Private {
    std::mutex mutex;
    std::map<int, std::pair<QString, NotificationHandler>> observers;
    int nextToken = 1;
};

LocalNotificationCenter::LocalNotificationCenter() : d(std::make_unique<Private>()) {}

LocalNotificationCenter& LocalNotificationCenter::defaultCenter() {
    static LocalNotificationCenter* center = new LocalNotificationCenter();
    return *center;
}

int LocalNotificationCenter::addObserver(const QString& name, NotificationHandler handler) {
    if (!handler)
        return 0;
    std::lock_guard<std::mutex> lock(d->mutex);
    const int token = d->nextToken++;
    d->observers.emplace(token, std::make_pair(name, std::move(handler)));
    return token;
}

void LocalNotificationCenter::removeObserver(int token) {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->observers.erase(token);
}

void LocalNotificationCenter::post(const Notification& notification) {
    std::vector<NotificationHandler> handlers;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        for (const auto& [token, o] : d->observers)
            if (o.first.isEmpty() || o.first == notification.name)
                handlers.push_back(o.second);
    }
    for (const auto& h : handlers)
        h(notification);
}

void LocalNotificationCenter::post(const QString& name, const QVariant& object, const QVariantMap& userInfo) {
    Notification n;
    n.name = name;
    n.localObject = object;
    if (object.metaType().id() == QMetaType::QString)
        n.object = object.toString();
    n.userInfo = userInfo;
    n.hasUserInfo = !userInfo.isEmpty();
    post(n);
}

}  // namespace platform

#include "NotificationCenter.moc"
