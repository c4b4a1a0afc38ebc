// The engine's start-up check of the mail program: installing and upgrading the
// mail plug-in, removing copies moved aside, switching plug-in loading on.
#include "EngineTestSupport.h"

#include "engine/SievraController.h"

namespace {

using enginetest::Sandbox;

class MailSetUp : public ::testing::Test {
protected:
    void SetUp() override {
        box.useLocalLibrary();
        mail = box.userLibrary() + "/Mail";
        QDir().mkpath(box.preferences());
        QDir().mkpath(mail);
        writeBundle(source(), "1.9");
        ASSERT_TRUE(platform::plist::writeFile(mailPreferences(), QVariantMap{{"NSUserKey", "kept"}}));
    }
    QString source() const {
        return box.localLibrary() + "/Application Support/Quillon/Junkward/Components/Mail/JunkwardForMail.mailbundle";
    }
    QString installed() const { return mail + "/Bundles/JunkwardForMail.mailbundle"; }
    QString mailPreferences() const { return box.preferences() + "/com.apple.mail.plist"; }
    static void writeBundle(const QString& path, const QString& version) {
        QDir().mkpath(path + "/Contents/MacOS");
        ASSERT_TRUE(platform::plist::writeFile(
            path + "/Contents/Info.plist",
            QVariantMap{{"CFBundleVersion", version}, {"CFBundleExecutable", "JunkwardForMail"}}));
    }
    static QString versionOf(const QString& bundle) {
        return platform::plist::readDictionary(bundle + "/Contents/Info.plist")
            .value_or(QVariantMap())
            .value("CFBundleVersion")
            .toString();
    }
    void configure() { QFile(box.preferences() + "/com.quillon.junkward.mail.configured").open(QIODevice::WriteOnly); }
    void writeRule(const QString& name, const char* active) {
        ASSERT_TRUE(platform::plist::writeFile(
            mail + "/MessageRules.plist",
            QVariantMap{{"rules", QVariantList{QVariantMap{{"RuleName", name}, {"Active", active}}}}}));
    }
    bool preferencesSwitchedOn() const {
        const auto prefs = platform::plist::readDictionary(mailPreferences()).value_or(QVariantMap());
        return prefs.value("EnableBundles").toString() == "YES" &&
               prefs.value("BundleCompatibilityVersion").toInt() == 3 && prefs.value("NSUserKey").toString() == "kept";
    }

    Sandbox box;
    QString mail;
};

TEST_F(MailSetUp, installsOnlyOnceConfiguredAndUpgradesByPlainStringOrder) {
    QDir().mkpath(mail + "/Bundles");
    SievraController::updateMailBundleIfNeeded();
    EXPECT_FALSE(QFileInfo::exists(installed()));  // not configured yet

    configure();
    SievraController::updateMailBundleIfNeeded();
    EXPECT_EQ(versionOf(installed()), "1.9");
    EXPECT_FALSE(preferencesSwitchedOn());  // a first copy leaves the preferences alone

    // "1.9" is greater than "1.10" as a string: 1.10 is replaced, 1.9 is not by 1.10.
    QDir(installed()).removeRecursively();
    writeBundle(installed(), "1.10");
    SievraController::updateMailBundleIfNeeded();
    EXPECT_EQ(versionOf(installed()), "1.9");
    EXPECT_TRUE(preferencesSwitchedOn());
    writeBundle(source(), "1.10");
    SievraController::updateMailBundleIfNeeded();
    EXPECT_EQ(versionOf(installed()), "1.9");
    EXPECT_TRUE(QDir(mail + "/Bundles").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size() == 1);
}

TEST_F(MailSetUp, aDisabledCopyGoesOnlyWhileTheRuleIsActive) {
    configure();
    const QString disabled = mail + "/Bundles (Disabled 1)/JunkwardForMail.mailbundle";
    QDir().mkpath(mail + "/Bundles (Disabled)");
    writeBundle(disabled, "1.0");

    writeRule("Junkward", "0");
    EXPECT_FALSE(SievraController::isJunkwardRuleEnabled());
    SievraController::updateMailBundleIfNeeded();
    EXPECT_FALSE(QFileInfo::exists(mail + "/Bundles"));  // made only for an active rule
    EXPECT_TRUE(QFileInfo::exists(disabled));

    writeRule("junkward", "1");
    EXPECT_TRUE(SievraController::isJunkwardRuleEnabled());
    SievraController::updateMailBundleIfNeeded();
    EXPECT_FALSE(QFileInfo::exists(disabled));
    EXPECT_EQ(versionOf(installed()), "1.9");
    EXPECT_TRUE(preferencesSwitchedOn());
}

TEST_F(MailSetUp, ruleFilesOfAnyShapeAreReadSafely) {
    struct Case {
        const char* file;
        QByteArray content;
        bool enabled;
    } cases[] = {
        {"MessageRules.plist", "not a property list", false},
        {"MessageRules.plist",
         "<plist><array><dict><key>RuleName</key><string>Junkward</string></dict></array></plist>", false},
        {"MessageSorting.plist",
         "<plist><array><dict><key>RuleName</key><string>JUNKWARD</string><key>Active</key><string>1</string></dict></array></plist>",
         true},
        {"MessageSorting.plist",
         "<plist><array><dict><key>RuleName</key><string>Junkward</string><key>Active</key><true/></dict></array></plist>",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.constData());
        QFile::remove(mail + "/MessageRules.plist");
        QFile::remove(mail + "/MessageSorting.plist");
        QFile f(mail + "/" + c.file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(c.content);
        f.close();
        EXPECT_EQ(SievraController::isJunkwardRuleEnabled(), c.enabled);
    }
    // Preferences that are not a dictionary are left as they are.
    QFile prefs(mailPreferences());
    ASSERT_TRUE(prefs.open(QIODevice::WriteOnly | QIODevice::Truncate));
    prefs.write("<plist><array/></plist>");
    prefs.close();
    EXPECT_FALSE(SievraController::updateMailPreferences());
    EXPECT_TRUE(prefs.open(QIODevice::ReadOnly));
    EXPECT_EQ(prefs.readAll(), QByteArray("<plist><array/></plist>"));
}

}  // namespace
