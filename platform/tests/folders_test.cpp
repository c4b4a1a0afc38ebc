#include "platform/Folders.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <optional>
#include <sys/stat.h>

using namespace platform::folders;

namespace {

// Sets or clears environment variables for one scope.
class Env {
public:
    void set(const char* name, std::optional<QByteArray> value) {
        saved_.append({name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt});
        apply(name, value);
    }
    ~Env() {
        for (auto it = saved_.crbegin(); it != saved_.crend(); ++it)
            apply(it->first, it->second);
    }

private:
    static void apply(const char* name, const std::optional<QByteArray>& v) {
        if (v)
            qputenv(name, *v);
        else
            qunsetenv(name);
    }
    QList<std::pair<const char*, std::optional<QByteArray>>> saved_;
};

void touch(const QString& path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x");
}

}  // namespace

TEST(Folders, userLibraryFollowsTheOverridesInOrder) {
    struct Row {
        std::optional<QByteArray> override, xdg, home;
        QString expected;
    };
    const Row rows[] = {
        {"/tmp/u/lib", "/x/data", "/home/h", "/tmp/u/lib"},
        {"/tmp/u/lib/", std::nullopt, "/home/h", "/tmp/u/lib"},
        {std::nullopt, "/x/data", "/home/h", "/x/data/junkward"},
        {"", "/x/data", "/home/h", "/x/data/junkward"},
        {std::nullopt, std::nullopt, "/home/h", "/home/h/.local/share/junkward"},
        {std::nullopt, "", "/home/h", "/home/h/.local/share/junkward"},
        {std::nullopt, "relative/data", "/home/h", "/home/h/.local/share/junkward"},
    };
    for (const Row& r : rows) {
        Env env;
        env.set("JUNKWARD_USER_LIBRARY", r.override);
        env.set("XDG_DATA_HOME", r.xdg);
        env.set("HOME", r.home);
        EXPECT_EQ(userLibrary(), r.expected);
        EXPECT_EQ(userPreferences(), r.expected + "/Preferences");
        EXPECT_EQ(userCaches(), r.expected + "/Caches");
        EXPECT_EQ(userLogs(), r.expected + "/Logs");
        EXPECT_EQ(userApplicationSupport(), r.expected + "/Application Support");
        EXPECT_EQ(userMail(), r.expected + "/Mail");
    }
}

TEST(Folders, homeFallsBackToThePasswordEntry) {
    Env env;
    env.set("HOME", std::nullopt);
    EXPECT_FALSE(homeFolder().isEmpty());
    EXPECT_TRUE(QDir::isAbsolutePath(homeFolder()));
}

TEST(Folders, localLibraryIsTheOverrideElseTheStagedOneBesideTheLibraries) {
    const QByteArray stage = qgetenv("JUNKWARD_STAGE");
    ASSERT_FALSE(stage.isEmpty());
    {
        Env env;
        env.set("JUNKWARD_LOCAL_LIBRARY", "/opt/lib/Library");
        EXPECT_EQ(localLibrary(), "/opt/lib/Library");
        EXPECT_EQ(junkwardSupport(), "/opt/lib/Library/Application Support/Quillon/Junkward");
        EXPECT_EQ(junkwardPlugins(), "/opt/lib/Library/Application Support/Quillon/Junkward/Plugins");
        EXPECT_EQ(junkwardComponents(), "/opt/lib/Library/Application Support/Quillon/Junkward/Components");
        EXPECT_EQ(engineApplication(), "/opt/lib/Library/Application Support/Quillon/Junkward/Junkward Engine.app");
        EXPECT_EQ(localApplicationSupport(), "/opt/lib/Library/Application Support");
    }
    Env env;
    env.set("JUNKWARD_LOCAL_LIBRARY", std::nullopt);
    EXPECT_EQ(localLibrary(), QDir::cleanPath(QString::fromLocal8Bit(stage) + "/Library"));
}

TEST(Folders, ensureFolderCreatesMissingLevelsAndNeverReplacesAFile) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString root = tmp.path();
    touch(root + "/plain");
    ASSERT_TRUE(QDir(root).mkdir("existing"));

    struct Row {
        QString path;
        bool ok;
    };
    const Row rows[] = {
        {root + "/a/b/c/d", true},
        {root + "/a/b", true},  // already there
        {root + "/existing/", true},
        {root + "/plain", false},        // a plain file where the folder must be
        {root + "/plain/below", false},  // ... or on the way to it
        {QString(), false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(ensureFolder(r.path), r.ok) << r.path.toStdString();
        EXPECT_EQ(isFolder(r.path), r.ok) << r.path.toStdString();
    }
    // The file in the way is untouched.
    QFile plain(root + "/plain");
    ASSERT_TRUE(plain.open(QIODevice::ReadOnly));
    EXPECT_EQ(plain.readAll(), QByteArray("x"));

    // The mode is the one asked for (0700 survives any usual umask).
    ASSERT_TRUE(ensureFolder(root + "/private", 0700));
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(root + "/private").constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A link to a folder counts as the folder.
    ASSERT_TRUE(QFile::link(root + "/existing", root + "/link"));
    EXPECT_TRUE(isFolder(root + "/link"));
    EXPECT_TRUE(ensureFolder(root + "/link/inside"));
    EXPECT_TRUE(isFolder(root + "/existing/inside"));
}

TEST(Folders, copyTreeKeepsModesAndCopiesLinksAsLinks) {
    QTemporaryDir dir;
    const QString from = dir.path() + "/from", to = dir.path() + "/out/to";
    ASSERT_TRUE(QDir().mkpath(from + "/Contents/MacOS"));
    QFile program(from + "/Contents/MacOS/run");
    ASSERT_TRUE(program.open(QIODevice::WriteOnly));
    program.write("#!/bin/sh\n");
    program.close();
    ASSERT_TRUE(program.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ASSERT_TRUE(QFile::link("/etc", from + "/outside"));

    ASSERT_TRUE(platform::folders::copyTree(from, to));
    const QFileInfo copied(to + "/Contents/MacOS/run");
    EXPECT_TRUE(copied.isFile());
    EXPECT_TRUE(copied.permissions() & QFile::ExeOwner);
    const QFileInfo link(to + "/outside");
    EXPECT_TRUE(link.isSymLink());
    EXPECT_EQ(link.symLinkTarget(), "/etc");
    EXPECT_FALSE(platform::folders::copyTree(dir.path() + "/missing", to + "/Contents/MacOS/run/x"))
        << "a file in the way of the target";
}
