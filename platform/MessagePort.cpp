#include "platform/MessagePort.h"

#include "platform/Log.h"

#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

constexpr size_t kRequestHeaderSize = 12;
constexpr size_t kReplyHeaderSize = 4;
constexpr quint32 kFlagReplyWanted = 1;
// A request that makes no progress for this long is abandoned by the server.
constexpr int kStalledRequestMs = 60 * 1000;
// Connections served at once by one port; more are refused.
constexpr size_t kMaxConnections = 512;
constexpr size_t kReadChunk = 64 * 1024;
// Bytes all connections of one port may hold at once (requests being received,
// replies being written); beyond it, a connection still growing is dropped.
constexpr qsizetype kMaxBufferedBytes = 256 * 1024 * 1024;
constexpr qsizetype kSmallBuffer = 1024 * 1024;

// Closes a descriptor on scope exit.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd = o.fd;
            o.fd = -1;
        }
        return *this;
    }
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

// File-name form of a port name: letters, digits, '-', '_' and inner '.' stay,
// every other byte of the UTF-8 form becomes %XX.
QString encodedPortName(const QString& name) {
    const QByteArray utf8 = name.toUtf8();
    QString out;
    out.reserve(utf8.size());
    for (int i = 0; i < utf8.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || (c == '.' && i > 0);
        if (plain)
            out += QChar(c);
        else
            out += QStringLiteral("%%%1").arg(c, 2, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

QString userRuntimeFolder() {
    const QByteArray xdg = qgetenv("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty() && xdg.startsWith('/'))
        return QString::fromLocal8Bit(xdg) + QStringLiteral("/junkward");
    return QStringLiteral("/tmp/junkward-%1").arg(::geteuid());
}

QString systemRuntimeFolder() {
    const QByteArray dir = qgetenv("JUNKWARD_SYSTEM_RUNTIME_DIR");
    if (!dir.isEmpty() && dir.startsWith('/'))
        return QString::fromLocal8Bit(dir);
    return QStringLiteral("/run/junkward");
}

// Makes (when possible) and checks the socket folder of scope. A user folder must
// be a real folder owned by this user with no access for others; a system folder
// must belong to this user or root. Empty when the folder is not safe.
QString safeFolder(PortScope scope) {
    const QString folder = scope == PortScope::User ? userRuntimeFolder() : systemRuntimeFolder();
    const QByteArray path = folder.toLocal8Bit();
    const mode_t mode = scope == PortScope::User ? 0700 : 0755;
    if (::mkdir(path.constData(), mode) == 0)
        ::chmod(path.constData(), mode);  // umask-independent
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return {};
    const uid_t me = ::geteuid();
    if (scope == PortScope::User) {
        if (st.st_uid != me)
            return {};
        if ((st.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0)
            return {};
    } else {
        if (st.st_uid != me && st.st_uid != 0)
            return {};
        if (st.st_uid == me && (st.st_mode & 022) != 0 && ::chmod(path.constData(), 0755) != 0)
            return {};
    }
    return folder;
}

bool fillAddress(const QByteArray& path, sockaddr_un* addr) {
    std::memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    if (path.isEmpty() || static_cast<size_t>(path.size()) >= sizeof(addr->sun_path))
        return false;
    std::memcpy(addr->sun_path, path.constData(), path.size());
    return true;
}

// Connects a blocking stream socket to path; -1 with errno on failure.
int connectTo(const QByteArray& path) {
    sockaddr_un addr;
    if (!fillAddress(path, &addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.fd < 0)
        return -1;
    // A full backlog would otherwise block connect() without limit.
    timeval tv{5, 0};
    ::setsockopt(fd.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    int r;
    do {
        r = ::connect(fd.fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    } while (r != 0 && errno == EINTR);
    if (r != 0)
        return -1;
    return fd.release();
}

bool peerUid(int fd, uid_t* uid) {
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof(cred))
        return false;
    *uid = cred.uid;
    return true;
}

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(double seconds) {
    if (!(seconds > 0) || std::isnan(seconds))
        return Clock::now();
    seconds = std::min(seconds, 86400.0 * 365);
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int msUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return static_cast<int>(std::min<long long>(left, 1 << 30));
}

}  // namespace

QString messagePortPath(const QString& name, PortScope scope) {
    if (name.isEmpty())
        return {};
    const QString folder = safeFolder(scope);
    if (folder.isEmpty())
        return {};
    const QString path = folder + QLatin1Char('/') + encodedPortName(name);
    if (static_cast<size_t>(path.toLocal8Bit().size()) >= sizeof(sockaddr_un::sun_path))
        return {};
    return path;
}

// ---------------------------------------------------------------------------
// LocalMessagePort

// Notifiers may be dropped from inside their own activation: deleted later.
struct LaterDeleter {
    void operator()(QSocketNotifier* n) const {
        n->setEnabled(false);
        n->deleteLater();
    }
};
using Notifier = std::unique_ptr<QSocketNotifier, LaterDeleter>;

struct LocalMessagePort::Private {
    struct Connection {
        Fd fd;
        uid_t uid = 0;
        QByteArray in;   // bytes received, not yet handled
        QByteArray out;  // reply bytes not yet written
        qsizetype outPos = 0;
        Notifier readNotifier;
        Notifier writeNotifier;
        Clock::time_point lastProgress = Clock::now();
        // A refused request over the size limit: its bytes are read and thrown
        // away, then the refusal reply is sent when one is wanted.
        quint64 discardRemaining = 0;
        bool discarding = false;
        bool discardReplyWanted = false;
    };

    LocalMessagePort* q = nullptr;
    QString name;
    QString path;
    PortScope scope = PortScope::User;
    std::shared_ptr<const Callback> callback;  // shared: a callback may destroy the port
    QByteArray oversizeReply;                  // the reply to a request over the size limit
    Fd listenFd;
    Fd lockFd;
    dev_t socketDev = 0;
    ino_t socketIno = 0;
    Notifier acceptNotifier;
    std::map<quint64, std::unique_ptr<Connection>> connections;
    quint64 nextId = 1;
    QTimer stallTimer;
    // Flipped when the port dies, so a callback that destroys the port is safe.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    void logDrop(const char* reason) const {
        log::console(QStringLiteral("[LocalMessagePort %1] Dropped a connection: %2").arg(name, QLatin1String(reason)));
    }

    qsizetype bufferedBytes() const {
        qsizetype total = 0;
        for (const auto& [id, c] : connections)
            total += c->in.size() + c->out.size();
        return total;
    }

    void acceptConnections();
    void readFrom(quint64 id);
    void writeTo(quint64 id);
    void handleBuffered(quint64 id);
    void drop(quint64 id, const char* reason);
    bool dropLongestIdle();
    void checkStalled();
    void shutdown();
};

LocalMessagePort::LocalMessagePort() : d(std::make_unique<Private>()) { d->q = this; }

LocalMessagePort::~LocalMessagePort() { d->shutdown(); }

std::unique_ptr<LocalMessagePort> LocalMessagePort::create(const QString& name, Callback callback, PortScope scope) {
    const QString path = messagePortPath(name, scope);
    if (path.isEmpty() || !callback)
        return nullptr;
    const QByteArray path8 = path.toLocal8Bit();

    // The lock file makes ownership exclusive among live processes; the kernel
    // releases it when its owner dies, which is what makes a socket file stale.
    const QByteArray lockPath = path8 + ".lock";
    Fd lock(::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                   scope == PortScope::User ? 0600 : 0644));
    if (lock.fd < 0)
        return nullptr;
    if (::flock(lock.fd, LOCK_EX | LOCK_NB) != 0)
        return nullptr;

    struct stat st {};
    if (::lstat(path8.constData(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return nullptr;  // something else in the way: leave it alone
        // A process that does not use the lock may still serve it: probe.
        int probe = connectTo(path8);
        if (probe >= 0) {
            ::close(probe);
            return nullptr;
        }
        if (::unlink(path8.constData()) != 0 && errno != ENOENT)
            return nullptr;
    }

    sockaddr_un addr;
    if (!fillAddress(path8, &addr))
        return nullptr;
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.fd < 0)
        return nullptr;
    if (::bind(fd.fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return nullptr;
    if (::chmod(path8.constData(), scope == PortScope::User ? 0600 : 0666) != 0 || ::listen(fd.fd, SOMAXCONN) != 0) {
        ::unlink(path8.constData());
        return nullptr;
    }
    if (::lstat(path8.constData(), &st) != 0) {
        ::unlink(path8.constData());
        return nullptr;
    }

    std::unique_ptr<LocalMessagePort> port(new LocalMessagePort());
    Private* d = port->d.get();
    d->name = name;
    d->path = path;
    d->scope = scope;
    d->callback = std::make_shared<const Callback>(std::move(callback));
    d->listenFd = std::move(fd);
    d->lockFd = std::move(lock);
    d->socketDev = st.st_dev;
    d->socketIno = st.st_ino;
    d->acceptNotifier.reset(new QSocketNotifier(d->listenFd.fd, QSocketNotifier::Read));
    QObject::connect(d->acceptNotifier.get(), &QSocketNotifier::activated, port.get(), [d] { d->acceptConnections(); });
    d->stallTimer.setInterval(5000);
    QObject::connect(&d->stallTimer, &QTimer::timeout, port.get(), [d] { d->checkStalled(); });
    d->stallTimer.start();
    return port;
}

QString LocalMessagePort::name() const { return d->name; }
QString LocalMessagePort::socketPath() const { return d->path; }
bool LocalMessagePort::isValid() const { return d->listenFd.fd >= 0; }
void LocalMessagePort::invalidate() { d->shutdown(); }
void LocalMessagePort::setOversizeReply(const QByteArray& reply) { d->oversizeReply = reply; }

void LocalMessagePort::Private::shutdown() {
    *alive = false;
    alive = std::make_shared<bool>(false);
    stallTimer.stop();
    acceptNotifier.reset();
    connections.clear();
    if (listenFd.fd >= 0) {
        // Remove the socket only while it is still the one this port made.
        const QByteArray path8 = path.toLocal8Bit();
        struct stat st {};
        if (::lstat(path8.constData(), &st) == 0 && st.st_dev == socketDev && st.st_ino == socketIno)
            ::unlink(path8.constData());
        listenFd.reset();
    }
    lockFd.reset();
}

void LocalMessagePort::Private::acceptConnections() {
    for (;;) {
        Fd fd(::accept4(listenFd.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd.fd < 0) {
            if (errno == EINTR)
                continue;
            return;  // EAGAIN, or a transient error (EMFILE...): try at the next notification
        }
        uid_t uid = 0;
        if (!peerUid(fd.fd, &uid)) {
            logDrop("the peer's user id is unknown");
            continue;
        }
        if (scope == PortScope::User && uid != ::geteuid()) {
            log::console(
                QStringLiteral("[LocalMessagePort %1] Refused a connection from user id %2").arg(name).arg(uid));
            continue;
        }
        if (connections.size() >= kMaxConnections && !dropLongestIdle()) {
            logDrop("too many connections");
            continue;
        }
        auto conn = std::make_unique<Connection>();
        conn->uid = uid;
        conn->fd = std::move(fd);
        const quint64 id = nextId++;
        conn->readNotifier.reset(new QSocketNotifier(conn->fd.fd, QSocketNotifier::Read));
        QObject::connect(conn->readNotifier.get(), &QSocketNotifier::activated, q, [this, id] { readFrom(id); });
        conn->writeNotifier.reset(new QSocketNotifier(conn->fd.fd, QSocketNotifier::Write));
        conn->writeNotifier->setEnabled(false);
        QObject::connect(conn->writeNotifier.get(), &QSocketNotifier::activated, q, [this, id] { writeTo(id); });
        connections.emplace(id, std::move(conn));
    }
}

void LocalMessagePort::Private::drop(quint64 id, const char* reason) {
    if (reason)
        logDrop(reason);
    connections.erase(id);
}

// Makes room for a new client when every slot is taken: the connection that has
// waited longest with no request in progress goes, so clients that connect and
// send nothing cannot lock everyone else out. False when all are busy.
bool LocalMessagePort::Private::dropLongestIdle() {
    auto oldest = connections.end();
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        const Connection& c = *it->second;
        if (!c.in.isEmpty() || !c.out.isEmpty() || c.discarding)
            continue;
        int unread = 0;  // a request sent but not read yet is not idleness
        if (::ioctl(c.fd.fd, FIONREAD, &unread) != 0 || unread > 0)
            continue;
        if (oldest == connections.end() || c.lastProgress < oldest->second->lastProgress)
            oldest = it;
    }
    if (oldest == connections.end())
        return false;
    drop(oldest->first, "too many connections: the longest idle one makes room");
    return true;
}

void LocalMessagePort::Private::readFrom(quint64 id) {
    auto it = connections.find(id);
    if (it == connections.end())
        return;
    Connection& c = *it->second;
    // Read what is there, but never more than the request in progress still needs
    // beyond one chunk, so a flood of pipelined requests cannot grow the buffer.
    for (int rounds = 0; rounds < 16; ++rounds) {
        if (c.in.size() >= qsizetype(kRequestHeaderSize + kMessagePortMaxRequest + kReadChunk))
            break;
        if (c.in.size() > kSmallBuffer && bufferedBytes() + qsizetype(kReadChunk) > kMaxBufferedBytes) {
            drop(id, "the port's buffers are full");
            return;
        }
        const qsizetype old = c.in.size();
        c.in.resize(old + kReadChunk);
        const ssize_t n = ::recv(c.fd.fd, c.in.data() + old, kReadChunk, 0);
        if (n > 0) {
            c.in.resize(old + n);
            c.lastProgress = Clock::now();
            if (size_t(n) < kReadChunk)
                break;
            continue;
        }
        c.in.resize(old);
        if (n == 0) {
            if (c.in.isEmpty())
                drop(id, nullptr);  // orderly close between requests
            else if (c.in.size() < qsizetype(kRequestHeaderSize))
                drop(id, "closed within a request header");
            else
                drop(id, "closed in the middle of a request");
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        drop(id, "read error");
        return;
    }
    handleBuffered(id);
}

void LocalMessagePort::Private::handleBuffered(quint64 id) {
    for (;;) {
        auto it = connections.find(id);
        if (it == connections.end())
            return;
        Connection& c = *it->second;
        if (!c.out.isEmpty()) {
            // A reply is still being written: hold further requests until it is out.
            c.readNotifier->setEnabled(false);
            return;
        }
        c.readNotifier->setEnabled(true);
        if (c.discarding) {
            const qsizetype n = qsizetype(std::min<quint64>(c.discardRemaining, quint64(c.in.size())));
            c.in.remove(0, n);
            c.discardRemaining -= quint64(n);
            if (c.discardRemaining > 0)
                return;
            c.discarding = false;
            if (c.discardReplyWanted) {
                QByteArray out(kReplyHeaderSize, Qt::Uninitialized);
                qToLittleEndian<quint32>(quint32(oversizeReply.size()), reinterpret_cast<uchar*>(out.data()));
                out += oversizeReply;
                c.out = std::move(out);
                c.outPos = 0;
                writeTo(id);
            }
            continue;
        }
        if (c.in.size() < qsizetype(kRequestHeaderSize))
            return;
        const uchar* h = reinterpret_cast<const uchar*>(c.in.constData());
        const qint32 msgid = qFromLittleEndian<qint32>(h);
        const quint32 flags = qFromLittleEndian<quint32>(h + 4);
        const quint32 length = qFromLittleEndian<quint32>(h + 8);
        if (length > kMessagePortMaxDiscard) {
            // Nothing sends this much: garbage, or a peer out to hold the connection.
            drop(id, "the request announces more than 1 GiB");
            return;
        }
        if (length > kMessagePortMaxRequest) {
            log::console(QStringLiteral("[LocalMessagePort %1] Refused a request of %2 bytes: the limit is 64 MiB")
                             .arg(name)
                             .arg(length));
            c.in.remove(0, kRequestHeaderSize);
            c.discarding = true;
            c.discardRemaining = length;
            c.discardReplyWanted = (flags & kFlagReplyWanted) != 0;
            continue;
        }
        if (c.in.size() < qsizetype(kRequestHeaderSize + length))
            return;
        const QByteArray data = c.in.mid(kRequestHeaderSize, length);
        c.in.remove(0, kRequestHeaderSize + length);
        const uid_t uid = c.uid;

        // The callback may invalidate or destroy the port: look everything up again.
        std::shared_ptr<bool> token = alive;
        const std::shared_ptr<const Callback> call = callback;
        const QByteArray reply = (*call)(msgid, data, uid);
        if (!*token)
            return;
        it = connections.find(id);
        if (it == connections.end())
            return;
        Connection& c2 = *it->second;
        if (!(flags & kFlagReplyWanted))
            continue;
        if (static_cast<quint64>(reply.size()) > kMessagePortMaxRequest) {
            drop(id, "the reply is larger than 64 MiB");
            return;
        }
        QByteArray out(kReplyHeaderSize, Qt::Uninitialized);
        qToLittleEndian<quint32>(quint32(reply.size()), reinterpret_cast<uchar*>(out.data()));
        out += reply;
        c2.out = std::move(out);
        c2.outPos = 0;
        writeTo(id);
    }
}

void LocalMessagePort::Private::writeTo(quint64 id) {
    auto it = connections.find(id);
    if (it == connections.end())
        return;
    Connection& c = *it->second;
    while (c.outPos < c.out.size()) {
        const ssize_t n = ::send(c.fd.fd, c.out.constData() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL);
        if (n > 0) {
            c.outPos += n;
            c.lastProgress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            c.writeNotifier->setEnabled(true);
            c.readNotifier->setEnabled(false);
            return;
        }
        drop(id, "the client went away before its reply");
        return;
    }
    c.out.clear();
    c.outPos = 0;
    c.writeNotifier->setEnabled(false);
    c.readNotifier->setEnabled(true);
    // Requests that arrived while the reply was written are in the buffer already.
    if (c.in.size() >= qsizetype(kRequestHeaderSize))
        QTimer::singleShot(0, q, [this, id, token = alive] {
            if (*token)
                handleBuffered(id);
        });
}

void LocalMessagePort::Private::checkStalled() {
    const auto now = Clock::now();
    std::vector<quint64> stalled;
    for (const auto& [id, c] : connections) {
        const bool busy = !c->in.isEmpty() || !c->out.isEmpty();
        if (busy && now - c->lastProgress > std::chrono::milliseconds(kStalledRequestMs))
            stalled.push_back(id);
    }
    for (quint64 id : stalled)
        drop(id, "the request stalled");
}

// ---------------------------------------------------------------------------
// RemoteMessagePort

struct RemoteMessagePort::Private {
    std::mutex mutex;
    Fd fd;

    bool peerGone() const {
        if (fd.fd < 0)
            return true;
        pollfd p{fd.fd, POLLRDHUP, 0};
        if (::poll(&p, 1, 0) < 0)
            return false;
        return (p.revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL)) != 0;
    }

    // Writes all of buf before deadline. 0, or the status of the failure.
    int writeAll(const char* buf, size_t len, Clock::time_point deadline, bool* partial) {
        size_t done = 0;
        while (done < len) {
            const ssize_t n = ::send(fd.fd, buf + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += size_t(n);
                *partial = true;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{fd.fd, POLLOUT, 0};
                const int r = ::poll(&p, 1, msUntil(deadline));
                if (r == 0)
                    return kMessagePortSendTimeout;
                if (r < 0 && errno != EINTR)
                    return kMessagePortTransportError;
                if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT))
                    return kMessagePortIsInvalid;
                continue;
            }
            if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN))
                return kMessagePortIsInvalid;
            return kMessagePortTransportError;
        }
        return kMessagePortSuccess;
    }

    // Reads exactly len bytes before deadline.
    int readAll(char* buf, size_t len, Clock::time_point deadline) {
        size_t done = 0;
        while (done < len) {
            pollfd p{fd.fd, POLLIN, 0};
            const int r = ::poll(&p, 1, msUntil(deadline));
            if (r == 0)
                return kMessagePortReceiveTimeout;
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                return kMessagePortTransportError;
            }
            const ssize_t n = ::recv(fd.fd, buf + done, len - done, MSG_DONTWAIT);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            if (n == 0)
                return kMessagePortIsInvalid;
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            if (errno == ECONNRESET)
                return kMessagePortIsInvalid;
            return kMessagePortTransportError;
        }
        return kMessagePortSuccess;
    }
};

RemoteMessagePort::RemoteMessagePort() : d(std::make_unique<Private>()) {}
RemoteMessagePort::~RemoteMessagePort() = default;

std::unique_ptr<RemoteMessagePort> RemoteMessagePort::connect(const QString& name, PortScope scope) {
    const QString path = messagePortPath(name, scope);
    if (path.isEmpty())
        return nullptr;
    Fd fd(connectTo(path.toLocal8Bit()));
    if (fd.fd < 0)
        return nullptr;
    // Only a server of this user (or root, for the system-wide port) is trusted.
    uid_t uid = 0;
    if (!peerUid(fd.fd, &uid))
        return nullptr;
    const uid_t me = ::geteuid();
    if (scope == PortScope::User ? uid != me : (uid != me && uid != 0))
        return nullptr;
    timeval none{0, 0};
    ::setsockopt(fd.fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof(none));
    std::unique_ptr<RemoteMessagePort> port(new RemoteMessagePort());
    port->d->fd = std::move(fd);
    return port;
}

int RemoteMessagePort::sendRequest(qint32 msgid, const QByteArray& data, double sendTimeout, double receiveTimeout,
                                   bool replyWanted, QByteArray* reply) {
    std::lock_guard<std::mutex> lock(d->mutex);
    if (reply)
        reply->clear();
    if (d->fd.fd < 0)
        return kMessagePortIsInvalid;
    if (static_cast<quint64>(data.size()) > kMessagePortMaxRequest)
        return kMessagePortTransportError;
    if (d->peerGone()) {
        d->fd.reset();
        return kMessagePortIsInvalid;
    }

    uchar header[kRequestHeaderSize];
    qToLittleEndian<qint32>(msgid, header);
    qToLittleEndian<quint32>(replyWanted ? kFlagReplyWanted : 0u, header + 4);
    qToLittleEndian<quint32>(quint32(data.size()), header + 8);
    QByteArray request(reinterpret_cast<const char*>(header), kRequestHeaderSize);
    request += data;

    const auto sendDeadline = deadlineAfter(sendTimeout);
    bool partial = false;
    int status = d->writeAll(request.constData(), size_t(request.size()), sendDeadline, &partial);
    if (status != kMessagePortSuccess) {
        // A request cut short leaves the stream out of step: the connection is done.
        if (status != kMessagePortSendTimeout || partial)
            d->fd.reset();
        return status;
    }
    if (!replyWanted)
        return kMessagePortSuccess;

    const auto receiveDeadline = deadlineAfter(receiveTimeout);
    uchar lengthBytes[kReplyHeaderSize];
    status = d->readAll(reinterpret_cast<char*>(lengthBytes), kReplyHeaderSize, receiveDeadline);
    if (status == kMessagePortSuccess) {
        const quint32 length = qFromLittleEndian<quint32>(lengthBytes);
        if (length > kMessagePortMaxRequest) {
            status = kMessagePortTransportError;
        } else {
            QByteArray body;
            // Grow with what arrives rather than trusting the announced length.
            constexpr quint32 kStep = 1u << 20;
            quint32 got = 0;
            while (status == kMessagePortSuccess && got < length) {
                const quint32 step = std::min(kStep, length - got);
                body.resize(qsizetype(got) + step);
                status = d->readAll(body.data() + got, step, receiveDeadline);
                got += step;
            }
            if (status == kMessagePortSuccess) {
                if (reply)
                    *reply = std::move(body);
                return kMessagePortSuccess;
            }
        }
    }
    // A reply that comes late would be taken for the next request's: drop the connection.
    d->fd.reset();
    return status;
}

bool RemoteMessagePort::isValid() const {
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->peerGone())
        d->fd.reset();
    return d->fd.fd >= 0;
}

void RemoteMessagePort::invalidate() {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->fd.reset();
}

}  // namespace platform
