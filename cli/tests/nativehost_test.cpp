// junkward-native-host as the mail program runs it: length-prefixed JSON on a
// pipe, the staged engine started through bus activation on a private bus.
// Verdicts and training go through to the engine; every kind of broken input
// gets an error reply or a clean exit, and the host keeps serving after one.
#include "tests/support/TestSupport.h"

#include "platform/ScriptingBus.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

QByteArray frame(const QByteArray& body, std::uint32_t length) {
    QByteArray prefix(sizeof length, '\0');
    std::memcpy(prefix.data(), &length, sizeof length);
    return prefix + body;
}

QByteArray frame(const QByteArray& body) { return frame(body, std::uint32_t(body.size())); }

QByteArray request(const QJsonObject& object) { return frame(QJsonDocument(object).toJson(QJsonDocument::Compact)); }

QByteArray message(const QByteArray& id, bool flagged) {
    return "Message-ID: <" + id + ">\nFrom: Bea Example <bea@example.org>\nSubject: about " + id +
           "\nContent-Type: text/plain\n" + (flagged ? "X-Spam-Flag: YES\n" : "") + "\nA body for " + id + ".\n";
}

// One running host; replies are read as they come.
class Host {
public:
    Host() {
        process_.setProgram(testsupport::stagedProgram("junkward-native-host"));
        // The browser passes the manifest's path and the add-on's id.
        process_.setArguments({"/nonexistent/com.quillon.junkward.json", "junkward@quillon.com"});
        process_.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        process_.start();
        process_.waitForStarted(testsupport::kDeadlineMs);
    }
    ~Host() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    void write(const QByteArray& bytes) { process_.write(bytes); }
    // The next reply, or an empty object when none came within the deadline.
    QJsonObject reply() {
        testsupport::waitUntil([&] {
            if (buffer_.size() >= 4) {
                std::uint32_t length = 0;
                std::memcpy(&length, buffer_.constData(), 4);
                if (buffer_.size() >= qsizetype(4 + length))
                    return true;
            }
            process_.waitForReadyRead(50);
            buffer_ += process_.readAllStandardOutput();
            return false;
        });
        if (buffer_.size() < 4)
            return {};
        std::uint32_t length = 0;
        std::memcpy(&length, buffer_.constData(), 4);
        EXPECT_LE(length, 1024u * 1024u);
        const QByteArray body = buffer_.mid(4, length);
        buffer_.remove(0, 4 + length);
        return QJsonDocument::fromJson(body).object();
    }
    // Closes the host's input; its exit code, -1 for a crash or no exit.
    int finish() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(testsupport::kDeadlineMs))
            return -1;
        buffer_ += process_.readAllStandardOutput();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    QByteArray unread() const { return buffer_; }

private:
    QProcess process_;
    QByteArray buffer_;
};

class NativeHost : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        runtime_ = new testsupport::ShortTempDir;
        library_ = new testsupport::ShortTempDir;
        ::setenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_->path()).constData(), 1);
        ::setenv("JUNKWARD_USER_LIBRARY", QFile::encodeName(library_->path()).constData(), 1);
        testsupport::application();
        bus_ = new testsupport::PrivateBus(testsupport::PrivateBus::stagedServices());
    }
    static void TearDownTestSuite() {
        stopEngine();
        delete bus_;
        delete library_;
        delete runtime_;
    }
    static void stopEngine() {
        if (platform::ScriptingBus::hasOwner(platform::kEngineBusName)) {
            QProcess::execute(testsupport::stagedProgram("junkward"), {"quit"});
            testsupport::waitUntil([] { return !platform::ScriptingBus::hasOwner(platform::kEngineBusName); });
        }
    }
    void SetUp() override { ASSERT_TRUE(bus_->ready()); }

    static testsupport::ShortTempDir* runtime_;
    static testsupport::ShortTempDir* library_;
    static testsupport::PrivateBus* bus_;
};

testsupport::ShortTempDir* NativeHost::runtime_ = nullptr;
testsupport::ShortTempDir* NativeHost::library_ = nullptr;
testsupport::PrivateBus* NativeHost::bus_ = nullptr;

TEST_F(NativeHost, judgesAndTrainsThroughTheEngine) {
    Host host;
    host.write(request({{"id", 1}, {"request", "status"}}));
    const QJsonObject status = host.reply();
    EXPECT_EQ(status.value("id").toInt(), 1);
    EXPECT_TRUE(status.value("ok").toBool()) << QJsonDocument(status).toJson().toStdString();
    EXPECT_TRUE(status.value("engine").toBool());

    // Several requests in one write are answered in order.
    host.write(
        request(
            {{"id", "a"}, {"request", "check"}, {"source", QString::fromLatin1(message("s1@x", true).toBase64())}}) +
        request(
            {{"id", "b"}, {"request", "check"}, {"source", QString::fromLatin1(message("h1@x", false).toBase64())}}));
    const QJsonObject spam = host.reply();
    const QJsonObject good = host.reply();
    EXPECT_EQ(spam.value("id").toString(), "a");
    EXPECT_TRUE(spam.value("spam").toBool()) << QJsonDocument(spam).toJson().toStdString();
    EXPECT_EQ(spam.value("verdict").toString(), "spam");
    EXPECT_FALSE(spam.value("reason").toString().isEmpty());
    EXPECT_EQ(good.value("id").toString(), "b");
    EXPECT_TRUE(good.value("ok").toBool());
    EXPECT_FALSE(good.value("spam").toBool());

    host.write(request(
        {{"id", 2}, {"request", "learn-spam"}, {"source", QString::fromLatin1(message("h1@x", false).toBase64())}}));
    const QJsonObject learned = host.reply();
    EXPECT_TRUE(learned.value("ok").toBool()) << QJsonDocument(learned).toJson().toStdString();
    EXPECT_EQ(learned.value("learned").toInt(), 1);
    host.write(request({{"id", 3},
                        {"request", "learn-ham"},
                        {"sources", QJsonArray{QString::fromLatin1(message("h2@x", false).toBase64()),
                                               QString::fromLatin1(message("h3@x", false).toBase64())}}}));
    EXPECT_EQ(host.reply().value("learned").toInt(), 2);
    EXPECT_EQ(host.finish(), 0);

    // The engine writes its activity log as it quits.
    stopEngine();
    QProcess log;
    log.start(testsupport::stagedProgram("junkward"), {"log"});
    ASSERT_TRUE(log.waitForFinished(testsupport::kDeadlineMs));
    // One line per message: "[S] " or "[L] ", then date, sender, subject, reason.
    const QStringList lines = QString::fromUtf8(log.readAllStandardOutput()).split('\n');
    QStringList entries;
    for (const QString& line : lines)
        if (!line.isEmpty())
            entries << line.left(3) + line.section('\t', 2, 2);
    // The spam verdict, then the good message learned as spam and two learned as good mail.
    EXPECT_EQ(entries, QStringList({"[S]about s1@x", "[S]about h1@x", "[L]about h2@x", "[L]about h3@x"}))
        << lines.join('\n').toStdString();
}

TEST_F(NativeHost, answersBrokenRequestsAndKeepsServing) {
    Host host;
    const struct {
        const char* name;
        QByteArray bytes;
        const char* error;
        QJsonValue id;
    } cases[] = {
        {"not JSON", frame("{\"id\": 1, \"request\""), "bad-json", QJsonValue::Null},
        {"not UTF-8", frame("{\"id\": 1, \"request\": \"\xff\xfe\"}"), "bad-json", QJsonValue::Null},
        {"an array", frame("[1, 2, 3]"), "bad-request", QJsonValue::Null},
        {"a number", frame("42"), "bad-request", QJsonValue::Null},
        {"a string", frame("  \"check\""), "bad-request", QJsonValue::Null},
        {"an empty body", frame(""), "bad-json", QJsonValue::Null},
        {"no request name", request({{"id", 5}}), "bad-request", 5},
        {"an unknown request", request({{"id", 6}, {"request", "format-disk"}}), "unknown-request", 6},
        {"no source", request({{"id", 7}, {"request", "check"}}), "bad-request", 7},
        {"a source that is not base64", request({{"id", 8}, {"request", "check"}, {"source", "%%not*base64%%"}}),
         "bad-source", 8},
        {"a source that is a number", request({{"id", 9}, {"request", "learn-spam"}, {"source", 12}}), "bad-source", 9},
        {"an empty source", request({{"id", 10}, {"request", "check"}, {"source", ""}}), "empty-message", 10},
        {"sources that are not an array", request({{"id", 11}, {"request", "learn-ham"}, {"sources", "abc"}}),
         "bad-request", 11},
        // Larger than a request may be: answered, then skipped unread.
        {"a 50 MB source",
         request(
             {{"id", 12}, {"request", "check"}, {"source", QString::fromLatin1(QByteArray(50 << 20, 'x').toBase64())}}),
         "request-too-large", QJsonValue::Null},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.write(c.bytes);
        const QJsonObject reply = host.reply();
        EXPECT_FALSE(reply.value("ok").toBool(true)) << QJsonDocument(reply).toJson().toStdString();
        EXPECT_EQ(reply.value("error").toString(), QString::fromLatin1(c.error));
        EXPECT_EQ(reply.value("id"), c.id);
        EXPECT_FALSE(reply.value("message").toString().isEmpty());
    }
    // The stream is still in step after the skipped request.
    host.write(request({{"id", 13}, {"request", "status"}}));
    EXPECT_TRUE(host.reply().value("ok").toBool());
    host.write(frame({}, 0xffffffffu));
    const QJsonObject huge = host.reply();
    EXPECT_EQ(huge.value("error").toString(), "request-too-large");
    // The 4 GB request is still being skipped: the input ends inside it.
    EXPECT_EQ(host.finish(), 1);
    EXPECT_TRUE(host.unread().isEmpty());
}

TEST_F(NativeHost, endsCleanlyWhenTheInputEnds) {
    const struct {
        const char* name;
        QByteArray bytes;
        int exitCode;
    } cases[] = {
        {"at a boundary", {}, 0},
        {"inside a length prefix", QByteArray("\x10\x00", 2), 1},
        {"after a prefix with no body", frame({}, 100), 1},
        {"inside a body", frame("{\"id\": 1, \"requ", 40), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Host host;
        host.write(c.bytes);
        EXPECT_EQ(host.finish(), c.exitCode);
        EXPECT_TRUE(host.unread().isEmpty());
    }
}

}  // namespace
