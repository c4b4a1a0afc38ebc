// The root daemon, run as a process of its own on a private system bus with its
// socket and machine-wide Library in temporary folders.

#include "ipc/JKW5FrontEndCommunicationCenter.h"
#include "ipc/QMessagePortData.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using platform::PortScope;
using platform::RemoteMessagePort;

namespace {

constexpr uid_t kNobody = 65534;
const char* const kPort = JKW5_FRONTENDCOMMUNICATIONCENTER_DAEMON_MESSAGEPORT_NAME;

QByteArray request(const QVariant& object) {
    QVariantMap body{{"Identifier", "com.quillon.junkward.test"}};
    if (object.isValid())
        body.insert("Object", object);
    return platform::plist::toData(body, platform::plist::Format::Binary);
}

QByteArray moveRequest(const QString& source, const QString& destination) {
    return request(QVariantMap{{"Source", source}, {"Destination", destination}});
}

// Sends one request and waits for the daemon's (empty) reply, so it has been
// served on return. The status of the send.
int send(qint32 msgid, const QByteArray& data) {
    auto port = RemoteMessagePort::connect(kPort, PortScope::System);
    if (!port)
        return 100;
    QByteArray reply;
    return port->sendRequest(msgid, data, 10, 10, true, &reply);
}

// send() from a child process switched to user nobody; its status, or 99 when
// the switch failed.
int sendAsNobody(qint32 msgid, const QByteArray& data) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(99);
        ::_exit(send(msgid, data) & 0xff);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? qint8(WEXITSTATUS(status)) : 98;
}

void writeFile(const QString& path, const QByteArray& content, uid_t owner = 0) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(content);
    f.close();
    ASSERT_EQ(::chown(QFile::encodeName(path).constData(), owner, owner == 0 ? 0 : owner), 0);
}

struct Attributes {
    mode_t mode;
    uid_t uid;
    gid_t gid;
    bool operator==(const Attributes&) const = default;
};

std::optional<Attributes> attributes(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return Attributes{st.st_mode & 07777, st.st_uid, st.st_gid};
}

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

gid_t staff() {
    const group* g = ::getgrnam("staff");
    return g ? g->gr_gid : 0;
}

// A private system bus whose own policy lets nobody send signals: only the
// daemon's policy file lets root post its announcements.
testsupport::PrivateBus::System strictSystemBus() {
    return {
        "<policy context=\"default\"><allow user=\"*\"/><deny own=\"*\"/>"
        "<deny send_type=\"method_call\"/><deny send_type=\"signal\"/>"
        "<allow send_destination=\"org.freedesktop.DBus\"/>"
        "<allow receive_type=\"method_return\"/><allow receive_type=\"error\"/>"
        "<allow receive_type=\"signal\"/>"
        "<allow send_type=\"method_return\" send_requested_reply=\"true\"/>"
        "<allow send_type=\"error\" send_requested_reply=\"true\"/></policy>\n"
        "<include>" +
        qgetenv("JUNKWARD_SOURCE_DIR") + "/daemon/com.quillon.junkward.Daemon.conf</include>\n"};
}

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the daemon's tests run as root (it changes owners and switches users)";
        testsupport::application();
        root = top.path();
        ASSERT_FALSE(root.isEmpty());
        ASSERT_EQ(::chmod(QFile::encodeName(root).constData(), 0755), 0);
        for (const char* sub : {"run", "Library", "Library/Documentation", "src", "other"})
            ASSERT_TRUE(QDir().mkpath(root + "/" + sub));
        ::chmod(QFile::encodeName(root + "/Library").constData(), 0755);
        ::chmod(QFile::encodeName(root + "/run").constData(), 0755);
        library = root + "/Library";
        docs = library + "/Documentation/Junkward";
        ::setenv("JUNKWARD_SYSTEM_RUNTIME_DIR", QFile::encodeName(root + "/run").constData(), 1);
        ::setenv("JUNKWARD_LOCAL_LIBRARY", QFile::encodeName(library).constData(), 1);
        bus = std::make_unique<testsupport::PrivateBus>(strictSystemBus());
        ASSERT_TRUE(bus->ready()) << "the private system bus did not start";
        platform::DistributedNotificationCenter::defaultCenter().addObserver(
            {}, std::nullopt, [this](const platform::Notification& n) { notices.push_back(n.name + " " + n.object); });
    }
    // The daemon leaves cleanly on SIGTERM, its socket removed, having reported
    // no fault (sanitizer builds check memory in it too).
    void TearDown() override {
        if (daemon.state() == QProcess::NotRunning)
            return;
        daemon.terminate();
        if (!daemon.waitForFinished(testsupport::kDeadlineMs))
            daemon.kill();
        daemon.waitForFinished(5000);
        EXPECT_EQ(daemon.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(daemon.exitCode(), 0);
        EXPECT_FALSE(QFileInfo::exists(root + "/run/Junkward%205%20Daemon"));
        const QString all = lines().join('\n');
        EXPECT_FALSE(all.contains("Sanitizer") || all.contains("runtime error")) << all.toStdString();
    }

    void startDaemon() {
        daemon.setProgram(testsupport::stagedProgram("junkward-daemon"));
        daemon.setArguments({"--log-to-stderr"});
        daemon.setProcessChannelMode(QProcess::MergedChannels);
        daemon.start();
        ASSERT_TRUE(daemon.waitForStarted(10000));
        ASSERT_TRUE(
            testsupport::waitUntil([] { return RemoteMessagePort::connect(kPort, PortScope::System) != nullptr; }));
    }
    // Log lines of the daemon so far.
    QStringList lines() {
        output += daemon.readAll();
        return QString::fromUtf8(output).split('\n', Qt::SkipEmptyParts);
    }
    // Whether a line containing needle came after the first `from` lines.
    bool logged(const QString& needle, qsizetype from = 0) {
        return testsupport::waitUntil([&] {
            const QStringList all = lines();
            for (qsizetype i = from; i < all.size(); ++i)
                if (all[i].contains(needle))
                    return true;
            return false;
        });
    }
    bool announced(const QString& path) {
        return testsupport::waitUntil([&] { return notices.contains("userManualDidBecomeAvailable " + path); });
    }

    testsupport::ShortTempDir top;
    QString root, library, docs;
    std::unique_ptr<testsupport::PrivateBus> bus;
    QProcess daemon;
    QByteArray output;
    QStringList notices;
};

}  // namespace

TEST_F(DaemonTest, movesManualsIntoTheDocumentationFolderAndAnnouncesThem) {
    startDaemon();
    const Attributes folder{0775, 0, staff()};

    // The folders missing below Documentation are made, the Library gets its mode.
    writeFile(root + "/src/Manual.pdf", "first edition");
    ASSERT_EQ(send(2000, moveRequest(root + "/src/Manual.pdf", docs + "/Manual/Manual.pdf")), 0);
    ASSERT_TRUE(announced(docs + "/Manual/Manual.pdf")) << lines().join('\n').toStdString();
    EXPECT_EQ(contents(docs + "/Manual/Manual.pdf"), "first edition");
    EXPECT_EQ(attributes(docs + "/Manual/Manual.pdf"), (Attributes{0664, 0, staff()}));
    EXPECT_EQ(attributes(docs), folder);
    EXPECT_EQ(attributes(docs + "/Manual"), folder);
    EXPECT_EQ(attributes(library), (Attributes{01775, 0, staff()}));
    EXPECT_FALSE(QFile::exists(root + "/src/Manual.pdf"));

    // From another file system the manual is copied, then its source removed; a
    // plain file where "Documentation" belongs makes way, an older manual is replaced.
    ASSERT_EQ(std::system(("rm -rf '" + library + "/Documentation'").toLocal8Bit().constData()), 0);
    writeFile(library + "/Documentation", "in the way");
    const QString shmSource = "/dev/shm/jwd-" + QString::number(::getpid()) + ".pdf";
    writeFile(shmSource, "second edition");
    ASSERT_EQ(send(2000, moveRequest(shmSource, docs + "/Manual.pdf")), 0);
    ASSERT_TRUE(announced(docs + "/Manual.pdf")) << lines().join('\n').toStdString();
    EXPECT_EQ(contents(docs + "/Manual.pdf"), "second edition");
    EXPECT_EQ(attributes(library + "/Documentation"), folder);
    EXPECT_FALSE(QFile::exists(shmSource));
    QFile::remove(shmSource);

    writeFile(root + "/src/New.pdf", "third edition");
    ASSERT_EQ(send(2000, moveRequest(root + "/src/New.pdf", docs + "/Manual.pdf")), 0);
    EXPECT_TRUE(testsupport::waitUntil([&] { return contents(docs + "/Manual.pdf") == "third edition"; }));
    EXPECT_EQ(QDir(docs).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"Manual.pdf"});  // no temporary file left behind
}

TEST_F(DaemonTest, refusesMovesThatWouldReachBeyondTheRequestersRights) {
    startDaemon();
    ASSERT_TRUE(QDir().mkpath(docs));
    ASSERT_TRUE(QDir().mkpath(root + "/elsewhere"));
    ASSERT_EQ(::chown(QFile::encodeName(root + "/other").constData(), kNobody, kNobody), 0);
    writeFile(root + "/src/Root.pdf", "root's file");
    writeFile(root + "/other/Mine.pdf", "nobody's file", kNobody);
    ASSERT_EQ(
        ::symlink(QFile::encodeName(root + "/elsewhere").constData(), QFile::encodeName(docs + "/Linked").constData()),
        0);
    ASSERT_EQ(::symlink(QFile::encodeName(root + "/src/Root.pdf").constData(),
                        QFile::encodeName(root + "/other/Link.pdf").constData()),
              0);
    ASSERT_EQ(
        ::symlink(QFile::encodeName(root + "/src").constData(), QFile::encodeName(root + "/other/srclink").constData()),
        0);
    ASSERT_TRUE(QDir().mkpath(docs + "/Dir"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(docs + "/Fifo").constData(), 0644), 0);
    writeFile(docs + "/Plain", "not a folder of the table");

    struct Case {
        const char* what;
        bool asNobody;
        QString source, destination, line;
    };
    const QString mine = root + "/other/Mine.pdf";
    const Case cases[] = {
        {"a file of another user", true, root + "/src/Root.pdf", docs + "/M.pdf", "does not belong to user 65534"},
        {"a link to a file of another user", true, root + "/other/Link.pdf", docs + "/M.pdf",
         "A symbolic link stands at"},
        {"through a linked source folder", true, root + "/other/srclink/Root.pdf", docs + "/M.pdf",
         "A symbolic link stands at"},
        {"outside the folder", true, mine, root + "/elsewhere/M.pdf", "lies outside"},
        {"climbing out with ..", true, mine, docs + "/../../../elsewhere/M.pdf", "lies outside"},
        {"beside the folder", true, mine, library + "/Documentation/M.pdf", "lies outside"},
        {"through a linked folder", true, mine, docs + "/Linked/M.pdf", "A symbolic link stands at"},
        {"a folder as source", false, root + "/src", docs + "/M.pdf", "Moving a folder seems weird."},
        {"a fifo where a folder belongs", false, root + "/src/Root.pdf", docs + "/Fifo/M.pdf",
         "Incorrect file at path \"" + docs + "/Fifo\" could not be removed."},
        {"a file where an unlisted folder belongs", false, root + "/src/Root.pdf", docs + "/Plain/Sub/M.pdf",
         "Incorrect file at path \"" + docs + "/Plain\" could not be removed."},
        {"onto an existing folder", false, root + "/src/Root.pdf", docs + "/Dir",
         "An error occured while moving the User Manual to its final destination."},
        {"under a folder the table does not make", false, root + "/src/Root.pdf", docs + "/User/Sub/M.pdf",
         "An error occured while moving the User Manual to its final destination."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const qsizetype from = lines().size();
        const QByteArray data = moveRequest(c.source, c.destination);
        EXPECT_EQ(c.asNobody ? sendAsNobody(2000, data) : send(2000, data), 0);
        EXPECT_TRUE(logged(c.line, from)) << lines().mid(from).join('\n').toStdString();
    }
    EXPECT_EQ(contents(root + "/src/Root.pdf"), "root's file");
    EXPECT_EQ(contents(mine), "nobody's file");
    EXPECT_EQ(QDir(root + "/elsewhere").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    EXPECT_TRUE(QFileInfo(docs + "/Plain").isFile());
    EXPECT_FALSE(QFile::exists(docs + "/M.pdf"));
    EXPECT_FALSE(QFile::exists(docs + "/User"));

    // The owner's own request of the same file goes through.
    EXPECT_EQ(sendAsNobody(2000, moveRequest(mine, docs + "/Mine.pdf")), 0);
    ASSERT_TRUE(announced(docs + "/Mine.pdf")) << lines().join('\n').toStdString();
    EXPECT_EQ(attributes(docs + "/Mine.pdf"), (Attributes{0664, 0, staff()}));
}

TEST_F(DaemonTest, badRequestsAreRefusedAndTheDaemonGoesOnServing) {
    startDaemon();
    const QByteArray deepPlist =
        "<plist>" + QByteArray("<array>").repeated(10000) + QByteArray("</array>").repeated(10000) + "</plist>";
    QMessagePortData env;
    env.messageCode = 33;
    env.dataLength = 4;
    env.payload = static_cast<char*>(std::malloc(4));
    std::memcpy(env.payload, "abcd", 4);
    QByteArray envelope;
    QMessagePortDataEncapsulate(&env, &envelope);
    QMessagePortDataClean(&env);
    QByteArray overclaiming = envelope;
    overclaiming[12] = char(100);

    struct Case {
        const char* what;
        qint32 msgid;
        QByteArray data;
        QString line;
    };
    const Case cases[] = {
        {"empty", 2000, QByteArray(), "JKW5MessagePortCallBack : Received a message with no data"},
        {"15 bytes raw", -10, QByteArray(15, 'x'), "Malformed raw message of 15 bytes"},
        {"a header announcing more", 33, overclaiming, "Malformed raw message of 20 bytes"},
        {"a raw identifier nobody handles", -10, envelope,
         "[JKW5UserLandCommunicationManager processMessage_65525_From:withObject:] Message not implemented"},
        {"raw 33 nobody handles", 33, envelope,
         "[JKW5UserLandCommunicationManager processMessage_33_From:withObject:] Message not implemented"},
        {"an identifier nobody handles", 7, request(QVariant()),
         "[JKW5UserLandCommunicationManager processMessage_7_From:withObject:] Message not implemented"},
        {"not a property list", 2000, "garbage", "propertyListFromData:"},
        {"a list instead of a dictionary", 2000,
         platform::plist::toData(QVariantList{1, 2}, platform::plist::Format::Binary), "is not a dictionary"},
        {"nested 10 000 deep", 2000, deepPlist, "propertyListFromData:"},
        {"an object of the wrong type", 2000, request(QString("/tmp/x")),
         "The request is not a dictionary of two paths."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const qsizetype from = lines().size();
        EXPECT_EQ(send(c.msgid, c.data), 0);
        EXPECT_TRUE(logged(c.line, from)) << lines().mid(from).join('\n').toStdString();
    }
    {
        const qsizetype from = lines().size();
        EXPECT_EQ(sendAsNobody(-10, QByteArray(15, 'x')), 0);
        EXPECT_TRUE(logged("Malformed raw message of 15 bytes", from));
    }

    // Clients that connect and say nothing do not lock out the next one.
    std::vector<std::unique_ptr<RemoteMessagePort>> silent;
    for (int i = 0; i < 600; ++i) {
        auto port = RemoteMessagePort::connect(kPort, PortScope::System);
        if (port)
            silent.push_back(std::move(port));
    }
    EXPECT_GE(silent.size(), 512u);
    ASSERT_TRUE(QDir().mkpath(docs));
    writeFile(root + "/src/After.pdf", "still served");
    EXPECT_EQ(send(2000, moveRequest(root + "/src/After.pdf", docs + "/After.pdf")), 0);
    EXPECT_TRUE(announced(docs + "/After.pdf")) << lines().join('\n').toStdString();
    EXPECT_EQ(daemon.state(), QProcess::Running);
}

TEST_F(DaemonTest, aWaitingFrontEndConnectsOnceTheDaemonStarts) {
    JKW5FrontEndCommunicationCenter client;
    ASSERT_FALSE(client.existsRemoteMessagePort());
    startDaemon();
    // The daemon's announcement connects it at once, the 2-second poll at the
    // latest; the bound leaves a loaded machine 8 s more.
    ASSERT_TRUE(testsupport::waitUntil([&] { return client.existsRemoteMessagePort(); }, 2000 + 8000));
    EXPECT_TRUE(notices.contains("daemonMessagePortDidChange "));

    ASSERT_TRUE(QDir().mkpath(root + "/src"));
    writeFile(root + "/src/Manual.pdf", "via the client");
    EXPECT_TRUE(client.JKW5_FECC_UserManual_MoveFromPath(root + "/src/Manual.pdf", docs + "/Manual.pdf"));
    EXPECT_TRUE(announced(docs + "/Manual.pdf")) << lines().join('\n').toStdString();

    // A second daemon finds the port taken and leaves.
    QProcess second;
    second.start(testsupport::stagedProgram("junkward-daemon"), {"--log-to-stderr"});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_EQ(daemon.state(), QProcess::Running);
}

TEST(DaemonUnit, systemdAcceptsTheUnit) {
    if (QStandardPaths::findExecutable("systemd-analyze").isEmpty())
        GTEST_SKIP() << "systemd-analyze is not installed";
    const QString unit =
        QString::fromLocal8Bit(qgetenv("JUNKWARD_STAGE")) + "/../daemon/staged/junkward-daemon.service";
    ASSERT_TRUE(QFile::exists(unit)) << unit.toStdString();
    QProcess verify;
    verify.setProcessChannelMode(QProcess::MergedChannels);
    verify.start("systemd-analyze", {"verify", unit});
    ASSERT_TRUE(verify.waitForFinished(60000));
    EXPECT_EQ(verify.exitCode(), 0) << verify.readAll().toStdString();
}
