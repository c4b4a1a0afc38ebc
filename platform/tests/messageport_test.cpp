#include "ipc_test_support.h"

#include "platform/Log.h"
#include "platform/MessagePort.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtEndian>

#include <atomic>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

using namespace platform;
using ipctest::Peer;
using ipctest::PortThread;

namespace {

// Send and receive time-out of a request that must succeed, generous for a loaded machine.
constexpr double kWait = 60.0;

constexpr uid_t kNobody = 65534;

class MessagePortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ipctest::app();
        ASSERT_FALSE(runtime.path().isEmpty());
        ipctest::useRuntimeFolder(runtime.path());
    }
    ipctest::ShortTempDir runtime;
};

QByteArray echoWithId(qint32 id, const QByteArray& data) { return QByteArray::number(id) + ":" + data; }

// A raw client socket that sends whatever bytes a test wants.
int rawConnect(const QString& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray p = path.toLocal8Bit();
    std::memcpy(addr.sun_path, p.constData(), size_t(p.size()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QByteArray header(qint32 id, quint32 flags, quint32 length) {
    uchar h[12];
    qToLittleEndian<qint32>(id, h);
    qToLittleEndian<quint32>(flags, h + 4);
    qToLittleEndian<quint32>(length, h + 8);
    return QByteArray(reinterpret_cast<const char*>(h), 12);
}

int countLines(const QString& needle) {
    int n = 0;
    for (const QString& line : log::captured())
        if (line.contains(needle))
            ++n;
    return n;
}

}  // namespace

TEST_F(MessagePortTest, requestsAndRepliesKeepTheirBytesAndIds) {
    PortThread server("Sievra", [](qint32 id, const QByteArray& data, uid_t) { return echoWithId(id, data); });
    ASSERT_NE(server.port(), nullptr);
    auto client = RemoteMessagePort::connect("Sievra");
    ASSERT_NE(client, nullptr);

    QByteArray binary(256, '\0');
    for (int i = 0; i < 256; ++i)
        binary[i] = char(i);
    const struct {
        qint32 id;
        QByteArray data;
    } cases[] = {
        {1024, "From: a@b\r\n\r\nbody"},
        {0, {}},
        {-7, binary},
        {1, QByteArray(60 * 1024, 'x')},
        {2, QByteArray(3 * 1024 * 1024 + 17, 'y')},
    };
    for (const auto& c : cases) {
        QByteArray reply;
        ASSERT_EQ(client->sendRequest(c.id, c.data, kWait, kWait, true, &reply), kMessagePortSuccess) << c.id;
        EXPECT_EQ(reply, echoWithId(c.id, c.data)) << c.id;
    }
    EXPECT_TRUE(client->isValid());
}

TEST_F(MessagePortTest, aRequestWithoutReplyIsDeliveredAndLeavesTheStreamInStep) {
    std::atomic<int> oneWay{0};
    PortThread server("oneway", [&](qint32 id, const QByteArray& data, uid_t) {
        if (id == 200)
            ++oneWay;
        return data;
    });
    auto client = RemoteMessagePort::connect("oneway");
    ASSERT_NE(client, nullptr);
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(client->sendRequest(200, "notice", kWait, 0, false, nullptr), kMessagePortSuccess);
    QByteArray reply;
    ASSERT_EQ(client->sendRequest(1, "after", kWait, kWait, true, &reply), kMessagePortSuccess);
    EXPECT_EQ(reply, QByteArray("after"));
    EXPECT_EQ(oneWay.load(), 5);
}

TEST_F(MessagePortTest, emptyReplyArrivesAsNoData) {
    PortThread server("empty", [](qint32, const QByteArray&, uid_t) { return QByteArray(); });
    auto client = RemoteMessagePort::connect("empty");
    ASSERT_NE(client, nullptr);
    QByteArray reply = "stale";
    ASSERT_EQ(client->sendRequest(1, "x", kWait, kWait, true, &reply), kMessagePortSuccess);
    EXPECT_TRUE(reply.isEmpty());
}

TEST_F(MessagePortTest, portNamesBecomeDistinctSafeFileNames) {
    const QStringList names = {"Sievra",
                               "Junkward 5 Daemon",
                               "com.quillon.task.manager",
                               "../escape",
                               ".hidden",
                               "a/b",
                               "a%2Fb",
                               QString::fromUtf8("\xc3\xbc-name"),
                               "%"};
    QSet<QString> paths;
    const QString folder = runtime.path() + "/junkward/";
    for (const QString& name : names) {
        const QString path = messagePortPath(name);
        ASSERT_TRUE(path.startsWith(folder)) << name.toStdString();
        const QString file = path.mid(folder.size());
        EXPECT_FALSE(file.contains('/')) << name.toStdString();
        EXPECT_FALSE(file.startsWith('.')) << name.toStdString();
        paths.insert(path);
    }
    EXPECT_EQ(paths.size(), names.size());
    EXPECT_TRUE(messagePortPath("").isEmpty());
    EXPECT_TRUE(messagePortPath(QString(120, 'n')).isEmpty()) << "a path longer than sun_path";
    EXPECT_EQ(
        LocalMessagePort::create(QString(120, 'n'), [](qint32, const QByteArray&, uid_t) { return QByteArray(); }),
        nullptr);
}

TEST_F(MessagePortTest, folderIsMadePrivateAndRefusedWhenAnotherUserOwnsIt) {
    const QByteArray folder = (runtime.path() + "/junkward").toLocal8Bit();
    ASSERT_FALSE(messagePortPath("p").isEmpty());
    struct stat st {};
    ASSERT_EQ(::stat(folder.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    ASSERT_EQ(::chmod(folder.constData(), 0755), 0);
    ASSERT_FALSE(messagePortPath("p").isEmpty());
    ASSERT_EQ(::stat(folder.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "loosened permissions are tightened again";

    ASSERT_EQ(::chown(folder.constData(), kNobody, kNobody), 0);
    EXPECT_TRUE(messagePortPath("p").isEmpty());
    EXPECT_EQ(LocalMessagePort::create("p", [](qint32, const QByteArray&, uid_t) { return QByteArray(); }), nullptr);
    EXPECT_EQ(RemoteMessagePort::connect("p"), nullptr);

    // A symbolic link in place of the folder is refused as well.
    ASSERT_EQ(::chown(folder.constData(), 0, 0), 0);
    ASSERT_EQ(::rename(folder.constData(), (folder + "-real").constData()), 0);
    ASSERT_EQ(::symlink((folder + "-real").constData(), folder.constData()), 0);
    EXPECT_TRUE(messagePortPath("p").isEmpty());
}

TEST_F(MessagePortTest, aLiveNameCannotBeOwnedTwiceButIsFreeAfterInvalidation) {
    auto noop = [](qint32, const QByteArray&, uid_t) { return QByteArray("ok"); };
    auto first = LocalMessagePort::create("Sievra", noop);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(LocalMessagePort::create("Sievra", noop), nullptr) << "same process";
    {
        Peer other({"own", "Sievra"});
        EXPECT_EQ(other.readLine(), "refused") << "another process";
    }
    first->invalidate();
    EXPECT_FALSE(first->isValid());
    EXPECT_FALSE(QFile::exists(first->socketPath()));
    {
        Peer other({"own", "Sievra"});
        EXPECT_EQ(other.readLine(), "created");
    }
    EXPECT_NE(LocalMessagePort::create("Sievra", noop), nullptr);
}

TEST_F(MessagePortTest, aStaleSocketIsTakenOverButOtherFilesAreLeftAlone) {
    QString socketPath;
    {
        Peer server({"serve", "Stale"});
        ASSERT_EQ(server.readLine(), "ready");
        socketPath = messagePortPath("Stale");
        ASSERT_TRUE(QFile::exists(socketPath));
        ::kill(pid_t(server.process().processId()), SIGKILL);
        server.process().waitForFinished(5000);
    }
    ASSERT_TRUE(QFile::exists(socketPath)) << "the killed server left its socket behind";
    PortThread server("Stale", [](qint32 id, const QByteArray& d, uid_t) { return echoWithId(id, d); });
    ASSERT_NE(server.port(), nullptr);
    auto client = RemoteMessagePort::connect("Stale");
    ASSERT_NE(client, nullptr);
    QByteArray reply;
    EXPECT_EQ(client->sendRequest(3, "again", kWait, kWait, true, &reply), kMessagePortSuccess);
    EXPECT_EQ(reply, QByteArray("3:again"));

    const QString plain = messagePortPath("Plain");
    QFile file(plain);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("data");
    file.close();
    EXPECT_EQ(LocalMessagePort::create("Plain", [](qint32, const QByteArray&, uid_t) { return QByteArray(); }),
              nullptr);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("data"));
}

TEST_F(MessagePortTest, aClientOfAnotherUserIsRefused) {
    std::atomic<int> served{0};
    PortThread server("Sievra", [&](qint32, const QByteArray& d, uid_t) {
        ++served;
        return d;
    });
    ASSERT_NE(server.port(), nullptr);
    {
        Peer other({"connect-as", QString::number(kNobody), "Sievra"});
        EXPECT_EQ(other.readLine(), "refused");
    }
    // Even with the folders opened up, the server itself turns the peer away.
    log::setCapture(true);
    ASSERT_EQ(::chmod(runtime.path().toLocal8Bit().constData(), 0711), 0);
    ASSERT_EQ(::chmod((runtime.path() + "/junkward").toLocal8Bit().constData(), 0711), 0);
    ASSERT_EQ(::chmod(server.port()->socketPath().toLocal8Bit().constData(), 0666), 0);
    {
        Peer other({"raw-as", QString::number(kNobody), server.port()->socketPath()});
        EXPECT_EQ(other.readLine(), "refused");
    }
    EXPECT_EQ(served.load(), 0);
    EXPECT_TRUE(ipctest::waitUntil([] { return countLines("Refused a connection from user id 65534") == 1; }));
    // The same user is still served.
    auto client = RemoteMessagePort::connect("Sievra");
    ASSERT_NE(client, nullptr);
    QByteArray reply;
    EXPECT_EQ(client->sendRequest(1, "me", kWait, kWait, true, &reply), kMessagePortSuccess);
    EXPECT_EQ(reply, QByteArray("me"));
}

TEST_F(MessagePortTest, theSystemPortAcceptsEveryUserAndReportsTheirIds) {
    ipctest::ShortTempDir system;
    ASSERT_EQ(::chmod(system.path().toLocal8Bit().constData(), 0755), 0);
    ::setenv("JUNKWARD_SYSTEM_RUNTIME_DIR", (system.path() + "/run").toLocal8Bit().constData(), 1);
    std::atomic<int> lastUid{-1};
    PortThread server(
        "Junkward 5 Daemon",
        [&](qint32, const QByteArray& d, uid_t uid) {
            lastUid = int(uid);
            return "uid " + QByteArray::number(uid) + " " + d;
        },
        PortScope::System);
    ASSERT_NE(server.port(), nullptr);
    struct stat st {};
    ASSERT_EQ(::stat(server.port()->socketPath().toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(messagePortPath("x", PortScope::User).section('/', 0, -2), runtime.path() + "/junkward");

    Peer other({"connect-as", QString::number(kNobody), "Junkward 5 Daemon", "system"});
    EXPECT_EQ(other.readLine(), "0 uid 65534 hello");
    EXPECT_EQ(lastUid.load(), int(kNobody));
}

TEST_F(MessagePortTest, badConnectionsAreDroppedWithOneLineAndServingGoesOn) {
    log::setCapture(true);
    std::atomic<int> served{0};
    PortThread server("Sievra", [&](qint32 id, const QByteArray& d, uid_t) {
        ++served;
        return echoWithId(id, d);
    });
    ASSERT_NE(server.port(), nullptr);
    const QString path = server.port()->socketPath();
    auto good = RemoteMessagePort::connect("Sievra");
    ASSERT_NE(good, nullptr);

    const struct {
        const char* what;
        QByteArray bytes;
        bool closeAfter;
    } cases[] = {
        {"header of 0xffffffff", header(1, 1, 0xffffffffu), false},
        {"short header", QByteArray("\x01\x02\x03\x04\x05", 5), true},
        {"closed mid-request", header(1, 1, 1000) + QByteArray(10, 'a'), true},
        {"garbage", QByteArray("\xde\xad\xbe\xef\xff\xff\xff\xff\xff\xff\xff\x7f garbage", 20), false},
    };
    for (const auto& c : cases) {
        const int before = int(log::captured().size());
        const int fd = rawConnect(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, c.bytes.constData(), size_t(c.bytes.size()), MSG_NOSIGNAL), c.bytes.size());
        if (c.closeAfter) {
            ::close(fd);
        } else {
            // The server hangs up on its own.
            timeval tv{60, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            char byte;
            EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << c.what;
            ::close(fd);
        }
        EXPECT_TRUE(ipctest::waitUntil([&] { return int(log::captured().size()) == before + 1; })) << c.what;
        QThread::msleep(20);
        EXPECT_EQ(int(log::captured().size()), before + 1) << c.what;
        EXPECT_TRUE(log::captured().last().contains("Dropped a connection")) << c.what;

        QByteArray reply;
        EXPECT_EQ(good->sendRequest(9, c.what, kWait, kWait, true, &reply), kMessagePortSuccess) << c.what;
        EXPECT_EQ(reply, echoWithId(9, c.what));
    }
    EXPECT_EQ(served.load(), int(std::size(cases))) << "no bad request reached the callback";

    // Closing cleanly between requests is not a fault.
    const int before = int(log::captured().size());
    const int fd = rawConnect(path);
    ::close(fd);
    QByteArray reply;
    EXPECT_EQ(good->sendRequest(1, "x", kWait, kWait, true, &reply), kMessagePortSuccess);
    EXPECT_EQ(int(log::captured().size()), before);
}

TEST_F(MessagePortTest, requestsOverTheLimitAreRefusedWithTheRefusalReplyAndServingGoesOn) {
    log::setCapture(true);
    std::atomic<int> served{0};
    PortThread server("big", [&](qint32 id, const QByteArray& d, uid_t) {
        ++served;
        return echoWithId(id, d);
    });
    ASSERT_NE(server.port(), nullptr);
    server.port()->setOversizeReply(QByteArray(4, '\0'));
    const int before = int(log::captured().size());

    const int fd = rawConnect(server.port()->socketPath());
    ASSERT_GE(fd, 0);
    timeval tv{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    // The whole oversized request, then an ordinary one on the same connection.
    const QByteArray body(qsizetype(kMessagePortMaxRequest) + 1, 'x');
    const QByteArray stream = header(1024, 1, kMessagePortMaxRequest + 1) + body + header(7, 1, 2) + "ok";
    std::thread sender([&] {
        qsizetype sent = 0;
        while (sent < stream.size()) {
            const ssize_t n = ::send(fd, stream.constData() + sent, size_t(stream.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
    });
    auto readExactly = [&](qsizetype n) {
        QByteArray got;
        while (got.size() < n) {
            char buffer[256];
            const ssize_t r = ::recv(fd, buffer, size_t(std::min<qsizetype>(n - got.size(), 256)), 0);
            if (r <= 0)
                break;
            got.append(buffer, r);
        }
        return got;
    };
    const QByteArray refusal = readExactly(8);
    const QByteArray answer = readExactly(4 + echoWithId(7, "ok").size());
    sender.join();
    ::close(fd);
    EXPECT_EQ(refusal, QByteArray("\x04\0\0\0", 4) + QByteArray(4, '\0'));
    EXPECT_EQ(answer.mid(4), echoWithId(7, "ok"));
    EXPECT_EQ(served.load(), 1) << "the oversized request never reached the callback";
    EXPECT_TRUE(ipctest::waitUntil([&] { return int(log::captured().size()) >= before + 1; }));
    EXPECT_EQ(int(log::captured().size()), before + 1);
    EXPECT_TRUE(log::captured().last().contains("64 MiB"));

    // A client that announces 512 MiB and hangs up early costs nothing but its connection.
    const int liar = rawConnect(server.port()->socketPath());
    const QByteArray lie = header(1, 1, 512u << 20) + QByteArray(1000, 'y');
    ASSERT_EQ(::send(liar, lie.constData(), size_t(lie.size()), MSG_NOSIGNAL), lie.size());
    ::close(liar);
    auto good = RemoteMessagePort::connect("big");
    ASSERT_NE(good, nullptr);
    QByteArray reply;
    EXPECT_EQ(good->sendRequest(9, "after", kWait, kWait, true, &reply), kMessagePortSuccess);
    EXPECT_EQ(reply, echoWithId(9, "after"));
}

TEST_F(MessagePortTest, pipelinedRequestsOnOneConnectionAreAnsweredInOrder) {
    PortThread server("pipe", [](qint32 id, const QByteArray& d, uid_t) { return echoWithId(id, d); });
    ASSERT_NE(server.port(), nullptr);
    const int fd = rawConnect(server.port()->socketPath());
    ASSERT_GE(fd, 0);
    QByteArray burst;
    for (int i = 0; i < 50; ++i) {
        const QByteArray data = QByteArray::number(i).repeated(i * 100 + 1);
        burst += header(i, i % 5 == 0 ? 0 : 1, quint32(data.size())) + data;
    }
    ASSERT_EQ(::send(fd, burst.constData(), size_t(burst.size()), MSG_NOSIGNAL), burst.size());
    timeval tv{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    for (int i = 0; i < 50; ++i) {
        if (i % 5 == 0)
            continue;  // no reply wanted
        uchar len[4];
        ASSERT_EQ(::recv(fd, len, 4, MSG_WAITALL), 4);
        QByteArray body(qsizetype(qFromLittleEndian<quint32>(len)), '\0');
        ASSERT_EQ(::recv(fd, body.data(), size_t(body.size()), MSG_WAITALL), body.size());
        EXPECT_EQ(body, echoWithId(i, QByteArray::number(i).repeated(i * 100 + 1)));
    }
    ::close(fd);
}

TEST_F(MessagePortTest, fourConcurrentClientsAreAllAnsweredEachInOrder) {
    PortThread server("Sievra", [](qint32 id, const QByteArray& d, uid_t) { return echoWithId(id, d); });
    ASSERT_NE(server.port(), nullptr);
    constexpr int kClients = 4;
    constexpr int kEach = 2500;
    std::atomic<int> answered[kClients] = {};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            auto client = RemoteMessagePort::connect("Sievra");
            if (!client) {
                ++wrong;
                return;
            }
            for (int i = 0; i < kEach; ++i) {
                const QByteArray data = QByteArray::number(c) + "/" + QByteArray::number(i);
                QByteArray reply;
                if (client->sendRequest(c, data, kWait, kWait, true, &reply) != kMessagePortSuccess ||
                    reply != echoWithId(c, data))
                    ++wrong;
                else
                    ++answered[c];
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    int total = 0;
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(answered[c].load(), kEach) << c;
        total += answered[c].load();
    }
    EXPECT_EQ(total, 10000);
}

TEST_F(MessagePortTest, killingTheServerMidRequestEndsTheWaitWithinTheTimeOuts) {
    Peer server({"serve", "Doomed"});
    ASSERT_EQ(server.readLine(), "ready");
    auto client = RemoteMessagePort::connect("Doomed");
    ASSERT_NE(client, nullptr);
    std::thread killer([&] {
        QThread::msleep(300);
        ::kill(pid_t(server.process().processId()), SIGKILL);
    });
    QElapsedTimer timer;
    timer.start();
    QByteArray reply;
    const int status = client->sendRequest(2, "slow", 4, 4, true, &reply);
    const qint64 elapsed = timer.elapsed();
    killer.join();
    EXPECT_TRUE(status == kMessagePortIsInvalid || status == kMessagePortReceiveTimeout) << status;
    EXPECT_LT(elapsed, 4000 + 30000) << "the wait ended";
    EXPECT_FALSE(client->isValid());
    EXPECT_EQ(client->sendRequest(1, "x", 1, 1, true, &reply), kMessagePortIsInvalid);
    server.process().waitForFinished(5000);
    EXPECT_EQ(RemoteMessagePort::connect("Doomed"), nullptr);
}

TEST_F(MessagePortTest, aSilentServerGivesReceiveTimeOutAndAFullOneSendTimeOut) {
    Peer server({"serve", "Busy"});
    ASSERT_EQ(server.readLine(), "ready");
    {
        auto client = RemoteMessagePort::connect("Busy");
        ASSERT_NE(client, nullptr);
        QElapsedTimer timer;
        timer.start();
        QByteArray reply;
        EXPECT_EQ(client->sendRequest(2, "sleep", 2, 0.3, true, &reply), kMessagePortReceiveTimeout);
        EXPECT_GE(timer.elapsed(), 250);
        EXPECT_LT(timer.elapsed(), 3000);
        // A late reply would answer the wrong request: the connection is given up.
        EXPECT_FALSE(client->isValid());
    }
    {
        // The server now sleeps in its callback and reads nothing: the socket fills up.
        auto client = RemoteMessagePort::connect("Busy");
        ASSERT_NE(client, nullptr);
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(client->sendRequest(1, QByteArray(32 * 1024 * 1024, 'z'), 0.3, 1, true, nullptr),
                  kMessagePortSendTimeout);
        EXPECT_LT(timer.elapsed(), 3000);
        EXPECT_FALSE(client->isValid()) << "part of the request went out";
    }
}

TEST_F(MessagePortTest, aRequestTooLargeToSendIsATransportError) {
    PortThread server("big", [](qint32, const QByteArray&, uid_t) { return QByteArray(); });
    auto client = RemoteMessagePort::connect("big");
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(
        client->sendRequest(1, QByteArray(qsizetype(kMessagePortMaxRequest) + 1, 'a'), kWait, kWait, true, nullptr),
        kMessagePortTransportError);
    QByteArray reply;
    EXPECT_EQ(client->sendRequest(1, QByteArray(qsizetype(kMessagePortMaxRequest), 'a'), kWait, kWait, true, &reply),
              kMessagePortSuccess);
}

TEST_F(MessagePortTest, theClientSeesTheServerGoAway) {
    auto port = std::make_unique<PortThread>("gone", [](qint32, const QByteArray& d, uid_t) { return d; });
    auto client = RemoteMessagePort::connect("gone");
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(client->isValid());
    port->run([&] { port->port()->invalidate(); });
    EXPECT_TRUE(ipctest::waitUntil([&] { return !client->isValid(); }));
    EXPECT_EQ(client->sendRequest(1, "x", 1, 1, true, nullptr), kMessagePortIsInvalid);
    EXPECT_EQ(RemoteMessagePort::connect("gone"), nullptr);
    EXPECT_EQ(RemoteMessagePort::connect("never-made"), nullptr);
}

TEST_F(MessagePortTest, aCallbackMayInvalidateOrDestroyItsOwnPort) {
    EXPECT_EQ(LocalMessagePort::create("self", LocalMessagePort::Callback()), nullptr) << "a port needs a callback";
    for (const bool destroy : {false, true}) {
        std::unique_ptr<LocalMessagePort> port;
        port = LocalMessagePort::create("self", [&](qint32, const QByteArray& d, uid_t) {
            if (destroy)
                port.reset();
            else
                port->invalidate();
            return d;
        });
        ASSERT_NE(port, nullptr);
        std::atomic<int> status{1};
        std::thread client([&] {
            auto c = RemoteMessagePort::connect("self");
            status = c ? c->sendRequest(1, "bye", 2, 2, true, nullptr) : 99;
        });
        ipctest::waitUntil([&] { return status.load() != 1; });
        client.join();
        // The port went away inside the callback: its reply is lost, never a crash.
        EXPECT_EQ(status.load(), kMessagePortIsInvalid) << destroy;
        EXPECT_EQ(port == nullptr, destroy);
        QCoreApplication::processEvents();
    }
}

TEST_F(MessagePortTest, connectionsTogetherCannotHoldMoreThanTheBufferLimit) {
    log::setCapture(true);
    PortThread server("Full", [](qint32, const QByteArray& d, uid_t) { return QByteArray::number(d.size()); });
    ASSERT_NE(server.port(), nullptr);
    const QString path = server.port()->socketPath();
    constexpr quint32 kLength = 64u * 1024 * 1024;
    const QByteArray part(60 * 1024 * 1024, 'p');
    std::vector<int> fds;
    for (int i = 0; i < 5; ++i) {
        const int fd = rawConnect(path);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        const QByteArray h = header(i, 1, kLength);
        ::send(fd, h.constData(), size_t(h.size()), MSG_NOSIGNAL);
        // Four incomplete 64 MiB requests fit; the fifth goes over the limit.
        qsizetype sent = 0;
        while (sent < part.size()) {
            const ssize_t n = ::send(fd, part.constData() + sent, size_t(part.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
        EXPECT_EQ(sent == part.size(), i < 4) << i;
    }
    EXPECT_TRUE(ipctest::waitUntil([] { return countLines("the port's buffers are full") == 1; }));

    // The others were kept: one of them completes its request and is answered.
    const QByteArray rest(qsizetype(kLength) - part.size(), 'q');
    ASSERT_EQ(::send(fds[0], rest.constData(), size_t(rest.size()), MSG_NOSIGNAL), rest.size());
    timeval tv{60, 0};
    ::setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char reply[4 + 8] = {};
    ASSERT_EQ(::recv(fds[0], reply, 4 + 8, MSG_WAITALL), 4 + 8);
    EXPECT_EQ(QByteArray(reply + 4, 8), QByteArray::number(kLength));
    for (int fd : fds)
        ::close(fd);
}
