// The filtering pipeline end to end: the staged engine runs with a private
// session bus, a temporary user Library and runtime folder; crafted messages
// go through its port "Sievra"; the replies, the activity log and the
// statistics files are read back.

#include "engine/SievraPort.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "tests/support/ProgressService.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <ostream>

// Readable values in failure messages.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
void PrintTo(const QStringList& list, std::ostream* out) {
    *out << '[' << list.join(QStringLiteral(" | ")).toStdString() << ']';
}

#include <cstring>
#include <memory>

namespace {

using testsupport::application;

// A private session bus for this test process and the engines it starts: the
// engine owns a well-known bus name, which two engines of parallel tests could
// not share.
testsupport::PrivateBus& privateBus() {
    static testsupport::PrivateBus bus;
    return bus;
}

QString engineProgram() { return qEnvironmentVariable("JUNKWARD_STAGE") + "/bin/junkward-engine"; }

QString probeLibrary() { return qEnvironmentVariable("JUNKWARD_TEST_BIN_DIR") + "/pipeline-library"; }

QVariantMap rule(const char* key, int method, const char* value) {
    return {{"Status", true}, {"Key", key}, {"Method", qint64(method)}, {"Value", value}};
}

// One engine process with its own Library and runtime folder.
class Engine {
public:
    Engine() {
        QByteArray runtime = "/tmp/jwp-XXXXXX";
        if (mkdtemp(runtime.data()))
            runtime_ = QString::fromLocal8Bit(runtime);
        QDir().mkpath(library_.path() + "/Preferences");
    }
    ~Engine() {
        stop();
        if (!runtime_.isEmpty())
            QDir(runtime_).removeRecursively();
    }

    QString library() const { return library_.path(); }

    void writePreferences(const QString& identifier, const QVariantMap& settings, bool status = true) {
        const QVariantMap preferences{{"Status", status}, {"Settings", settings}};
        ASSERT_TRUE(platform::plist::writeFile(
            library_.path() + "/Preferences/com.quillon.junkward." + identifier + ".plist", preferences));
    }

    void writeAddressBook(const QByteArray& cards, const QByteArray& me) {
        const QString folder = library_.path() + "/Application Support/AddressBook";
        QDir().mkpath(folder);
        QFile vcf(folder + "/book.vcf");
        ASSERT_TRUE(vcf.open(QIODevice::WriteOnly));
        vcf.write(cards);
        QFile meFile(folder + "/Me");
        ASSERT_TRUE(meFile.open(QIODevice::WriteOnly));
        meFile.write(me);
    }

    // Starts the staged engine; localLibrary holds the plug-ins it loads (an
    // empty one by default).
    bool start(const QString& localLibrary = QString()) {
        if (runtime_.isEmpty() || !privateBus().ready())
            return false;
        if (localLibrary.isEmpty()) {
            QDir().mkpath(emptyLocal_.path() + "/Application Support/Quillon/Junkward/Plugins");
            local_ = emptyLocal_.path();
        } else {
            local_ = localLibrary;
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("JUNKWARD_USER_LIBRARY", library_.path());
        env.insert("JUNKWARD_LOCAL_LIBRARY", local_);
        env.insert("XDG_RUNTIME_DIR", runtime_);
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.start(engineProgram(), {});
        if (!process_.waitForStarted(testsupport::kDeadlineMs))
            return false;
        qputenv("XDG_RUNTIME_DIR", runtime_.toLocal8Bit());
        port_ = testsupport::waitForPort(SievraMessagePortName);
        return port_ != nullptr;
    }

    void stop() {
        port_.reset();
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(testsupport::kDeadlineMs))
                process_.kill();
            process_.waitForFinished(2000);
        }
    }

    bool isRunning() const { return process_.state() == QProcess::Running; }
    QByteArray standardError() { return process_.readAllStandardError(); }
    QByteArray standardOutput() { return process_.readAllStandardOutput(); }

    // The four reply bytes as a number; -100 when the request failed.
    qint32 send(const QByteArray& message, qint32 messageID = SievraMessageIDFilterMail) {
        if (!port_)
            return -100;
        QByteArray reply;
        const int status = port_->sendRequest(messageID, message, 60.0, 60.0, true, &reply);
        if (status != platform::kMessagePortSuccess || reply.size() != 4)
            return -100;
        qint32 value = 0;
        std::memcpy(&value, reply.constData(), 4);
        return value;
    }

    QString logPath() const { return library_.path() + "/Logs/Junkward/Junkward Log.log"; }

    // The records of the log once it holds at least count of them (the log is
    // written 3 s after the last record), or whatever it holds at the deadline.
    QVariantList waitForLog(int count) {
        QVariantList records;
        testsupport::waitUntil([&] {
            if (const auto log = platform::plist::readDictionary(logPath()))
                records = log->value("Log").toList();
            return records.size() >= count;
        });
        return records;
    }

    std::optional<QVariantMap> statistics(const QString& identifier) {
        return platform::plist::readDictionary(library_.path() + "/Preferences/com.quillon.junkward.statistics." +
                                               identifier + ".plist");
    }

    QStringList probeTraining(const QString& identifier) {
        QFile file(library_.path() + "/probe-" + identifier + ".log");
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

private:
    QTemporaryDir library_;
    QTemporaryDir emptyLocal_;
    QString local_;
    QString runtime_;
    QProcess process_;
    std::unique_ptr<platform::RemoteMessagePort> port_;
};

QMap<QString, QVariantMap> recordsByID(const QVariantList& records) {
    QMap<QString, QVariantMap> byID;
    for (const QVariant& r : records)
        byID.insert(r.toMap().value("Msg-ID").toString(), r.toMap());
    return byID;
}

QByteArray message(const QByteArray& id, const QByteArray& headers, const QByteArray& body) {
    return "From: Sender <sender@example.org>\nTo: you@example.net\nMessage-ID: <" + id + "@example.org>\n" + headers +
           "\n" + body;
}

QByteArray html(const QByteArray& id, const QByteArray& extraHeaders, const QByteArray& markup) {
    return message(id, "Subject: html " + id + "\nContent-Type: text/html; charset=us-ascii\n" + extraHeaders, markup);
}

struct Crafted {
    const char* name;
    QByteArray bytes;
    const char* filterID;  // expected "Filt-ID"
    qint32 reply;          // expected port reply
};

QString idOf(const Crafted& c) {
    const QByteArray& b = c.bytes;
    const qsizetype start = b.indexOf("Message-ID: <") + 13;
    return QString::fromLatin1(b.mid(start, b.indexOf('>', start) - start + 1)).prepend('<');
}

class Pipeline : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        ASSERT_TRUE(privateBus().ready()) << "dbus-daemon did not start";
        ASSERT_TRUE(QFileInfo(engineProgram()).isExecutable()) << qPrintable(engineProgram());
    }

    // Sends every crafted message, then checks each reply and logged Filt-ID.
    void expectVerdicts(Engine& engine, const std::vector<Crafted>& cases) {
        for (const Crafted& c : cases)
            EXPECT_EQ(engine.send(c.bytes), c.reply) << c.name;
        const auto byID = recordsByID(engine.waitForLog(static_cast<int>(cases.size())));
        for (const Crafted& c : cases) {
            ASSERT_TRUE(byID.contains(idOf(c))) << c.name << " has no log record";
            EXPECT_EQ(byID.value(idOf(c)).value("Filt-ID").toString(), QString(c.filterID)) << c.name;
        }
    }
};

const QByteArray kWhiteText =
    "<html><body>Visible words here. <font color=\"#FFFFFF\">hidden words</font></body></html>\n";

}  // namespace

TEST_F(Pipeline, eachBuiltInCheckDecidesWithItsCodeInItsOrder) {
    Engine engine;
    engine.writePreferences("General", {{"Show Feedback", false}});
    ASSERT_TRUE(engine.start());

    QByteArray spans;
    for (int i = 0; i < 11; ++i)
        spans += "<span style=\"display:none\">pad</span>";
    const std::vector<Crafted> cases = {
        {"signed wins over white text",
         message("a-signed",
                 "Subject: signed\nMIME-Version: 1.0\nContent-Type: multipart/signed; boundary=\"sig\"; "
                 "protocol=\"application/pgp-signature\"\n",
                 "--sig\nContent-Type: text/html\n\n" + kWhiteText +
                     "--sig\nContent-Type: application/pgp-signature\n\n"
                     "-----BEGIN PGP SIGNATURE-----\nabc\n-----END PGP SIGNATURE-----\n--sig--\n"),
         "INT_SIGNED", 0},
        {"float left",
         html("b-float", "", "<html><body><div>ab</div><div style=\"float:left\">cd</div></body></html>\n"),
         "INT_LAYOUT", 1},
        {"white text", html("c-white", "", kWhiteText), "INT_INVIS", 1},
        {"small font", html("d-small", "", "<html><body>Visible words.<p style=\"font-size:1px\"></body></html>\n"),
         "INT_INVIS", 1},
        {"wrong tags", html("e-tags", "", "<html><body><qq1><qq2><qq3><qq4><qq5><qq6>text</body></html>\n"), "INT_TAGS",
         1},
        {"hidden spans",
         html("f-spans", "", "<html><body>Some text that is long enough to read well. " + spans + "</body></html>\n"),
         "INT_LAYOUT", 1},
        {"alternative with one part",
         message("g-hierarchy", "Subject: one\nContent-Type: multipart/alternative; boundary=\"b1\"\n",
                 "--b1\nContent-Type: text/plain\n\nonly one alternative here\n--b1--\n"),
         "INT_HIERAR", 1},
        {"placeholder charset",
         message("h-charset", "Subject: x\nContent-Type: text/plain; charset=%CHARSET\n", "some plain text body\n"),
         "INT_CHARSET", 1},
        {"text after html",
         html("i-after", "", "<html><body>Hello</body></html>\nabcdefghijklmnopqrstuvwxyzabcdefghij\n"),
         "INT_AFTERHTML", 1},
        {"boundary on a single part",
         message("j-boundary", "Subject: x\nContent-Type: text/plain; boundary=\"zz\"\n", "plain text body here\n"),
         "INT_HIERAR", 1},
        {"upstream subject mark", message("n-mark", "Subject: [SPAM] cheap watches\n", "buy buy buy now\n"),
         "INT_TRUSTHEAD", 1},
        {"upstream flag in lower case", message("n-flag", "Subject: hello\nX-Spam-Flag: yes\n", "hello there friend\n"),
         "INT_TRUSTHEAD", 1},
        {"flag with a score is no mark",
         message("n-score", "Subject: hello\nX-Spam-Flag: YES, 7.1\n", "hello there friend\n"), "NONE", 0},
        {"lower-case subject mark is none", message("n-lower", "Subject: [spam] cheap watches\n", "buy buy buy now\n"),
         "NONE", 0},
        {"forged outlook id",
         "From: a@example.org\nSubject: offer\nX-Mailer: Microsoft Outlook Express 6.0\nMessage-ID: <o-forged@host.c>\n\n"
         "text of the offer\n",
         "INT_INC_MSGID", 1},
        {"outlook id with a real domain",
         "From: a@example.org\nSubject: offer\nX-Mailer: Microsoft Outlook 16\nMessage-ID: <o-fine@host.com>\n\n"
         "text of the offer\n",
         "NONE", 0},
        {"outlook id on a computer named without a dot",
         "From: a@example.org\nSubject: minutes\nX-Mailer: Microsoft Outlook, Build 10.0.2627\n"
         "Message-ID: <001b01c24a76$315c63d0$e600000a@XENON16>\n\ntext\n",
         "NONE", 0},
        {"outlook layout with a forged time",
         "From: a@example.org\nSubject: offer\nX-Mailer: Microsoft Outlook, Build 10.0.2627\n"
         "Message-ID: <000c84d37aae$7338a0a4$3ab55ec5@bjjwxv>\n\ntext\n",
         "INT_INC_MSGID", 1},
        {"outlook id at localhost",
         "From: a@example.org\nSubject: offer\nX-Mailer: Outlook\nMessage-ID: <o-local@LOCALHOST>\n\ntext\n", "NONE",
         0},
        {"outlook id without at",
         "From: a@example.org\nSubject: offer\nX-Mailer: outlook\nMessage-ID: <o-noat>\n\ntext\n", "INT_INC_MSGID", 1},
        {"spam level high", message("n-level", "Subject: hello\nX-me-spamlevel: HIGH\n", "hello there\n"),
         "INT_TRUSTHEAD", 1},
        {"advertisement subject", message("p-adv", "Subject: ADV: lowest mortgage rates\n", "call now\n"), "INT_ADVSUB",
         1},
        // No subject and next to no body: judged like any other message.
        {"no subject, tiny body", "From: a@example.org\nMessage-ID: <s-nosubject@x>\n\nhi\n", "NONE", 0},
        {"ordinary subject with adv", message("p-advice", "Subject: Advice: ADV tips for ADVENTURE\n", "hello\n"),
         "NONE", 0},
    };
    expectVerdicts(engine, cases);

    // Every message was counted in the engine statistics, 2 s after the last.
    std::optional<QVariantMap> general;
    testsupport::waitUntil([&] {
        general = engine.statistics("General");
        return general && platform::plist::unsignedValue(*general, "SWMAILPROCESSED") >= cases.size();
    });
    ASSERT_TRUE(general);
    EXPECT_EQ(platform::plist::unsignedValue(*general, "SWMAILPROCESSED"), cases.size());
    EXPECT_EQ(platform::plist::unsignedValue(*general, "SWMAILSPAMDETECTED"), 16u);
    EXPECT_EQ(platform::plist::unsignedValue(*general, "SWMAILHAMDETECTED"), 1u);
}

TEST_F(Pipeline, charsetChecksFollowTheirSwitches) {
    Engine engine;
    engine.writePreferences("General", {{"Show Feedback", false},
                                        {"Filter HTML Base 64", true},
                                        {"Filter Asiatic or Cyrillic Encodings", true},
                                        {"Filter Japanese Encodings", true}});
    ASSERT_TRUE(engine.start());
    const QByteArray base64Html =
        "PGh0bWw+PGJvZHk+SGVsbG8gdGhlcmU8L2JvZHk+PC9odG1sPgo=\n";  // <html><body>Hello there</body></html>
    const std::vector<Crafted> cases = {
        {"base64 html",
         message("k-b64", "Subject: b\nContent-Type: text/html\nContent-Transfer-Encoding: base64\n", base64Html),
         "HTML64", 1},
        {"base64 html attachment",
         message("k-attached",
                 "Subject: b\nContent-Type: text/html\nContent-Transfer-Encoding: base64\n"
                 "Content-Disposition: attachment; filename=a.html\n",
                 base64Html),
         "NONE", 0},
        {"base64 html in cyrillic",
         message("l-b64", "Subject: b\nContent-Type: text/html; charset=koi8-r\nContent-Transfer-Encoding: base64\n",
                 base64Html),
         "INT_AS_ENC", 1},
        {"cyrillic subject", message("l-subject", "Subject: =?koi8-r?B?8NLJ18XU?=\n", "privet\n"), "INT_AS_ENC", 1},
        {"japanese", message("m-jp", "Subject: x\nContent-Type: text/plain; charset=iso-2022-jp\n", "konnichiwa\n"),
         "INT_JP_ENC", 1},
        {"shift_jis is neither",
         message("m-sjis", "Subject: x\nContent-Type: text/plain; charset=Shift_JIS\n", "text\n"), "NONE", 0},
    };
    expectVerdicts(engine, cases);
}

TEST_F(Pipeline, onlyNonJapaneseSwitchMakesEveryOtherMessageSpam) {
    Engine engine;
    engine.writePreferences("General", {{"Show Feedback", false}, {"Filter non Japanese Encodings", true}});
    ASSERT_TRUE(engine.start());
    expectVerdicts(
        engine, {
                    {"plain latin", message("m-latin", "Subject: hi\n", "hello\n"), "INT_NJP_ENC", 1},
                    {"japanese passes",
                     message("m-jp2", "Subject: x\nContent-Type: text/plain; charset=EUC-JP\n", "text\n"), "NONE", 0},
                });
}

TEST_F(Pipeline, whiteListWinsAndTheAddressBookCountsExceptTheOwnCard) {
    Engine engine;
    engine.writePreferences("General", {{"Show Feedback", false}});
    engine.writePreferences("WhiteList", {{"Array", QVariantList{rule("Subject", 0, "[team]")}}});
    engine.writePreferences("BlackList",
                            {{"Array", QVariantList{rule("From", 1, "example.com"), rule("Subject", 4, "v[i1]agra")}}});
    engine.writeAddressBook(
        "BEGIN:VCARD\nVERSION:3.0\nUID:friend\nFN:Friend\nEMAIL:friend@example.com\nEND:VCARD\n"
        "BEGIN:VCARD\nVERSION:3.0\nUID:self\nFN:Me\nEMAIL:me@example.com\nEND:VCARD\n",
        "self\n");
    ASSERT_TRUE(engine.start());
    const std::vector<Crafted> cases = {
        {"both lists match", "From: x@example.com\nSubject: [team] v1agra party\nMessage-ID: <w-both@x>\n\nbody\n",
         "WHITELIST", 0},
        {"address book sender", "From: Friend <FRIEND@example.com>\nSubject: hi\nMessage-ID: <w-book@x>\n\nbody\n",
         "WHITELIST", 0},
        {"own card is not trusted", "From: Me <me@example.com>\nSubject: hi\nMessage-ID: <w-me@x>\n\nbody\n",
         "BLACKLIST", 1},
        {"black rule", "From: y@example.org\nSubject: VIAGRA\nMessage-ID: <b-rule@x>\n\nbody\n", "BLACKLIST", 1},
        // The lists decide before the body is looked at.
        {"white list before checks",
         "From: friend@example.com\nSubject: hi\nMessage-ID: <w-html@x>\n"
         "Content-Type: text/html\n\n" +
             kWhiteText,
         "WHITELIST", 0},
    };
    expectVerdicts(engine, cases);
}

TEST_F(Pipeline, engineSwitchedOffAnswersZeroAndLogsNothing) {
    Engine engine;
    engine.writePreferences("General", {{"Show Feedback", false}});
    ASSERT_TRUE(engine.start());
    ASSERT_EQ(engine.send(message("off-before", "Subject: [SPAM] offer\n", "buy\n")), 1);
    const QVariantMap off{{"General", false}};
    platform::DistributedNotificationCenter::defaultCenter().post("distributedNotificationStatusOfFilterDidChange",
                                                                  "Test", &off);
    // The switch arrives asynchronously: probe until a spam is answered 0.
    QByteArray lastProbe;
    qint32 reply = 1;
    int i = 0;
    testsupport::waitUntil([&] {
        lastProbe = "off-probe-" + QByteArray::number(i++);
        reply = engine.send(message(lastProbe, "Subject: [SPAM] probe\n", "buy\n"));
        if (reply != 0)
            QThread::msleep(100);
        return reply == 0;
    });
    ASSERT_EQ(reply, 0);
    EXPECT_EQ(engine.send(message("off-after", "Subject: [SPAM] offer\n", "buy\n")), 0);

    QThread::msleep(4000);
    const auto byID = recordsByID(engine.waitForLog(1));
    EXPECT_TRUE(byID.contains("<off-before@example.org>"));
    EXPECT_FALSE(byID.contains("<" + lastProbe + "@example.org>"));
    EXPECT_FALSE(byID.contains("<off-after@example.org>"));
}

TEST_F(Pipeline, hostileMessagesAreJudgedAndLoggedReadably) {
    Engine engine;
    engine.writePreferences("General", {{"Show Feedback", false}});
    ASSERT_TRUE(engine.start());

    QByteArray received;
    for (int i = 0; i < 10000; ++i)
        received += "Received: from relay" + QByteArray::number(i) + ".example.net by mx.example.org\n";
    QByteArray random(64 * 1024, '\0');
    quint32 seed = 12345;
    for (char& c : random) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    QByteArray nested = "Subject: deep\nMessage-ID: <h-deep@x>\nContent-Type: message/rfc822\n\n";
    for (int i = 0; i < 150; ++i)
        nested += "Content-Type: message/rfc822\n\n";
    nested += "Subject: inner\n\ninner body text\n";

    struct Hostile {
        const char* name;
        QByteArray bytes;
        const char* id;  // nullptr: no Message-ID
    };
    const std::vector<Hostile> cases = {
        {"no headers", "\nJust a body without any header at all.\n", nullptr},
        {"no from", "Subject: nobody sent this\nMessage-ID: <h-nofrom@x>\n\nbody text\n", "<h-nofrom@x>"},
        {"undecodable words",
         "From: =?x-none?Q?=ZZ?= <a@b.c>\nSubject: =?utf-8?B?////?= =?koi8-r?BB?x?=\n"
         "Message-ID: <h-undecodable@x>\n\nbody text\n",
         "<h-undecodable@x>"},
        {"ten thousand received", received + "Subject: many hops\nMessage-ID: <h-received@x>\n\nbody text\n",
         "<h-received@x>"},
        {"one megabyte subject", "Subject: " + QByteArray(1024 * 1024, 'S') + "\nMessage-ID: <h-subject@x>\n\nbody\n",
         "<h-subject@x>"},
        {"random body", "Subject: noise\nMessage-ID: <h-random@x>\nContent-Type: text/html\n\n" + random,
         "<h-random@x>"},
        {"control characters",
         QByteArray("From: \x01\x02 <c@d.e>\nSubject: bell\x07 and nul") + QByteArray(1, '\0') +
             "x\nMessage-ID: <h-control@x>\n\nbody\n",
         "<h-control@x>"},
        {"crlf line ends",
         "From: a@b.c\r\nSubject: crlf\r\nMessage-ID: <h-crlf@x>\r\nContent-Type: text/html\r\n\r\n"
         "<html><body>Visible words.\r\n<font color=\"#FFFFFF\">hidden words</font></body></html>\r\n",
         "<h-crlf@x>"},
    };
    for (const Hostile& h : cases) {
        const qint32 reply = engine.send(h.bytes);
        EXPECT_TRUE(reply == 0 || reply == 1) << h.name;
    }
    // Nested far beyond the depth limit: unparsable, so spam without a record.
    EXPECT_EQ(engine.send(nested), 1);
    // The engine still serves.
    EXPECT_EQ(engine.send(message("h-after", "Subject: fine\n", "fine\n")), 0);

    const QVariantList records = engine.waitForLog(static_cast<int>(cases.size()) + 1);
    EXPECT_EQ(records.size(), static_cast<int>(cases.size()) + 1);
    const auto byID = recordsByID(records);
    EXPECT_FALSE(byID.contains("<h-deep@x>"));
    for (const Hostile& h : cases) {
        if (!h.id)
            continue;
        ASSERT_TRUE(byID.contains(h.id)) << h.name;
        const QVariantMap r = byID.value(h.id);
        EXPECT_FALSE(r.value("Filt-ID").toString().isEmpty()) << h.name;
        EXPECT_LE(r.value("Subject").toString().size(), 1001) << h.name;
        EXPECT_LE(r.value("From").toString().size(), 1001) << h.name;
        for (const QString& key : QStringList{"From", "Subject"}) {
            for (QChar c : r.value(key).toString())
                EXPECT_GE(c.unicode(), 0x20) << h.name << " " << qPrintable(key);
        }
    }
    EXPECT_EQ(byID.value("<h-nofrom@x>").value("From").toString(), "-");
    // CR LF line ends are read like line feeds: the body is parsed.
    EXPECT_EQ(byID.value("<h-crlf@x>").value("Filt-ID").toString(), "INT_INVIS");
    EXPECT_EQ(byID.value("<h-crlf@x>").value("Subject").toString(), "crlf");
    // A record without Message-ID gets a fresh identifier.
    int withoutID = 0;
    for (const QVariant& r : records) {
        if (r.toMap().value("Msg-ID").toString().size() == 36)
            ++withoutID;
    }
    EXPECT_EQ(withoutID, 1);
    EXPECT_TRUE(engine.isRunning());
}

TEST_F(Pipeline, pluginChainDecidesInCategoryOrderAndTrainsEligibleMessages) {
    ASSERT_TRUE(QFileInfo(probeLibrary()).isDir()) << qPrintable(probeLibrary());
    Engine engine;
    engine.writePreferences("General", {{"Show Feedback", false}, {"Trust Spam Headers", false}});
    ASSERT_TRUE(engine.start(probeLibrary()));
    // The probe switches automatic training on, as the Bayesian plug-in does.
    const std::vector<Crafted> cases = {
        {"first undecided, second spam",
         message("q-second", "Subject: chain\nX-Probe-ProbeA: 2\nX-Probe-ProbeB: 0\n", "body\n"), "ProbeB", 1},
        {"first decides legitimate",
         message("q-first", "Subject: chain\nX-Probe-ProbeA: 1\nX-Probe-ProbeB: 0\n", "body\n"), "ProbeA", 0},
        {"all undecided", message("q-none", "Subject: chain\n", "body\n"), "NONE", 0},
        {"odd status ends the chain",
         message("q-odd", "Subject: chain\nX-Probe-ProbeA: 7\nX-Probe-ProbeB: 0\n", "body\n"), "ProbeA", 0},
        {"not applicable goes on", message("q-na", "Subject: chain\nX-Probe-ProbeA: 4\nX-Probe-ProbeB: 0\n", "body\n"),
         "ProbeB", 1},
        {"message-id check before the chain",
         "From: a@example.org\nSubject: offer\nX-Mailer: Outlook\nMessage-ID: <q-msgid@host.c>\nX-Probe-ProbeA: 1\n\n"
         "text\n",
         "INT_INC_MSGID", 1},
        {"advertisement subject", message("q-adv", "Subject: ADV: offer\n", "body\n"), "INT_ADVSUB", 1},
        {"white text", html("q-white", "", kWhiteText), "INT_INVIS", 1},
        {"training that fails", message("q-fails", "Subject: chain\nX-Probe-Train-Fails: 1\n", "body\n"), "NONE", 0},
    };
    expectVerdicts(engine, cases);

    // Offered to every plug-in in chain order: what the chain judged and what
    // the advertisement test looked at; not what a check before decided.
    const QStringList offered = {"<q-second@example.org> 0", "<q-first@example.org> 1", "<q-none@example.org> 2",
                                 "<q-odd@example.org> 7",    "<q-na@example.org> 0",    "<q-adv@example.org> 0",
                                 "<q-fails@example.org> 2"};
    EXPECT_EQ(engine.probeTraining("ProbeA"), offered);
    EXPECT_EQ(engine.probeTraining("ProbeB"), offered);
    engine.stop();
    const QByteArray errors = engine.standardError();
    EXPECT_TRUE(errors.contains("Automatic Training issue: ProbeA")) << errors.constData();
    EXPECT_TRUE(errors.contains("Automatic Training issue: ProbeB")) << errors.constData();

    std::optional<QVariantMap> a, b;
    testsupport::waitUntil([&] {
        a = engine.statistics("ProbeA");
        b = engine.statistics("ProbeB");
        return a && b && platform::plist::unsignedValue(*a, "SWMAILPROCESSED") >= 5;
    });
    ASSERT_TRUE(a && b);
    // ProbeA counts what it judged (not its 4), ProbeB what ProbeA left open.
    EXPECT_EQ(platform::plist::unsignedValue(*a, "SWMAILPROCESSED"), 5u);
    EXPECT_EQ(platform::plist::unsignedValue(*a, "SWMAILHAMDETECTED"), 1u);
    EXPECT_EQ(platform::plist::unsignedValue(*b, "SWMAILPROCESSED"), 4u);
    EXPECT_EQ(platform::plist::unsignedValue(*b, "SWMAILSPAMDETECTED"), 2u);
}

TEST_F(Pipeline, spamShowsANoticeThatIsRemovedShortlyAfter) {
    Engine engine;
    // Default "General" settings: feedback on.
    ASSERT_TRUE(engine.start());

    testsupport::ProgressService service;
    ASSERT_TRUE(service.serving());
    const auto& notices = service.notices();

    EXPECT_EQ(engine.send(message("notice-ham", "Subject: a legitimate one\n", "hello\n")), 0);
    EXPECT_EQ(engine.send(message("notice-spam", "Subject: [SPAM] pills for you\n", "buy\n")), 1);
    ASSERT_TRUE(testsupport::waitUntil([&] { return notices.size() >= 2; })) << notices.size();
    ASSERT_EQ(notices.size(), 2);
    const QVariantMap shown = notices.at(0);
    EXPECT_EQ(shown.value("TM_MESSAGE_ACTION").toInt(), 0);
    EXPECT_EQ(shown.value("TM_MESSAGE_LEVEL").toInt(), 0);
    const QVariantMap information = shown.value("TM_MESSAGE_INFORMATION").toMap();
    EXPECT_EQ(information.value("TM_MESSAGE_INFORMATION_TITLE").toString(), "Junkward - Spam Detected");
    EXPECT_EQ(information.value("TM_MESSAGE_INFORMATION_EXPLANATION").toString(), "Subject: [SPAM] pills for you");
    EXPECT_EQ(information.value("TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_STATUS").toInt(), 2);
    EXPECT_FALSE(information.value("TM_MESSAGE_INFORMATION_ICON").toByteArray().isEmpty());
    // The removal of that notice, 1.5 s later.
    const QVariantMap removed = notices.at(1);
    EXPECT_EQ(removed.value("TM_MESSAGE_ACTION").toInt(), 1);
    EXPECT_EQ(removed.value("TM_MESSAGE_UUID"), shown.value("TM_MESSAGE_UUID"));
    EXPECT_FALSE(removed.contains("TM_MESSAGE_INFORMATION"));
}

TEST_F(Pipeline, addressBookChangedOutsideTheEngineIsTrustedWithoutRestart) {
    Engine engine;
    engine.writePreferences("General", {{"Show Feedback", false}});
    engine.writePreferences("BlackList", {{"Array", QVariantList{rule("From", 1, "example.com")}}});
    engine.writeAddressBook("BEGIN:VCARD\nVERSION:3.0\nUID:old\nEMAIL:old@example.com\nEND:VCARD\n", "");
    ASSERT_TRUE(engine.start());
    auto from = [](const QByteArray& sender, int n) {
        return "From: " + sender + "\nSubject: hi\nMessage-ID: <book-" + QByteArray::number(n) + "@x>\n\nbody\n";
    };
    EXPECT_EQ(engine.send(from("old@example.com", 0)), 0);
    EXPECT_EQ(engine.send(from("new@example.com", 1)), 1);

    engine.writeAddressBook(
        "BEGIN:VCARD\nVERSION:3.0\nUID:old\nEMAIL:old@example.com\nEND:VCARD\n"
        "BEGIN:VCARD\nVERSION:3.0\nUID:new\nEMAIL:new@example.com\nEND:VCARD\n",
        "");
    qint32 reply = 1;
    int n = 2;
    // The engine notices the change on its own; ask again until it has.
    testsupport::waitUntil([&] {
        reply = engine.send(from("new@example.com", n++));
        if (reply != 0)
            QThread::msleep(200);
        return reply == 0;
    });
    EXPECT_EQ(reply, 0);
}
