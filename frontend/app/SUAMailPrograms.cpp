#include "frontend/app/SUAMailPrograms.h"

#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace {

constexpr const char* kRecordName = "com.quillon.junkward.mailprograms.plist";
constexpr const char* kBackupSuffix = ".junkward-backup";
constexpr const char* kAddonId = "junkward@quillon.com";
constexpr const char* kNativeHostName = "com.quillon.junkward";

QString home() { return platform::folders::homeFolder(); }

// A path below the home folder as the record keeps it; empty when outside.
QString relative(const QString& path) {
    const QString rel = QDir(home()).relativeFilePath(path);
    return rel.isEmpty() || rel.startsWith(QLatin1String("..")) || QDir::isAbsolutePath(rel) ? QString() : rel;
}

// A changed file is recorded with its backup and the digest of what the set-up
// wrote, so that the undo can tell whether the user edited it since.
bool addToRecord(const QString& program, const QString& path, const QString& action, const QString& backup = {},
                 const QByteArray& written = {}) {
    const QString rel = relative(path);
    if (rel.isEmpty())
        return false;
    QVariantMap record = platform::plist::readDictionary(SUAMailPrograms::recordPath()).value_or(QVariantMap());
    QVariantList changes = record.value(QStringLiteral("Changes")).toList();
    QVariantMap entry{{"Program", program}, {"Path", rel}, {"Action", action}};
    if (!backup.isEmpty()) {
        entry.insert(QStringLiteral("Backup"), relative(backup));
        entry.insert(QStringLiteral("Written"),
                     QString::fromLatin1(QCryptographicHash::hash(written, QCryptographicHash::Sha256).toHex()));
    }
    changes << entry;
    record.insert(QStringLiteral("Changes"), changes);
    return platform::folders::ensureFolder(platform::folders::userPreferences()) &&
           platform::plist::writeFile(SUAMailPrograms::recordPath(), record);
}

QByteArray readAll(const QString& path, bool* ok) {
    QFile f(path);
    *ok = f.open(QIODevice::ReadOnly);
    return *ok ? f.readAll() : QByteArray();
}

bool writeAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit();
}

// Adds text to a file of the home folder: a new file is recorded as made by
// the set-up; an existing one is first copied to its backup and recorded as
// changed. Nothing is done when the file already holds marker.
bool addToFile(const QString& program, const QString& path, const QByteArray& whenNew, const QByteArray& appended,
               const QByteArray& marker) {
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isFile()))
        return false;  // a link or a folder in its place is not the user's plain file: left alone
    if (!info.exists()) {
        return addToRecord(program, path, QStringLiteral("Created")) && writeAtomically(path, whenNew);
    }
    bool ok = false;
    QByteArray content = readAll(path, &ok);
    if (!ok)
        return false;
    if (content.contains(marker))
        return true;
    const QString backup = path + QLatin1String(kBackupSuffix);
    if (QFileInfo::exists(backup) || !QFile::copy(path, backup))
        return false;
    if (!content.isEmpty() && !content.endsWith('\n'))
        content += '\n';
    content += appended;
    return addToRecord(program, path, QStringLiteral("Modified"), backup, content) && writeAtomically(path, content);
}

// Creates path and its missing parents, recording each folder made so that the
// undo removes it again once it is empty. A link or a file in the way: false.
bool ensureRecordedFolder(const QString& program, const QString& path) {
    QStringList missing;
    QString at = QDir::cleanPath(path);
    while (!QFileInfo::exists(at) && !QFileInfo(at).isSymLink()) {
        missing.prepend(at);
        const QString up = QFileInfo(at).path();
        if (up == at)
            return false;
        at = up;
    }
    if (!QFileInfo(at).isDir() || QFileInfo(at).isSymLink())
        return false;
    for (const QString& folder : std::as_const(missing))
        if (!addToRecord(program, folder, QStringLiteral("CreatedFolder")) || !QDir().mkdir(folder))
            return false;
    return true;
}

// Puts bytes into path: a new file is recorded as made by the set-up; a file
// with other content is kept as backup and recorded as changed; the same
// content is left as it is. A link or a folder in its place: false.
bool placeFile(const QString& program, const QString& path, const QByteArray& bytes, const QString& backup) {
    if (!ensureRecordedFolder(program, QFileInfo(path).path()))
        return false;
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isFile()))
        return false;
    if (!info.exists())
        return addToRecord(program, path, QStringLiteral("Created")) && writeAtomically(path, bytes);
    bool ok = false;
    if (readAll(path, &ok) == bytes && ok)
        return true;
    if (!ok || QFileInfo::exists(backup) || QFileInfo(backup).isSymLink() || !QFile::copy(path, backup))
        return false;
    return addToRecord(program, path, QStringLiteral("Modified"), backup, bytes) && writeAtomically(path, bytes);
}

}  // namespace

QString SUAMailPrograms::recordPath() {
    return platform::folders::userPreferences() + QLatin1Char('/') + QLatin1String(kRecordName);
}

QString SUAMailPrograms::integrationsFolder() {
    // $JUNKWARD_INTEGRATIONS_DIR first, then the installed and the source folders.
    const QString library = platform::folders::localLibrary();
    QStringList places{qEnvironmentVariable("JUNKWARD_INTEGRATIONS_DIR"),
                       QDir::cleanPath(library + QStringLiteral("/../../../share/junkward/integrations")),
                       QDir::cleanPath(library + QStringLiteral("/../share/junkward/integrations")),
                       QStringLiteral("/usr/local/share/junkward/integrations"),
                       QStringLiteral("/usr/share/junkward/integrations")};
#ifdef JUNKWARD_SOURCE_INTEGRATIONS
    places << QStringLiteral(JUNKWARD_SOURCE_INTEGRATIONS);
#endif
    for (const QString& place : places)
        if (!place.isEmpty() && QFileInfo(place + QStringLiteral("/procmail/junkward.procmailrc")).isFile())
            return place;
    return {};
}

QString SUAMailPrograms::thunderbirdAddon() {
    const QString file = QStringLiteral("/thunderbird/%1.xpi").arg(QLatin1String(kAddonId));
    const QString integrations = integrationsFolder();
    QStringList places{integrations};
#if defined(JUNKWARD_SOURCE_INTEGRATIONS) && defined(JUNKWARD_BUILD_INTEGRATIONS)
    // A build tree packs the add-on beside its sources.
    if (integrations == QLatin1String(JUNKWARD_SOURCE_INTEGRATIONS))
        places << QStringLiteral(JUNKWARD_BUILD_INTEGRATIONS);
#endif
    for (const QString& place : places)
        if (!place.isEmpty() && QFileInfo(place + file).isFile())
            return place + file;
    return {};
}

QString SUAMailPrograms::nativeHost() {
    // The programs' folder beside the machine-wide Library, installed or staged.
    const QString host =
        QDir::cleanPath(platform::folders::localLibrary() + QStringLiteral("/../bin/junkward-native-host"));
    const QFileInfo info(host);
    return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
}

QString SUAMailPrograms::nativeHostManifestPath() {
    return home() + QStringLiteral("/.mozilla/native-messaging-hosts/%1.json").arg(QLatin1String(kNativeHostName));
}

QStringList SUAMailPrograms::thunderbirdProfiles() {
    const QString base = home() + QStringLiteral("/.thunderbird");
    QStringList out;
    if (!QFileInfo(base + QStringLiteral("/profiles.ini")).isFile())
        return out;
    QSettings ini(base + QStringLiteral("/profiles.ini"), QSettings::IniFormat);
    for (const QString& group : ini.childGroups()) {
        if (!group.startsWith(QLatin1String("Profile")))
            continue;
        const QString path = ini.value(group + QStringLiteral("/Path")).toString();
        if (path.isEmpty())
            continue;
        const bool isRelative = ini.value(group + QStringLiteral("/IsRelative"), 1).toInt() != 0;
        const QString folder = QDir::cleanPath(isRelative ? base + QLatin1Char('/') + path : path);
        if (platform::folders::isFolder(folder) && !out.contains(folder))
            out << folder;
    }
    return out;
}

QVector<SUAMailProgram> SUAMailPrograms::detect() {
    QVector<SUAMailProgram> out;
    const QString h = home();
    const QString integrations = integrationsFolder();
    const bool procmailInstalled = !QStandardPaths::findExecutable(QStringLiteral("procmail")).isEmpty();
    if (QFileInfo::exists(h + QStringLiteral("/.procmailrc")) || procmailInstalled)
        out << SUAMailProgram{SUAMailProgram::Procmail,
                              QStringLiteral("procmail"),
                              h + QStringLiteral("/.procmailrc"),
                              !integrations.isEmpty(),
                              {}};
    if (QFileInfo::exists(h + QStringLiteral("/.mailfilter")))
        out << SUAMailProgram{
            SUAMailProgram::Maildrop, QStringLiteral("maildrop"), h + QStringLiteral("/.mailfilter"), false,
            QObject::tr("Add the line “include \"%1/maildrop/junkward.mailfilter\"” to ~/.mailfilter.")
                .arg(integrations.isEmpty() ? QStringLiteral("/usr/share/junkward/integrations") : integrations)};
    const bool addon = !integrations.isEmpty() && !thunderbirdAddon().isEmpty() && !nativeHost().isEmpty();
    for (const QString& profile : thunderbirdProfiles())
        out << SUAMailProgram{SUAMailProgram::Thunderbird,
                              QObject::tr("Thunderbird (profile %1)").arg(QFileInfo(profile).fileName()), profile,
                              addon, {}};
    const struct {
        SUAMailProgram::Kind kind;
        const char* name;
        const char* path;
        const char* steps;
    } clients[] = {
        {SUAMailProgram::Evolution, "Evolution", "/.config/evolution",
         "In Evolution, choose Edit › Preferences › Mail Preferences › Junk and pick Junkward as the junk filter."},
        {SUAMailProgram::KMail, "KMail", "/.config/kmail2rc",
         "In KMail, run Tools › Anti-Spam Wizard and tick Junkward."},
        {SUAMailProgram::ClawsMail, "Claws Mail", "/.claws-mail",
         "In Claws Mail, enable the Bogofilter plug-in and set its path to junkward-bogofilter."},
    };
    for (const auto& c : clients)
        if (QFileInfo::exists(h + QLatin1String(c.path)))
            out << SUAMailProgram{c.kind, QLatin1String(c.name), h + QLatin1String(c.path), false,
                                  QObject::tr(c.steps)};
    return out;
}

bool SUAMailPrograms::configureProcmail() {
    const QString integrations = integrationsFolder();
    if (integrations.isEmpty())
        return false;
    const QByteArray include = QFile::encodeName(integrations + QStringLiteral("/procmail/junkward.procmailrc"));
    const QByteArray line =
        "# Junkward: every message is judged; spam goes to the Junk folder.\nINCLUDERC=" + include + '\n';
    return addToFile(QStringLiteral("procmail"), home() + QStringLiteral("/.procmailrc"),
                     "MAILDIR=$HOME/Maildir/\nDEFAULT=$MAILDIR\n" + line, line, "junkward.procmailrc");
}

bool SUAMailPrograms::installThunderbirdAddon(const QString& profile) {
    const QString addon = thunderbirdAddon();
    const QString host = nativeHost();
    bool ok = false;
    const QByteArray xpi = addon.isEmpty() ? QByteArray() : readAll(addon, &ok);
    if (!ok || host.isEmpty() || !platform::folders::isFolder(profile))
        return false;
    const QJsonObject manifest{{"name", QLatin1String(kNativeHostName)},
                               {"description", "Junkward engine for the Junkward add-on"},
                               {"path", host},
                               {"type", "stdio"},
                               {"allowed_extensions", QJsonArray{QLatin1String(kAddonId)}}};
    const QString manifestPath = nativeHostManifestPath();
    // Thunderbird reads every file of extensions/ whose name looks like an add-on's
    // id (and deletes those it cannot use): the copy of an earlier add-on is kept
    // in the profile folder itself.
    const QString xpiName = QLatin1String(kAddonId) + QStringLiteral(".xpi");
    return placeFile(QStringLiteral("thunderbird"), profile + QStringLiteral("/extensions/") + xpiName, xpi,
                     profile + QLatin1Char('/') + xpiName + QLatin1String(kBackupSuffix)) &&
           placeFile(QStringLiteral("thunderbird"), manifestPath, QJsonDocument(manifest).toJson(),
                     manifestPath + QLatin1String(kBackupSuffix));
}

bool SUAMailPrograms::configureThunderbirdProfile(const QString& profile) {
    // The add-on judges every new message itself. Filters that set the junk mark
    // from the verdict header are not added: the add-on would take their marks
    // for the user's and train the engine on a header the sender can forge.
    return installThunderbirdAddon(profile);
}

bool SUAMailPrograms::apply(const SUAMailProgram& program) {
    switch (program.kind) {
    case SUAMailProgram::Procmail:
        return configureProcmail();
    case SUAMailProgram::Thunderbird:
        return configureThunderbirdProfile(program.location);
    default:
        return false;
    }
}
