// Settings packages: export then import on another user Library brings back
// every preference file and no statistics; every kind of bad package is refused
// before anything of the user's settings changes.
#include "../../engine/tests/EngineTestSupport.h"

#include "frontend/app/JKW5SettingsPackage.h"
#include "platform/PropertyList.h"

#include <QDirIterator>
#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace {

QMap<QString, QByteArray> folderContents(const QString& folder) {
    QMap<QString, QByteArray> contents;
    for (const QFileInfo& entry : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
        QFile file(entry.filePath());
        if (file.open(QIODevice::ReadOnly))
            contents.insert(entry.fileName(), file.readAll());
    }
    return contents;
}

const QVariantMap kWhiteList{
    {"Status", true},
    {"Settings",
     QVariantMap{{"Learn", true},
                 {"Array", QVariantList{QVariantMap{
                               {"Status", true}, {"Key", "From"}, {"Method", 1}, {"Value", "friend@example.org"}}}}}}};

class SettingsPackage : public ::testing::Test {
protected:
    void SetUp() override {
        prefs = box.preferences();
        ASSERT_TRUE(QDir().mkpath(prefs));
        ASSERT_TRUE(platform::plist::writeFile(
            prefs + "/com.quillon.junkward.General.plist",
            QVariantMap{{"Status", true}, {"Settings", QVariantMap{{"ADV Subject", false}}}}));
        ASSERT_TRUE(platform::plist::writeFile(prefs + "/com.quillon.junkward.WhiteList.plist", kWhiteList));
        ASSERT_TRUE(platform::plist::writeFile(prefs + "/com.quillon.junkward.Bayesian.plist",
                                               QVariantMap{{"Status", false}, {"Settings", QVariantMap{}}}));
        ASSERT_TRUE(platform::plist::writeFile(prefs + "/com.quillon.junkward.statistics.General.plist",
                                               QVariantMap{{"SWMAILPROCESSED", 12}}));
        ASSERT_TRUE(platform::plist::writeFile(prefs + "/com.example.other.plist", QVariantMap{{"x", 1}}));
        package = box.userLibrary() + "/Saved";
    }
    enginetest::Sandbox box;
    QString prefs;
    QString package;
};

TEST_F(SettingsPackage, exportThenImportOnAnotherLibraryRestoresEveryPreferenceFileAndNoStatistics) {
    const auto exported = JKW5SettingsPackage::exportSettings(package, prefs);
    ASSERT_TRUE(exported.ok) << exported.message.toStdString();
    package += ".junkward5";
    const QStringList inPackage = QDir(package + "/Preferences").entryList(QDir::Files);
    EXPECT_EQ(inPackage, (QStringList{"com.quillon.junkward.Bayesian.plist", "com.quillon.junkward.General.plist",
                                      "com.quillon.junkward.WhiteList.plist"}));

    // A second export replaces the package entirely.
    QFile stray(package + "/Preferences/com.quillon.junkward.Stray.plist");
    ASSERT_TRUE(stray.open(QIODevice::WriteOnly));
    stray.close();
    ASSERT_TRUE(JKW5SettingsPackage::exportSettings(package, prefs).ok);
    EXPECT_EQ(QDir(package + "/Preferences").entryList(QDir::Files), inPackage);

    const QString other = box.userLibrary() + "/Other Library/Preferences";
    ASSERT_TRUE(QDir().mkpath(other));
    ASSERT_TRUE(
        platform::plist::writeFile(other + "/com.quillon.junkward.WhiteList.plist", QVariantMap{{"Status", false}}));
    const auto imported = JKW5SettingsPackage::importSettings(package, other);
    ASSERT_TRUE(imported.ok) << imported.message.toStdString();
    const auto before = folderContents(prefs);
    const auto after = folderContents(other);
    for (const QString& name : inPackage)
        EXPECT_EQ(after.value(name), before.value(name)) << name.toStdString();
    EXPECT_EQ(after.size(), inPackage.size());  // no statistics, nothing else
}

TEST_F(SettingsPackage, badPackagesAreRefusedAndChangeNothing) {
    ASSERT_TRUE(JKW5SettingsPackage::exportSettings(package, prefs).ok);
    package += ".junkward5";
    const QString inside = package + "/Preferences/";
    const auto original = folderContents(prefs);

    struct Case {
        const char* what;
        std::function<void()> damage;
    };
    const std::vector<Case> cases{
        {"a plain file",
         [&] {
             QDir(package).removeRecursively();
             QFile f(package);
             f.open(QIODevice::WriteOnly);
         }},
        {"no Preferences folder", [&] { QDir(inside).removeRecursively(); }},
        {"an empty Preferences folder",
         [&] {
             for (auto& n : QDir(inside).entryList(QDir::Files))
                 QFile::remove(inside + n);
         }},
        {"a statistics file",
         [&] { platform::plist::writeFile(inside + "com.quillon.junkward.statistics.General.plist", QVariantMap{}); }},
        {"a foreign file", [&] { platform::plist::writeFile(inside + "com.example.evil.plist", QVariantMap{}); }},
        {"a hidden file",
         [&] { platform::plist::writeFile(inside + ".com.quillon.junkward.General.plist", QVariantMap{}); }},
        {"a sub-folder", [&] { QDir().mkpath(inside + "com.quillon.junkward.Folder.plist"); }},
        {"a link", [&] { QFile::link("/etc/passwd", inside + "com.quillon.junkward.Link.plist"); }},
        {"not a property list",
         [&] {
             QFile f(inside + "com.quillon.junkward.Bayesian.plist");
             f.open(QIODevice::WriteOnly);
             f.write("\x00\x01junk", 6);
         }},
        {"an array",
         [&] { platform::plist::writeFile(inside + "com.quillon.junkward.Bayesian.plist", QVariantList{1}); }},
        {"settings of the wrong type",
         [&] {
             platform::plist::writeFile(inside + "com.quillon.junkward.Bayesian.plist",
                                        QVariantMap{{"Settings", "on"}});
         }},
        {"rules of the wrong type",
         [&] {
             platform::plist::writeFile(inside + "com.quillon.junkward.WhiteList.plist",
                                        QVariantMap{{"Settings", QVariantMap{{"Array", QVariantList{"From"}}}}});
         }},
        {"a 1 GB file",
         [&] {
             const int fd = ::open(QFile::encodeName(inside + "com.quillon.junkward.Huge.plist").constData(),
                                   O_CREAT | O_WRONLY | O_TRUNC, 0644);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(::ftruncate(fd, 1024LL * 1024 * 1024), 0);  // sparse: no disk used
             ::close(fd);
         }},
    };
    for (const Case& c : cases) {
        QDir(package).removeRecursively();
        QFile::remove(package);
        ASSERT_TRUE(JKW5SettingsPackage::exportSettings(package, prefs).ok);
        c.damage();
        const auto result = JKW5SettingsPackage::importSettings(package, prefs);
        EXPECT_FALSE(result.ok) << c.what;
        EXPECT_FALSE(result.message.isEmpty()) << c.what;
        EXPECT_EQ(folderContents(prefs), original) << c.what;
    }
}

}  // namespace
