// A second process for the IPC tests. Modes:
//   own <port>                      try to create the port; prints "created" or "refused"
//   serve <port>                    serve the port: id 2 sleeps 60 s, others echo; prints "ready"
//   connect-as <uid> <port> [system] connect and send a request as uid; prints the status
//   raw-as <uid> <socket path>      connect to the socket itself as uid and send one request;
//                                   prints "answered" or "refused"
//   observe <name> <count>          print the next count distributed notifications of name
//                                   as "name|object|key=value,..."; prints "ready" first
//   post <name> <object> <key> <value>   post one distributed notification
//   post-exit <name> <object>       post one notification and exit at once
//   post-background <name> <count>  post count notifications of name with objects 0..count-1
//                                   from the sender thread, then exit at once
//   bus-name <name>                 own a session-bus name for 10 s; prints "owned" or "taken"

#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTimer>
#include <QtEndian>

#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace platform;

namespace {

void say(const QString& text) {
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

bool becomeUser(const char* uidText) {
    const uid_t uid = uid_t(std::strtoul(uidText, nullptr, 10));
    return ::setgid(uid) == 0 && ::setuid(uid) == 0;
}

int rawRequest(const char* path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        say("refused");
        return 0;
    }
    uchar header[12];
    qToLittleEndian<qint32>(7, header);
    qToLittleEndian<quint32>(1, header + 4);
    qToLittleEndian<quint32>(0, header + 8);
    ::send(fd, header, sizeof(header), MSG_NOSIGNAL);
    timeval tv{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char reply[4];
    const ssize_t n = ::recv(fd, reply, sizeof(reply), MSG_WAITALL);
    say(n == 4 ? "answered" : "refused");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return 2;
    const QString mode = args[0];

    if (mode == "own" && args.size() == 2) {
        auto port = LocalMessagePort::create(args[1], [](qint32, const QByteArray&, uid_t) { return QByteArray(); });
        say(port ? "created" : "refused");
        return 0;
    }
    if (mode == "serve" && args.size() == 2) {
        auto port = LocalMessagePort::create(args[1], [](qint32 id, const QByteArray& data, uid_t) {
            if (id == 2)
                ::sleep(60);
            return data;
        });
        if (!port) {
            say("refused");
            return 1;
        }
        say("ready");
        return app.exec();
    }
    if (mode == "connect-as" && args.size() >= 3) {
        if (!becomeUser(argv[2])) {
            say("setuid failed");
            return 1;
        }
        const PortScope scope = args.size() > 3 && args[3] == "system" ? PortScope::System : PortScope::User;
        auto port = RemoteMessagePort::connect(args[2], scope);
        if (!port) {
            say("refused");
            return 0;
        }
        QByteArray reply;
        const int status = port->sendRequest(5, "hello", 60, 60, true, &reply);
        say(QString::number(status) + " " + QString::fromUtf8(reply));
        return 0;
    }
    if (mode == "raw-as" && args.size() == 3) {
        if (!becomeUser(argv[2])) {
            say("setuid failed");
            return 1;
        }
        return rawRequest(argv[3]);
    }
    if (mode == "observe" && args.size() == 3) {
        int left = args[2].toInt();
        DistributedNotificationCenter::defaultCenter().addObserver(args[1], std::nullopt, [&](const Notification& n) {
            QStringList pairs;
            for (auto it = n.userInfo.constBegin(); it != n.userInfo.constEnd(); ++it)
                pairs << it.key() + "=" + it.value().toString();
            say(n.name + "|" + n.object + "|" + pairs.join(","));
            if (--left <= 0)
                app.quit();
        });
        // A round trip to the bus makes sure the match rule is in place.
        QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.DBus");
        QDBusConnection::systemBus().interface()->isServiceRegistered("org.freedesktop.DBus");
        say("ready");
        QTimer::singleShot(120000, &app, [&] { app.exit(3); });
        return app.exec();
    }
    if (mode == "bus-name" && args.size() == 2) {
        if (!QDBusConnection::sessionBus().registerService(args[1])) {
            say("taken");
            return 1;
        }
        say("owned");
        QTimer::singleShot(10000, &app, &QCoreApplication::quit);
        return app.exec();
    }
    if (mode == "post-exit" && args.size() == 3) {
        const bool ok = DistributedNotificationCenter::defaultCenter().post(args[1], args[2]);
        say(ok ? "posted" : "failed");
        return ok ? 0 : 1;  // no round trip of its own: the centre flushes as the process ends
    }
    if (mode == "post-background" && args.size() == 3) {
        for (int i = 0; i < args[2].toInt(); ++i)
            if (!DistributedNotificationCenter::defaultCenter().postInBackground(args[1], QString::number(i)))
                return 1;
        say("queued");
        return 0;  // the pending posts go out while the process ends
    }
    if (mode == "post" && args.size() == 5) {
        const QVariantMap info{{args[3], args[4]}};
        const bool ok = DistributedNotificationCenter::defaultCenter().post(args[1], args[2], &info);
        QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.DBus");  // flush
        say(ok ? "posted" : "failed");
        return ok ? 0 : 1;
    }
    return 2;
}
