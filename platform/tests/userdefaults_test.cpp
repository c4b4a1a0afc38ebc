#include "platform/Folders.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using platform::UserDefaults;
namespace plist = platform::plist;

namespace {

class UserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(library_.isValid());
        qputenv("JUNKWARD_USER_LIBRARY", QFile::encodeName(library_.path()));
    }
    void TearDown() override { qunsetenv("JUNKWARD_USER_LIBRARY"); }
    QString prefs(const QString& id) const { return library_.path() + "/Preferences/" + id + ".plist"; }
    QTemporaryDir library_;
};

}  // namespace

TEST_F(UserDefaultsTest, valuesAreWrittenToThePreferencesFileOfTheIdentifier) {
    UserDefaults d("com.quillon.junkward.X5");
    EXPECT_EQ(d.path(), prefs("com.quillon.junkward.X5"));
    EXPECT_FALSE(d.contains("ui.width"));
    EXPECT_EQ(d.value("ui.width", 640), QVariant(640));

    d.setValue("ui.width", qint64(800));
    d.setValue("ui.columns", QStringList{"Date", "From"});
    d.setValue("gone", true);
    d.remove("gone");
    EXPECT_FALSE(QFile::exists(d.path()));  // nothing written before synchronize
    ASSERT_TRUE(d.synchronize());           // creates Preferences as well

    auto onDisk = plist::readDictionary(d.path());
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(*onDisk, (QVariantMap{{"ui.width", qint64(800)}, {"ui.columns", QVariantList{"Date", "From"}}}));

    UserDefaults other("com.quillon.junkward.X5");
    EXPECT_EQ(other.value("ui.width"), QVariant(qint64(800)));
}

TEST_F(UserDefaultsTest, synchronizePicksUpChangesOfOtherProcessesAndReloadDropsUnsavedOnes) {
    UserDefaults d("app");
    d.setValue("a", qint64(1));
    ASSERT_TRUE(d.synchronize());
    ASSERT_TRUE(plist::writeFile(prefs("app"), QVariantMap{{"a", qint64(2)}, {"b", true}}));
    ASSERT_TRUE(d.synchronize());  // nothing unsaved: re-read
    EXPECT_EQ(d.dictionary(), (QVariantMap{{"a", qint64(2)}, {"b", true}}));

    d.setValue("c", QString("unsaved"));
    EXPECT_TRUE(d.reload());
    EXPECT_FALSE(d.contains("c"));

    // A damaged file keeps the dictionary in memory and is not overwritten by reload.
    QFile f(prefs("app"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("<plist><dict><key>a</key>");
    f.close();
    EXPECT_FALSE(d.reload());
    EXPECT_EQ(d.value("a"), QVariant(qint64(2)));
}

TEST_F(UserDefaultsTest, failedWritesKeepTheFileAndTheChanges) {
    UserDefaults d("app");
    d.setValue("a", qint64(1));
    ASSERT_TRUE(d.synchronize());
    d.setValue("bad", QVariantList{QVariant::fromValue(QDir())});  // no property-list form
    EXPECT_FALSE(d.synchronize());
    EXPECT_EQ(plist::readDictionary(prefs("app")), (QVariantMap{{"a", qint64(1)}}));
    EXPECT_TRUE(d.contains("bad"));
    d.remove("bad");
    EXPECT_TRUE(d.synchronize());

    // A plain file where Preferences must be: the write fails, nothing is replaced.
    QTemporaryDir other;
    qputenv("JUNKWARD_USER_LIBRARY", QFile::encodeName(other.path()));
    QFile blocker(other.path() + "/Preferences");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.write("x");
    blocker.close();
    UserDefaults e("app");
    e.setValue("a", true);
    EXPECT_FALSE(e.synchronize());
    EXPECT_TRUE(QFileInfo(other.path() + "/Preferences").isFile());
}

TEST_F(UserDefaultsTest, identifiersThatAreNotFileNamesStayInMemory) {
    for (const QString& id : {QString(), QString("../escape"), QString(".hidden"), QString("a/b")}) {
        UserDefaults d(id);
        EXPECT_TRUE(d.path().isEmpty()) << id.toStdString();
        d.setValue("k", true);
        EXPECT_FALSE(d.synchronize());
        EXPECT_EQ(d.value("k"), QVariant(true));
    }
    EXPECT_EQ(QDir(library_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{});
    EXPECT_FALSE(QFile::exists(QDir::cleanPath(library_.path() + "/../escape.plist")));
}
