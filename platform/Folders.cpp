// Folders of the system: the user Library, the machine-wide Library and the
// sub-folders the components use.

#include "platform/Folders.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef JUNKWARD_INSTALL_PREFIX
#define JUNKWARD_INSTALL_PREFIX "/usr/local"
#endif

namespace platform::folders {

namespace {

QString env(const char* name) { return QFile::decodeName(qgetenv(name)); }

QString cleaned(const QString& path) { return QDir::cleanPath(path); }

// "<folder of libjunkward_platform.so>/../Library", when that folder exists.
QString libraryBesideThisLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&libraryBesideThisLibrary), &info) == 0 || !info.dli_fname)
        return {};
    const QFileInfo so(QFile::decodeName(info.dli_fname));
    const QString candidate = cleaned(so.absoluteDir().absolutePath() + QStringLiteral("/../Library"));
    return isFolder(candidate) ? candidate : QString();
}

}  // namespace

QString homeFolder() {
    QString home = env("HOME");
    if (!home.isEmpty())
        return cleaned(home);
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir)
        return cleaned(QFile::decodeName(pw->pw_dir));
    return QStringLiteral("/");
}

QString userLibrary() {
    const QString over = env("JUNKWARD_USER_LIBRARY");
    if (!over.isEmpty())
        return cleaned(over);
    QString data = env("XDG_DATA_HOME");
    // The base-directory convention ignores relative values.
    if (data.isEmpty() || !QDir::isAbsolutePath(data))
        data = homeFolder() + QStringLiteral("/.local/share");
    return cleaned(data + QStringLiteral("/junkward"));
}

QString localLibrary() {
    const QString over = env("JUNKWARD_LOCAL_LIBRARY");
    if (!over.isEmpty())
        return cleaned(over);
    static const QString beside = libraryBesideThisLibrary();
    if (!beside.isEmpty())
        return beside;
    return cleaned(QStringLiteral(JUNKWARD_INSTALL_PREFIX "/lib/junkward/Library"));
}

QString userPreferences() { return userLibrary() + QStringLiteral("/Preferences"); }
QString userCaches() { return userLibrary() + QStringLiteral("/Caches"); }
QString userLogs() { return userLibrary() + QStringLiteral("/Logs"); }
QString userApplicationSupport() { return userLibrary() + QStringLiteral("/Application Support"); }
QString userMail() { return userLibrary() + QStringLiteral("/Mail"); }
QString localApplicationSupport() { return localLibrary() + QStringLiteral("/Application Support"); }
QString junkwardSupport() { return localApplicationSupport() + QStringLiteral("/Quillon/Junkward"); }
QString junkwardPlugins() { return junkwardSupport() + QStringLiteral("/Plugins"); }
QString junkwardComponents() { return junkwardSupport() + QStringLiteral("/Components"); }
QString engineApplication() { return junkwardSupport() + QStringLiteral("/Junkward Engine.app"); }

bool isFolder(const QString& path) {
    struct stat st;
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool copyTree(const QString& from, const QString& to) {
    if (!QDir().mkpath(to))
        return false;
    const QFileInfoList entries =
        QDir(from).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo& entry : entries) {
        const QString target = to + QLatin1Char('/') + entry.fileName();
        if (entry.isSymLink()) {
            if (!QFile::link(entry.symLinkTarget(), target))
                return false;
        } else if (entry.isDir()) {
            if (!copyTree(entry.filePath(), target))
                return false;
        } else if (!QFile::copy(entry.filePath(), target)) {
            return false;
        }
    }
    return true;
}

bool ensureFolder(const QString& path, int mode) {
    if (path.isEmpty())
        return false;
    const QString absolute = cleaned(QFileInfo(path).absoluteFilePath());
    if (isFolder(absolute))
        return true;
    // Create each missing level from the top; anything but a folder in the way fails.
    const QStringList parts = absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current;
    for (const QString& part : parts) {
        current += QLatin1Char('/') + part;
        const QByteArray native = QFile::encodeName(current);
        if (::mkdir(native.constData(), mode_t(mode)) == 0)
            continue;
        if (errno != EEXIST)
            return false;
        if (!isFolder(current))
            return false;
    }
    return isFolder(absolute);
}

}  // namespace platform::folders
