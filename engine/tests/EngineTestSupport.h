#pragma once
// Helpers of the engine tests: a private user Library and runtime folder per
// test process and the test plug-in; the rest is in tests/support.

#include "platform/PropertyList.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

namespace enginetest {

// A user Library, a machine-wide Library and a short runtime folder of this
// test process, set in the environment.
class Sandbox {
public:
    Sandbox() {
        char runtime[] = "/tmp/jkwf-XXXXXX";
        if (::mkdtemp(runtime))
            runtimeDir_ = QString::fromLocal8Bit(runtime);
        userLibrary_ = root_.path() + QStringLiteral("/User Library");
        localLibrary_ = root_.path() + QStringLiteral("/Local Library");
        QDir().mkpath(userLibrary_);
        QDir().mkpath(pluginsFolder());
        ::setenv("JUNKWARD_USER_LIBRARY", QFile::encodeName(userLibrary_).constData(), 1);
        ::setenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_).constData(), 1);
        testsupport::application();
    }
    ~Sandbox() {
        if (!runtimeDir_.isEmpty())
            QDir(runtimeDir_).removeRecursively();
    }

    QString userLibrary() const { return userLibrary_; }
    QString localLibrary() const { return localLibrary_; }
    QString runtimeDir() const { return runtimeDir_; }
    QString preferences() const { return userLibrary_ + QStringLiteral("/Preferences"); }
    QString logFile() const { return userLibrary_ + QStringLiteral("/Logs/Junkward/Junkward Log.log"); }
    QString pluginsFolder() const {
        return localLibrary_ + QStringLiteral("/Application Support/Quillon/Junkward/Plugins");
    }
    QString statisticsFile(const QString& identifier) const {
        return preferences() + QStringLiteral("/com.quillon.junkward.statistics.%1.plist").arg(identifier);
    }
    QString preferencesFile(const QString& identifier) const {
        return preferences() + QStringLiteral("/com.quillon.junkward.%1.plist").arg(identifier);
    }
    // Points the machine-wide Library at the sandbox's own.
    void useLocalLibrary() const {
        ::setenv("JUNKWARD_LOCAL_LIBRARY", QFile::encodeName(localLibrary_).constData(), 1);
    }

    // Installs a copy of the test plug-in as Plugins/<folder>/Engine.bundle with
    // the given information values replacing the built ones.
    bool installTestPlugIn(const QString& folder, const QVariantMap& infoChanges) const {
        const QString source = QString::fromLocal8Bit(std::getenv("JUNKWARD_TEST_BIN_DIR")) +
                               QStringLiteral("/engine-plugins/TestFilter/Engine.bundle");
        const QString target = pluginsFolder() + QLatin1Char('/') + folder + QStringLiteral("/Engine.bundle");
        if (!copyTree(source, target))
            return false;
        auto info = platform::plist::readDictionary(source + QStringLiteral("/Contents/Info.plist"));
        if (!info)
            return false;
        for (auto it = infoChanges.cbegin(); it != infoChanges.cend(); ++it) {
            if (it.value().isValid())
                info->insert(it.key(), it.value());
            else
                info->remove(it.key());
        }
        return platform::plist::writeFile(target + QStringLiteral("/Contents/Info.plist"), *info);
    }

    static bool copyTree(const QString& from, const QString& to) {
        QDir source(from);
        if (!source.exists() || !QDir().mkpath(to))
            return false;
        for (const QFileInfo& entry : source.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
            const QString target = to + QLatin1Char('/') + entry.fileName();
            if (entry.isDir()) {
                if (!copyTree(entry.filePath(), target))
                    return false;
            } else {
                QFile::remove(target);
                if (!QFile::copy(entry.filePath(), target))
                    return false;
            }
        }
        return true;
    }

private:
    QTemporaryDir root_;
    QString userLibrary_;
    QString localLibrary_;
    QString runtimeDir_;
};

}  // namespace enginetest
