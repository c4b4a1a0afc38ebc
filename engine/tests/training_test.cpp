// Training and the scripting commands of the staged engine, called over its
// session-bus interface: mbox separators, carriage-return sources and the line
// end of the next port request, one log record per learned message, learning
// while the engine is off, the filters version, hostile sources and Quit. With
// the Bayesian plug-in staged, its training history shows what it was taught.
#include "EngineTestSupport.h"

#include "engine/JKW_LogManager.h"
#include "engine/SWNotifications.h"
#include "engine/SievraAppleEventManager.h"
#include "engine/SievraPort.h"
#include "mailparse/SAData.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"
#include "tests/support/ProgressService.h"

#if JUNKWARD_TEST_BAYES_STORE
#include "bayes/SWDataBase.h"
#endif

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace {

using enginetest::Sandbox;
using testsupport::Program;

// A private session bus with the limits of a desktop session bus (large
// messages pass) that can start the staged engine by activation.
using SessionBus = testsupport::PrivateBus;

QString stagedBayesianBundle() {
    return QString::fromLocal8Bit(std::getenv("JUNKWARD_STAGE")) +
           QStringLiteral("/Library/Application Support/Quillon/Junkward/Plugins/Bayesian/Engine.bundle");
}

// A message with the given Message-ID and subject; flagged by an upstream
// filter when spam is set. Lines end with LF.
QByteArray message(const QByteArray& id, const QByteArray& subject, bool spam) {
    QByteArray m = "Message-ID: <" + id + ">\nFrom: Ann Example <ann@example.org>\nSubject: " + subject +
                   "\nContent-Type: text/plain\n";
    if (spam)
        m += "X-Spam-Flag: YES\n";
    return m + "\nWords of the body, unusual enough: quokka marmalade " + id + "\n";
}

QByteArray withCarriageReturns(QByteArray bytes) { return bytes.replace('\n', '\r'); }

class Training : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready());
        bayesian_ = QFileInfo(stagedBayesianBundle()).isDir();
        if (bayesian_) {
            ASSERT_TRUE(Sandbox::copyTree(stagedBayesianBundle(), box.pluginsFolder() + "/Bayesian/Engine.bundle"));
        }
    }

    // Starts the engine and waits for its bus name and port.
    void startEngine() {
        ASSERT_TRUE(engine.start());
        ASSERT_TRUE(testsupport::waitUntil([] {
            return platform::ScriptingBus::hasOwner(platform::kEngineBusName) &&
                   platform::RemoteMessagePort::connect(SievraMessagePortName) != nullptr;
        })) << engine.errorOutput().toStdString();
    }

    platform::ScriptingReply call(const QString& method, const QVariantList& arguments = {}) {
        return platform::ScriptingBus::call(platform::kEngineBusName, platform::kEngineObjectPath,
                                            platform::kEngineInterface, method, arguments, 300.0);
    }
    bool check(const QByteArray& source, bool entourage = false) {
        const platform::ScriptingReply reply = call("CheckSpamStatus", {source, entourage});
        EXPECT_TRUE(reply.ok) << reply.errorName.toStdString() << " " << reply.errorMessage.toStdString();
        return reply.ok && !reply.values.isEmpty() && reply.values.first().toBool();
    }
    void learn(const QByteArray& source, bool spam, bool entourage = false) {
        const platform::ScriptingReply reply = call(spam ? "LearnSpam" : "LearnHam", {source, entourage});
        EXPECT_TRUE(reply.ok) << reply.errorName.toStdString() << " " << reply.errorMessage.toStdString();
    }

    // Asks the engine to quit; it writes what is pending on the way out.
    void quitEngine() {
        EXPECT_TRUE(call("Quit").ok);
        EXPECT_EQ(engine.waitForExit(), 0) << engine.errorOutput().toStdString();
    }

    QVariantList logRecords() const {
        const auto log = platform::plist::readDictionary(box.logFile());
        return log ? log->value(JKW_LOG_LOG).toList() : QVariantList();
    }
    // The records of one Message-ID (angle brackets included).
    QList<QVariantMap> recordsOf(const QString& id) const {
        QList<QVariantMap> found;
        for (const QVariant& record : logRecords()) {
            if (record.toMap().value(JKW_LOG_MESSAGE_ID_KEY).toString() == id)
                found << record.toMap();
        }
        return found;
    }
    // The spam and ham counts of a token in the Bayesian store, when that
    // store's code is part of this test.
    std::optional<std::pair<quint64, quint64>> tokenCounts(const QString& token) const {
#if JUNKWARD_TEST_BAYES_STORE
        SWDataBase store(box.userLibrary() + "/Caches");
        if (!store.isOpen())
            return std::nullopt;
        const std::optional<SWDataBaseValue> value = store.valueForToken(token);
        if (!value)
            return std::make_pair(quint64(0), quint64(0));
        return std::make_pair(quint64(value->spam), quint64(value->ham));
#else
        (void)token;
        return std::nullopt;
#endif
    }
    // The Bayesian training marks by Message-ID.
    QVariantMap bayesianMarks() const {
        const auto history =
            platform::plist::readDictionary(box.userLibrary() + "/Caches/Junkward Training Center History");
        return history ? history->value("Marks").toMap() : QVariantMap();
    }

    Sandbox box;
    SessionBus bus{(box.useLocalLibrary(), SessionBus::stagedServices())};
    Program engine{"junkward-engine"};
    bool bayesian_ = false;
};

TEST_F(Training, sourcesAreJudgedAsTheirPlainFormAndThePortReadsLineFeedsAfterwards) {
    startEngine();
    struct Case {
        const char* name;
        QByteArray source;
        bool entourage;
        std::optional<bool> spam;  // nullopt: the plug-in chain decides
    };
    const QByteArray mboxLine = "From ann@example.org Sat Mar 15 12:00:00 2008\n";
    // The good message comes first: the Bayesian filter may learn the flagged
    // ones on its own, and they share their words.
    const Case cases[] = {
        {"good", message("good@t", "Nothing wrong", false), false, std::nullopt},
        {"plain", message("plain@t", "Plain one", true), false, true},
        {"mbox", mboxLine + message("mbox@t", "From an mbox", true), false, true},
        {"mbox-crlf", QByteArray(mboxLine + message("crlf@t", "With CR LF", true)).replace("\n", "\r\n"), false, true},
        {"entourage", withCarriageReturns(message("cr@t", "Carriage returns", true)), true, true},
        {"entourage-mbox", withCarriageReturns(mboxLine + message("crmbox@t", "CR mbox", true)), true, true},
    };
    auto port = platform::RemoteMessagePort::connect(SievraMessagePortName);
    ASSERT_TRUE(port);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool spam = check(c.source, c.entourage);
        if (c.spam) {
            EXPECT_EQ(spam, *c.spam);
        }
        // The next port request is read with line feeds again.
        const QByteArray after = message(QByteArray("port-") + c.name + "@t", "After it", true);
        QByteArray reply;
        ASSERT_EQ(port->sendRequest(SievraMessageIDFilterMail, after, 60.0, 60.0, true, &reply),
                  platform::kMessagePortSuccess);
        qint32 value = 0;
        ASSERT_EQ(reply.size(), 4);
        std::memcpy(&value, reply.constData(), sizeof value);
        EXPECT_EQ(value, 1);
    }
    quitEngine();

    const struct {
        const char* id;
        const char* subject;
        const char* filter;
    } expected[] = {{"<plain@t>", "Plain one", "INT_TRUSTHEAD"},        {"<mbox@t>", "From an mbox", "INT_TRUSTHEAD"},
                    {"<crlf@t>", "With CR LF", "INT_TRUSTHEAD"},        {"<cr@t>", "Carriage returns", "INT_TRUSTHEAD"},
                    {"<crmbox@t>", "CR mbox", "INT_TRUSTHEAD"},         {"<good@t>", "Nothing wrong", nullptr},
                    {"<port-entourage@t>", "After it", "INT_TRUSTHEAD"}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.id);
        const QList<QVariantMap> records = recordsOf(e.id);
        ASSERT_EQ(records.size(), 1);
        EXPECT_EQ(records[0].value(JKW_LOG_FROM_KEY).toString(), "Ann Example <ann@example.org>");
        EXPECT_EQ(records[0].value(JKW_LOG_SUBJECT_KEY).toString(), e.subject);
        const std::string filter = records[0].value(JKW_LOG_FILTER_KEY).toString().toStdString();
        if (e.filter) {
            EXPECT_EQ(filter, e.filter);
        } else {
            EXPECT_FALSE(filter.rfind("INT_", 0) == 0) << filter << ": no built-in check hits it";
        }
    }
}

TEST_F(Training, learningTwiceTeachesTwiceAndLeavesOneRecord) {
    startEngine();
    const QByteArray spam = message("twice@t", "Learned twice", false) + "platypoid\n";
    learn(spam, true);
    learn(spam, true);
    quitEngine();

    const QList<QVariantMap> records = recordsOf("<twice@t>");
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records[0].value(JKW_LOG_FILTER_KEY).toString(), "LEARN_SPAM");
    EXPECT_EQ(records[0].value(JKW_LOG_SUBJECT_KEY).toString(), "Learned twice");
    EXPECT_TRUE(records[0].value(JKW_LOG_DATE_KEY).toDateTime().isValid());
    if (!bayesian_) {
        GTEST_SKIP() << "the Bayesian plug-in is not staged";
    }
    EXPECT_EQ(bayesianMarks().value("<twice@t>").toLongLong(), -2);
    if (const auto counts = tokenCounts("platypoid")) {
        EXPECT_EQ(counts->first, 2u) << "two spam trainings";
        EXPECT_EQ(counts->second, 0u);
    }
}

TEST_F(Training, hamThenSpamLeavesOneLearnSpamRecordAndTakesTheHamBack) {
    startEngine();
    const QByteArray source = message("turned@t", "Changed my mind", false) + "zebrafinch\n";
    check(source);  // a record of the judged message first
    learn(message("other@t", "Another", false), false);
    learn(source, false);
    learn(source, true);
    quitEngine();

    const QVariantList log = logRecords();
    ASSERT_FALSE(log.isEmpty());
    const QList<QVariantMap> records = recordsOf("<turned@t>");
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records[0].value(JKW_LOG_FILTER_KEY).toString(), "LEARN_SPAM");
    EXPECT_EQ(log.last().toMap().value(JKW_LOG_MESSAGE_ID_KEY).toString(), "<turned@t>") << "the latest record is last";
    ASSERT_EQ(recordsOf("<other@t>").size(), 1);
    EXPECT_EQ(recordsOf("<other@t>")[0].value(JKW_LOG_FILTER_KEY).toString(), "LEARN_HAM");
    if (!bayesian_) {
        GTEST_SKIP() << "the Bayesian plug-in is not staged";
    }
    // Learned as legitimate once, then as spam: the ham training is taken back
    // (offset 1) and the mark starts afresh at -1.
    const QVariantMap marks = bayesianMarks();
    EXPECT_EQ(marks.value("<turned@t>").toLongLong(), -1);
    EXPECT_EQ(marks.value("<other@t>").toLongLong(), 1);
    if (const auto counts = tokenCounts("zebrafinch")) {
        EXPECT_EQ(counts->first, 1u);
        EXPECT_EQ(counts->second, 0u) << "the ham training is taken back token by token";
    }
}

TEST_F(Training, learningWorksWhileTheEngineIsSwitchedOff) {
    startEngine();
    const QVariantMap off{{sw::SWGeneralIdentifier, false}};
    ASSERT_TRUE(platform::DistributedNotificationCenter::defaultCenter().post(
        sw::distributedNotificationStatusOfFilterDidChange, {}, &off));
    const QByteArray flagged = message("off@t", "While off", true);
    // Judging stops once the switch has arrived.
    EXPECT_TRUE(testsupport::waitUntil([&] { return !check(flagged); }));
    learn(flagged, true);
    quitEngine();

    const QList<QVariantMap> records = recordsOf("<off@t>");
    ASSERT_EQ(records.size(), 1) << "judging while off logs nothing, learning does";
    EXPECT_EQ(records[0].value(JKW_LOG_FILTER_KEY).toString(), "LEARN_SPAM");
    if (!bayesian_) {
        GTEST_SKIP() << "the Bayesian plug-in is not staged";
    }
    EXPECT_EQ(bayesianMarks().value("<off@t>").toLongLong(), -1);
}

TEST_F(Training, hostileSourcesReturnAndLeaveNoRecord) {
    startEngine();
    // Parts nested deeper than the parser goes: the message cannot be parsed.
    QByteArray deep = "Message-ID: <deep@t>\nFrom: x@example.org\nSubject: Deep\n";
    for (int level = 0; level < 120; ++level)
        deep += "Content-Type: multipart/mixed; boundary=\"b" + QByteArray::number(level) + "\"\n\n--b" +
                QByteArray::number(level) + "\n";
    deep += "Content-Type: text/plain\n\nbottom\n";
    QByteArray random(50 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(20260315);
    generator.fillRange(reinterpret_cast<quint32*>(random.data()), random.size() / 4);

    struct Case {
        const char* name;
        QByteArray source;
        bool entourage;
        std::optional<bool> spam;  // nullopt: either answer, as long as there is one
    } cases[] = {
        {"empty", QByteArray(), false, false},
        {"separator only", "From someone Sat Mar 15 12:00:00 2008", false, false},
        {"separator only, CR", "From someone Sat Mar 15 12:00:00 2008\r", true, false},
        {"unparsable", deep, false, true},
        {"random 50 MB", random, false, std::nullopt},
        {"random 50 MB as CR", random, true, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const platform::ScriptingReply checked = call("CheckSpamStatus", {c.source, c.entourage});
        ASSERT_TRUE(checked.ok) << checked.errorName.toStdString();
        ASSERT_EQ(checked.values.size(), 1);
        if (c.spam) {
            EXPECT_EQ(checked.values.first().toBool(), *c.spam);
        }
        const platform::ScriptingReply learned = call("LearnSpam", {c.source, c.entourage});
        EXPECT_TRUE(learned.ok) << learned.errorName.toStdString();
        EXPECT_TRUE(engine.running());
    }
    // A call with the wrong arguments is refused; the engine goes on.
    EXPECT_FALSE(call("CheckSpamStatus", {QStringLiteral("text"), 5}).ok);
    EXPECT_FALSE(call("LearnSpam").ok);
    EXPECT_TRUE(check(message("after@t", "Still here", true)));
    quitEngine();

    EXPECT_TRUE(recordsOf("<deep@t>").isEmpty()) << "an unparsable message is neither logged nor learned";
    EXPECT_EQ(recordsOf("<after@t>").size(), 1);
    if (bayesian_) {
        EXPECT_FALSE(bayesianMarks().contains("<deep@t>"));
    }
}

TEST_F(Training, filtersVersionIsTheDateOfTheURLDatabase) {
    startEngine();
    const QString path = box.pluginsFolder() + QLatin1Char('/') + QLatin1String(SERVICES_FILE);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    auto write = [&](const QByteArray& bytes) {
        QFile::remove(path);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    auto version = [&] {
        const platform::ScriptingReply reply = call("GetFiltersVersion");
        EXPECT_TRUE(reply.ok);
        return reply.values.value(0).toString();
    };

    EXPECT_EQ(version(), "N/A") << "no database";
    write(QByteArray("\x47\xDB\xBA\x40", 4) + QByteArray(1000, 'x'));
    EXPECT_EQ(version(), "080315");
    write(QByteArray("\x47\xDB\xBA", 3));
    EXPECT_EQ(version(), "N/A") << "too short";
    QFile::remove(path);
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    EXPECT_EQ(version(), "N/A") << "a pipe is not read";
    QFile::remove(path);
    ASSERT_TRUE(QDir().mkpath(path));
    EXPECT_EQ(version(), "N/A") << "a folder is not read";
    quitEngine();
}

TEST_F(Training, learningShowsANoticeRemovedASecondLaterUnlessFeedbackIsOff) {
    testsupport::ProgressService service;
    ASSERT_TRUE(service.serving());
    const auto& notices = service.notices();
    auto learnWithoutWaiting = [](const QByteArray& source, const char* method) {
        return platform::ScriptingBus::callNoReply(platform::kEngineBusName, platform::kEngineObjectPath,
                                                   platform::kEngineInterface, method, {source, false});
    };

    startEngine();
    const struct {
        const char* method;
        const char* title;
    } cases[] = {{"LearnSpam", "Junkward - Learning Message as Spam"},
                 {"LearnHam", "Junkward - Learning Message as Legitimate"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        service.clear();
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(learnWithoutWaiting(message("notice@t", "Noticed", false), c.method));
        ASSERT_TRUE(testsupport::waitUntil([&] { return notices.size() >= 2; })) << notices.size();
        const qint64 elapsed = clock.elapsed();
        const QVariantMap information = notices[0].value("TM_MESSAGE_INFORMATION").toMap();
        EXPECT_EQ(notices[0].value("TM_MESSAGE_ACTION").toInt(), 0);
        EXPECT_EQ(information.value("TM_MESSAGE_INFORMATION_TITLE").toString(), c.title);
        EXPECT_EQ(information.value("TM_MESSAGE_INFORMATION_EXPLANATION").toString(), "Subject: Noticed");
        EXPECT_EQ(information.value("TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_STATUS").toInt(), 2);
        EXPECT_EQ(notices[1].value("TM_MESSAGE_ACTION").toInt(), 1) << "then removed";
        EXPECT_EQ(notices[1].value("TM_MESSAGE_UUID"), notices[0].value("TM_MESSAGE_UUID"));
        EXPECT_GE(elapsed, 900) << "the removal waits about a second";
    }
    quitEngine();

    // With "Show Feedback" off nothing is shown, and the message is learned.
    ASSERT_TRUE(QDir().mkpath(box.preferences()));
    ASSERT_TRUE(
        platform::plist::writeFile(box.preferencesFile("General"),
                                   QVariantMap{{"Status", true}, {"Settings", QVariantMap{{"Show Feedback", false}}}}));
    service.clear();
    Program quiet("junkward-engine");
    ASSERT_TRUE(quiet.start());
    ASSERT_TRUE(testsupport::waitUntil([] { return platform::ScriptingBus::hasOwner(platform::kEngineBusName); }));
    ASSERT_TRUE(learnWithoutWaiting(message("quiet@t", "Quiet", false), "LearnSpam"));
    testsupport::spinFor(2500);
    EXPECT_TRUE(notices.isEmpty()) << notices.size();
    EXPECT_TRUE(call("Quit").ok);
    EXPECT_EQ(quiet.waitForExit(), 0);
    ASSERT_EQ(recordsOf("<quiet@t>").size(), 1);
}

TEST(FiltersVersion, noonOfTheDateGivesTheSameDayWithinTwelveHoursOfUTC) {
    const QByteArray noon("\x47\xDB\xBA\x40", 4);
    const QByteArray saved = qgetenv("TZ");
    const struct {
        const char* zone;
        const char* expected;
    } cases[] = {{"UTC0", "080315"},         {"<-11>11", "080315"},  {"<+11>-11", "080315"},
                 {"<+0530>-5:30", "080315"}, {"<+13>-13", "080316"}, {"<-13>13", "080314"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zone);
        ::setenv("TZ", c.zone, 1);
        ::tzset();
        EXPECT_EQ(filtersVersionFromHeader(noon), c.expected);
    }
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    EXPECT_EQ(filtersVersionFromHeader(QByteArray("\0\0\0\0", 4)), "700101");
    EXPECT_EQ(filtersVersionFromHeader(QByteArray("\xFF\xFF\xFF\xFF", 4)), "691231") << "signed";
    EXPECT_EQ(filtersVersionFromHeader(QByteArray()), "N/A");
    if (saved.isNull())
        ::unsetenv("TZ");
    else
        ::setenv("TZ", saved.constData(), 1);
    ::tzset();
}

TEST(MessageSource, theMboxSeparatorLineIsDropped) {
    const struct {
        const char* name;
        QByteArray source;
        std::optional<QByteArray> data;  // nullopt: no data object
    } cases[] = {
        {"plain", "Subject: a\n\nb\n", QByteArray("Subject: a\n\nb\n")},
        {"separator LF", "From x Sat Mar 15 12:00:00 2008\nSubject: a\n", QByteArray("Subject: a\n")},
        {"separator CR LF", "From x\r\nSubject: a\r\n", QByteArray("Subject: a\r\n")},
        {"separator CR only", "From x\rSubject: a\r\rb\r", QByteArray("Subject: a\r\rb\r")},
        {"LF after CR lines", "From x\rSubject: a\nb", QByteArray("b")},
        {"separator alone", "From x", std::nullopt},
        {"separator and line end", "From x\n", std::nullopt},
        {"empty", QByteArray(), std::nullopt},
        {"header From:", "From: a@b\n\nx", QByteArray("From: a@b\n\nx")},
        {"lower case", "from x\nSubject: a\n", QByteArray("from x\nSubject: a\n")},
        {"binary", QByteArray("From \0\n\xff", 8), QByteArray("\xff")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SARef<SAData> data = dataFromMessageSource(c.source);
        ASSERT_EQ(bool(data), c.data.has_value());
        if (data) {
            EXPECT_EQ(QByteArray(data->bytes(), qsizetype(data->length())), *c.data);
        }
    }
}

}  // namespace
