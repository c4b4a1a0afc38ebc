#include "frontend/app/JKW5SettingsPackage.h"

#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kPrefix = "com.quillon.junkward";
constexpr const char* kStatisticsPrefix = "com.quillon.junkward.statistics";

// Log lines.
constexpr const char* kExportRemoveFailed =
    "- [MainController exportSettingsDidEnd:]: It was not possible to remove the older version of \"%1\".";
constexpr const char* kExportCreateFailed =
    "- [MainController exportSettingsDidEnd:]: It was not possible to create folder: \"%1\"";
constexpr const char* kExportNoPreferences = "- [MainController exportSettingsDidEnd:]: Folder: \"%1\" does not exist.";
constexpr const char* kExportCopyFailed =
    "- [MainController exportSettingsDidEnd:]: It was not possible to copy \"%1\" to \"%2\"";
constexpr const char* kImportNoFolder = "- [MainController importSettingsAtPath:]: Folder \"%1\" does not exist.";
constexpr const char* kImportNoPreferences =
    "- [MainController importSettingsAtPath:]: ~/Library/Preferences does not exist and can not be created.";
constexpr const char* kImportRemoveFailed =
    "- [MainController importSettingsAtPath:]: It was not possible to remove the older version of \"%1\".";
constexpr const char* kImportCopyFailed =
    "- [MainController importSettingsAtPath:]: It was not possible to copy \"%1\" to \"%2\"";
constexpr const char* kImportRefused = "- [MainController importSettingsAtPath:]: \"%1\" refused: %2";

QString exportFailed() { return QObject::tr("Export failed"); }
QString importFailed() { return QObject::tr("Import failed"); }

void log(const char* format, const QString& a, const QString& b = {}) {
    QString line = QString::fromLatin1(format).arg(a);
    if (!b.isNull())
        line = line.arg(b);
    platform::log::console(line);
}

// lstat: the entry itself, never what a link points at.
bool entryStat(const QString& path, struct stat* st) { return ::lstat(QFile::encodeName(path).constData(), st) == 0; }

// Reads a regular file of at most limit bytes without following a link.
std::optional<QByteArray> readSmallFile(const QString& path, qint64 limit) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > limit) {
        ::close(fd);
        return std::nullopt;
    }
    QByteArray bytes;
    bytes.resize(qsizetype(st.st_size));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, size_t(bytes.size() - done));
        if (n <= 0)
            break;
        done += n;
    }
    ::close(fd);
    if (done != bytes.size())
        return std::nullopt;
    return bytes;
}

// The shape every preference file has: a dictionary whose "Status", when
// present, is a boolean or a number and whose "Settings", when present, is a
// dictionary; list rules ("Array") are a list of dictionaries.
QString shapeProblem(const QVariant& value) {
    if (value.typeId() != QMetaType::QVariantMap)
        return QObject::tr("it is not a dictionary");
    const QVariantMap map = value.toMap();
    const QVariant status = map.value(QStringLiteral("Status"));
    if (status.isValid() && status.typeId() != QMetaType::Bool && status.typeId() != QMetaType::LongLong &&
        status.typeId() != QMetaType::ULongLong && status.typeId() != QMetaType::Double)
        return QObject::tr("its “Status” is not a switch");
    const QVariant settings = map.value(QStringLiteral("Settings"));
    if (!settings.isValid())
        return {};
    if (settings.typeId() != QMetaType::QVariantMap)
        return QObject::tr("its “Settings” are not a dictionary");
    const QVariant rules = settings.toMap().value(QStringLiteral("Array"));
    if (rules.isValid()) {
        if (rules.typeId() != QMetaType::QVariantList)
            return QObject::tr("its rules are not a list");
        for (const QVariant& rule : rules.toList()) {
            if (rule.typeId() != QMetaType::QVariantMap)
                return QObject::tr("one of its rules is not a dictionary");
        }
    }
    return {};
}

}  // namespace

bool JKW5SettingsPackage::isExportedName(const QString& name) {
    return name.startsWith(QLatin1String(kPrefix)) && !name.startsWith(QLatin1String(kStatisticsPrefix)) &&
           name.endsWith(QLatin1String("plist"));
}

bool JKW5SettingsPackage::isImportableName(const QString& name) {
    static const QRegularExpression plain(
        QStringLiteral("^com\\.quillon\\.junkward\\.[A-Za-z0-9_-][A-Za-z0-9._-]*\\.plist$"));
    return isExportedName(name) && plain.match(name).hasMatch() && !name.contains(QLatin1String(".."));
}

JKW5SettingsPackage::Result JKW5SettingsPackage::exportSettings(const QString& requestedPath,
                                                                const QString& preferencesFolder) {
    QString packagePath = QDir::cleanPath(requestedPath);
    if (!packagePath.endsWith(QLatin1Char('.') + QLatin1String(kExtension)))
        packagePath += QLatin1Char('.') + QLatin1String(kExtension);
    const QFileInfo package(packagePath);

    // 2. Replace what is there; create the package and its "Preferences".
    struct stat st;
    if (entryStat(packagePath, &st)) {
        const bool removed = S_ISDIR(st.st_mode) ? QDir(packagePath).removeRecursively() : QFile::remove(packagePath);
        if (!removed) {
            log(kExportRemoveFailed, packagePath);
            return Result::failure(exportFailed(),
                                   QObject::tr("It was not possible to remove the previous version of \"%1\". Check "
                                               "that you have the appropriate permissions.")
                                       .arg(packagePath));
        }
    }
    const QString target = packagePath + QLatin1Char('/') + QLatin1String(kPreferencesFolder);
    for (const QString& folder : {packagePath, target}) {
        if (!QDir().mkdir(folder)) {
            log(kExportCreateFailed, folder);
            const QFileInfo info(folder);
            return Result::failure(exportFailed(),
                                   QObject::tr("It was not possible to create the folder \"%1\" in \"%2\". Check that "
                                               "you have the appropriate permissions.")
                                       .arg(info.fileName(), info.absolutePath()));
        }
    }

    // 3. Copy the preference files, never the statistics.
    QDir source(preferencesFolder);
    if (!source.exists()) {
        log(kExportNoPreferences, preferencesFolder);
        return Result::success({});
    }
    QStringList copied;
    for (const QFileInfo& entry : source.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name)) {
        if (!isExportedName(entry.fileName()) || entry.isSymLink())
            continue;
        const QString destination = target + QLatin1Char('/') + entry.fileName();
        if (!QFile::copy(entry.filePath(), destination)) {
            log(kExportCopyFailed, entry.filePath(), destination);
            return Result::failure(exportFailed(),
                                   QObject::tr("It was not possible to copy the file \"%1\". Check that "
                                               "you have the appropriate permissions.")
                                       .arg(entry.filePath()));
        }
        copied << entry.fileName();
    }
    (void)package;
    return Result::success(copied);
}

JKW5SettingsPackage::Result JKW5SettingsPackage::validate(const QString& packagePath) {
    const QString name = QFileInfo(packagePath).fileName();
    auto refuse = [&](const QString& why, bool beep = true) {
        log(kImportRefused, packagePath, why);
        return Result::failure(importFailed(), why + QLatin1Char(' ') + QObject::tr("Nothing was imported."), beep);
    };
    struct stat st;
    if (!entryStat(packagePath, &st) || !S_ISDIR(st.st_mode))
        return refuse(QObject::tr("“%1” is not a Junkward settings package.").arg(name));
    const QString folder = packagePath + QLatin1Char('/') + QLatin1String(kPreferencesFolder);
    if (!entryStat(folder, &st) || !S_ISDIR(st.st_mode)) {
        log(kImportNoFolder, folder);
        return Result::failure(importFailed(), QObject::tr("“%1” is not a Junkward settings package: it has no "
                                                           "“Preferences” folder. Nothing was imported.")
                                                   .arg(name));
    }

    QStringList files;
    qint64 total = 0;
    const QStringList entries =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    if (entries.size() > kMaximumFiles)
        return refuse(QObject::tr("The package holds too many files to be a settings package."));
    for (const QString& entry : entries) {
        const QString path = folder + QLatin1Char('/') + entry;
        if (!isImportableName(entry))
            return refuse(QObject::tr("The package holds “%1”, which is not a Junkward preference file.").arg(entry));
        if (!entryStat(path, &st) || !S_ISREG(st.st_mode))
            return refuse(QObject::tr("“%1” in the package is not a plain file.").arg(entry));
        if (st.st_size > kMaximumFileSize || total + st.st_size > kMaximumTotalSize)
            return refuse(QObject::tr("“%1” is too large to be a preference file.").arg(entry));
        total += st.st_size;
        const std::optional<QByteArray> bytes = readSmallFile(path, kMaximumFileSize);
        if (!bytes)
            return refuse(QObject::tr("“%1” in the package cannot be read.").arg(entry));
        const std::optional<QVariant> value = platform::plist::fromData(*bytes);
        if (!value)
            return refuse(QObject::tr("“%1” in the package is not a property list.").arg(entry));
        const QString problem = shapeProblem(*value);
        if (!problem.isEmpty())
            return refuse(QObject::tr("“%1” in the package is not a preference file: %2.").arg(entry, problem));
        files << entry;
    }
    if (files.isEmpty())
        return refuse(QObject::tr("The package holds no settings."));
    return Result::success(files);
}

JKW5SettingsPackage::Result JKW5SettingsPackage::importSettings(const QString& packagePath,
                                                                const QString& preferencesFolder) {
    Result checked = validate(packagePath);
    if (!checked.ok)
        return checked;
    if (!platform::folders::ensureFolder(preferencesFolder)) {
        platform::log::console(QString::fromLatin1(kImportNoPreferences));
        return Result::failure(
            importFailed(),
            QObject::tr("The folder “%1” does not exist and cannot be created.").arg(preferencesFolder));
    }

    // Every file is written beside its target first; only when all of them are
    // written are they renamed into place, so a failure leaves the user's
    // settings as they were.
    const QString source = packagePath + QLatin1Char('/') + QLatin1String(kPreferencesFolder);
    QStringList staged;
    auto discard = [&] {
        for (const QString& path : staged)
            QFile::remove(path);
    };
    for (const QString& name : checked.files) {
        const QString from = source + QLatin1Char('/') + name;
        const QString to = preferencesFolder + QLatin1Char('/') + name;
        const QString temporary = preferencesFolder + QStringLiteral("/.import-") + name;
        const std::optional<QByteArray> bytes = readSmallFile(from, kMaximumFileSize);
        QFile file(temporary);
        bool written = bytes && file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                       file.write(*bytes) == bytes->size() && file.flush() && ::fsync(file.handle()) == 0;
        file.close();
        staged << temporary;
        if (!written) {
            discard();
            log(kImportCopyFailed, from, to);
            return Result::failure(importFailed(), QObject::tr("It was not possible to copy the file \"%1\". Check "
                                                               "that you have the appropriate permissions.")
                                                       .arg(from));
        }
    }
    for (int i = 0; i < checked.files.size(); ++i) {
        const QString to = preferencesFolder + QLatin1Char('/') + checked.files[i];
        if (::rename(QFile::encodeName(staged[i]).constData(), QFile::encodeName(to).constData()) != 0) {
            log(kImportRemoveFailed, to);
            staged = staged.mid(i);
            discard();
            return Result::failure(importFailed(), QObject::tr("It was not possible to copy the file \"%1\". Check "
                                                               "that you have the appropriate permissions.")
                                                       .arg(source + QLatin1Char('/') + checked.files[i]));
        }
    }
    return Result::success(checked.files);
}
