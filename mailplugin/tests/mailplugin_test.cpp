// The plug-in's rule hook, method exchange and cleaner inside this process: the
// host's classes are real, the engine is a port "Sievra" the test serves.
#include "engine/tests/EngineTestSupport.h"

#include "hosts/mail/MailClasses.h"
#include "mailplugin/SievraAutoCleaner.h"
#include "mailplugin/SievraMailBunde.h"
#include "mailplugin/SievraMenu.h"
#include "platform/Log.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"

#include <QDir>
#include <atomic>
#include <future>
#include <sys/time.h>

namespace {

using namespace mailhost;

class TestApplication : public MailApplication {
public:
    explicit TestApplication(const QString& mail) : store_(mail) {}
    QMenuBar* mainMenu() override { return nullptr; }
    bool runAlertPanel(const QString&, const QString&, const QString&, const QString&) override { return false; }
    const MailStore& store() const override { return store_; }

private:
    MailStore store_;
};

class MailPlugIn : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready());
        mail = box.userLibrary() + QStringLiteral("/Mail");
        app = std::make_unique<TestApplication>(mail);
        MailApplication::setShared(app.get());
        ASSERT_TRUE(app->store().ensureMailbox(QStringLiteral("INBOX")));
        static bool initialized = [] {
            SievraMailBunde::initialize();
            SievraMailBunde::patch();
            return true;
        }();
        (void)initialized;
    }
    void TearDown() override { MailApplication::setShared(nullptr); }

    // Serves "Sievra": counts requests, answers reply.
    void serveEngine(const QByteArray& reply) {
        port.reset();
        port = platform::LocalMessagePort::create(QStringLiteral("Sievra"),
                                                  [this, reply](qint32 id, const QByteArray&, uid_t) {
                                                      if (id == 1024)
                                                          ++requests;
                                                      return reply;
                                                  });
        ASSERT_TRUE(port);
    }

    QString inboxMessage(const QString& name, qsizetype size) {
        const QString path = mail + QStringLiteral("/Mailboxes/INBOX.mbox/cur/") + name;
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray data = "From: a@example.com\nSubject: hello\n\n";
        f.write(data + QByteArray(size - data.size(), 'x'));
        return path;
    }

    // The host's rule test on a rule thread, while this thread serves the port.
    bool evaluate(const QVariantMap& ruleDictionary, const QString& path, bool colourPath = false) {
        auto rule = std::make_unique<MailRule>();
        rule->isa = MailClass::named("MessageRule");
        rule->dictionary = ruleDictionary;
        auto set = std::make_shared<RuleSet>();
        MailRule* r = rule.get();
        set->rules.push_back(std::move(rule));
        setCurrentRules(set);
        auto done = std::async(std::launch::async, [&] {
            std::unique_ptr<MailMessage> message = messageForFile(path);
            if (colourPath) {
                bool highlight = false;
                return send<int>(MailClass::named("MessageRouter"),
                                 "colorForMessage:highlightTextUsingColor:", static_cast<MHObject*>(message.get()),
                                 &highlight) >= 0;
            }
            return send<bool>(r, "doesMessageSatisfyCriteria:", static_cast<MHObject*>(message.get()));
        });
        testsupport::waitUntil([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
        return done.get();
    }

    static QVariantMap rule(const QString& name, const char* active = "1") {
        return {{"RuleName", name},
                {"Active", active},
                {"Color", 255},
                {"Criteria", QVariantList{QVariantMap{{"Header", "AnyMessage"}}}}};
    }

    enginetest::Sandbox box;
    testsupport::PrivateBus bus;
    QString mail;
    std::unique_ptr<TestApplication> app;
    std::unique_ptr<platform::LocalMessagePort> port;
    std::atomic<int> requests{0};
};

TEST_F(MailPlugIn, onlyTheActiveJunkwardRuleAsksTheEngineAndItsReplyDecides) {
    serveEngine(QByteArray("\x01\0\0\0", 4));
    const QString small = inboxMessage("small", 200);
    const QString fits = inboxMessage("fits", 716800);
    const QString over = inboxMessage("over", 716801);
    const QString read = inboxMessage("read:2,S", 200);
    const QString readFlagged = inboxMessage("readflagged:2,FS", 200);
    QVariantMap other = rule("Junkward 2");
    other["Criteria"] = QVariantList{QVariantMap{{"Header", "Subject"}, {"Expression", "zzz"}}};
    struct Case {
        const char* what;
        QVariantMap rule;
        QString message;
        bool colourPath;
        bool matches;
        int requests;
    } cases[] = {
        {"the rule", rule("Junkward"), small, false, true, 1},
        {"name in another case", rule("JUNKWARD"), small, false, true, 1},
        {"a longer name keeps the host's test", other, small, false, false, 0},
        {"inactive", rule("Junkward", "0"), small, false, false, 0},
        {"716800 bytes", rule("Junkward"), fits, false, true, 1},
        {"one byte more", rule("Junkward"), over, false, false, 0},
        {"only read", rule("Junkward"), read, false, false, 0},
        {"read and flagged", rule("Junkward"), readFlagged, false, true, 1},
        {"colour computation", rule("Junkward"), small, true, false, 0},
        {"vanished message", rule("Junkward"), mail + QStringLiteral("/gone"), false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        requests = 0;
        EXPECT_EQ(evaluate(c.rule, c.message, c.colourPath), c.matches);
        EXPECT_EQ(requests.load(), c.requests);
    }
    // A reply of 0 or no reply at all is not spam.
    for (const QByteArray& reply : {QByteArray(4, '\0'), QByteArray()}) {
        serveEngine(reply);
        EXPECT_FALSE(evaluate(rule("Junkward"), small));
    }
    // An engine that went away and came back is found again.
    serveEngine(QByteArray("\x01\0\0\0", 4));
    EXPECT_TRUE(evaluate(rule("Junkward"), small));
    port.reset();
    serveEngine(QByteArray("\x01\0\0\0", 4));
    EXPECT_TRUE(evaluate(rule("Junkward"), small));
}

TEST_F(MailPlugIn, exchangeOnASubclassLeavesItsSuperclassAlone) {
    using Greet = int (*)(MHObject*, const char*);
    MailClass* base = MailClass::define("TestGreeter", MailClass::named("NSObject"), [] { return new MHObject; });
    MailClass* child = MailClass::define("TestChildGreeter", base, [] { return new MHObject; });
    base->addMethod("greet", imp_cast<int(MHObject*, const char*)>([](MHObject*, const char*) { return 1; }), "i@:");
    child->addMethod("shout", imp_cast<int(MHObject*, const char*)>([](MHObject*, const char*) { return 2; }), "i@:");
    const IMP old = NSObject_Sievra::patchInstanceSelector(child, "greet", "shout");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(reinterpret_cast<Greet>(old)(nullptr, "greet"), 1);
    std::unique_ptr<MHObject> a(base->allocate()), b(child->allocate());
    EXPECT_EQ(send<int>(a.get(), "greet"), 1);
    EXPECT_EQ(send<int>(b.get(), "greet"), 2);
    EXPECT_EQ(send<int>(b.get(), "shout"), 1);
    EXPECT_EQ(NSObject_Sievra::patchClassSelector(child, "greet", "nothing"), nullptr);
}

TEST_F(MailPlugIn, cleanerRemovesSpamOlderThanItsDayCountOnly) {
    ASSERT_TRUE(app->store().ensureMailbox(QStringLiteral("Spam")));
    const auto spamAged = [&](const QString& name, int days) {
        const QString path = app->store().deliverData("Subject: old\n\nx\n", QStringLiteral("Spam"));
        const QString renamed = QFileInfo(path).absolutePath() + QLatin1Char('/') + name;
        QFile::rename(path, renamed);
        const timeval t[2] = {{time(nullptr) - days * 86400 - 60, 0}, {time(nullptr) - days * 86400 - 60, 0}};
        ::utimes(QFile::encodeName(renamed).constData(), t);
        return renamed;
    };
    const QString old = spamAged("old", 4);
    const QString young = spamAged("young", 2);
    QDir().mkpath(box.preferences());
    ASSERT_TRUE(platform::plist::writeFile(
        box.preferencesFile("General"),
        QVariantMap{{"Settings", QVariantMap{{"Remove Old Mails", true}, {"Mails older than", 3}}}}));

    SievraAutoCleaner cleaner;
    EXPECT_TRUE(cleaner.running());
    EXPECT_EQ(cleaner.numberOfDays(), 3);
    EXPECT_TRUE(cleaner.firstCleaningPending());
    cleaner.firstCleaning();
    EXPECT_FALSE(QFileInfo::exists(old));
    EXPECT_TRUE(QFileInfo::exists(young));
    EXPECT_TRUE(cleaner.hourly());

    // Settings: a day count below 1 is 1; removal off stops the hour; on again,
    // twice, leaves one first cleaning pending.
    platform::Notification change{
        "SWPlugInPreferencesDidChange", "General", {{"Settings", QVariantMap{{"Mails older than", -5}}}}, true, {}};
    cleaner.preferencesDidChange(change);
    EXPECT_EQ(cleaner.numberOfDays(), 1);
    EXPECT_FALSE(cleaner.running());
    EXPECT_FALSE(cleaner.hourly());
    change.userInfo = {{"Settings", QVariantMap{{"Remove Old Mails", true}}}};
    cleaner.preferencesDidChange(change);
    cleaner.preferencesDidChange(change);
    EXPECT_TRUE(cleaner.firstCleaningPending());
    EXPECT_EQ(cleaner.numberOfDays(), 1);

    // Without its Spam mailbox it says so and removes nothing.
    QDir(app->store().mailboxPath("Spam")).removeRecursively();
    platform::log::setCapture(true);
    cleaner.clean();
    EXPECT_TRUE(platform::log::captured().contains("[SievraAutoCleaner clean] Spam mail box has not been found."));
    platform::log::setCapture(false);
}

}  // namespace

namespace {

// The menu's scripts: read once, a failed run tried once more, failures logged.
TEST_F(MailPlugIn, scriptsAreReadOnceAndASecondRunRescuesAFirstFailure) {
    box.useLocalLibrary();
    const QString folder = box.localLibrary() + "/Application Support/Quillon/Junkward/Components/Mail/Scripts";
    platform::log::setCapture(true);
    EXPECT_FALSE(SievraMenu::sharedSievraMenu()->runAppleScript("Flaky.scpt"));
    EXPECT_TRUE(platform::log::captured().join('\n').contains("Scripts folder does not exist."));

    // Fails when its marker is missing (and leaves it), succeeds when it is there.
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString marker = box.userLibrary() + "/ran-once";
    const auto writeScript = [&](const QByteArray& body) {
        QFile script(folder + "/Flaky.scpt");
        ASSERT_TRUE(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
        script.write("#!/bin/sh\n" + body);
    };
    writeScript("[ -e '" + marker.toUtf8() + "' ] && exit 0\ntouch '" + marker.toUtf8() + "'\nexit 3\n");
    EXPECT_TRUE(SievraMenu::sharedSievraMenu()->runAppleScript("Flaky.scpt"));
    EXPECT_TRUE(QFileInfo::exists(marker));

    // The loaded text runs on, even after the file changed.
    writeScript("exit 7\n");
    EXPECT_TRUE(SievraMenu::sharedSievraMenu()->runAppleScript("Flaky.scpt"));

    writeScript("echo broken >&2; exit 5\n");
    EXPECT_FALSE(SievraMenu::sharedSievraMenu()->runAppleScript("Broken.scpt"));  // not there
    QFile::rename(folder + "/Flaky.scpt", folder + "/Broken.scpt");
    EXPECT_FALSE(SievraMenu::sharedSievraMenu()->runAppleScript("Broken.scpt"));
    EXPECT_TRUE(platform::log::captured().join('\n').contains(
        "- [SievraMenu runAppleScript:]: Error when running the AppleScript: Broken.scpt : exit status 5: broken"));
    platform::log::setCapture(false);
}

}  // namespace
