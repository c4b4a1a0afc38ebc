#include "platform/Launching.h"

#include "platform/Folders.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace platform::launching {

namespace {

// Every application the system opens by signature. Add a row for a new one.
constexpr ApplicationEntry kApplications[] = {
    {kEngineSignature, kEngineBusName, "Junkward Engine.app", "junkward-engine"},
    {kFrontEndSignature, kFrontEndBusName, "Junkward X5.app", "junkward-x5"},
};

bool isExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

// The program folder beside the machine-wide Library (stage/bin, or the
// installed <prefix>/lib/junkward/bin).
QString programFolder() { return QDir::cleanPath(folders::localLibrary() + QStringLiteral("/../bin")); }

}  // namespace

const ApplicationEntry* applicationForSignature(const QString& signature) {
    for (const auto& entry : kApplications)
        if (signature == QLatin1String(entry.signature))
            return &entry;
    return nullptr;
}

const ApplicationEntry* applicationForBundleName(const QString& name) {
    for (const auto& entry : kApplications)
        if (name == QLatin1String(entry.bundleName))
            return &entry;
    return nullptr;
}

bool isApplicationRunning(const QString& signature) {
    const ApplicationEntry* entry = applicationForSignature(signature);
    return entry && ScriptingBus::hasOwner(QString::fromLatin1(entry->busName));
}

QString executableForPath(const QString& path) {
    if (path.isEmpty())
        return {};
    const QFileInfo info(path);
    if (info.isDir()) {
        // A bundle: Contents/MacOS/<CFBundleExecutable> of its information dictionary.
        const auto info = plist::readDictionary(path + QStringLiteral("/Contents/Info.plist"));
        if (!info)
            return {};
        const QString name = info->value(QStringLiteral("CFBundleExecutable")).toString();
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".."))
            return {};
        const QString exe = QDir::cleanPath(path) + QStringLiteral("/Contents/MacOS/") + name;
        return isExecutableFile(exe) ? exe : QString();
    }
    return isExecutableFile(path) ? info.absoluteFilePath() : QString();
}

QString findApplication(const QString& signature) {
    const ApplicationEntry* entry = applicationForSignature(signature);
    if (!entry)
        return {};
    QString exe = executableForPath(folders::junkwardSupport() + QLatin1Char('/') + QLatin1String(entry->bundleName));
    if (!exe.isEmpty())
        return exe;
    exe = programFolder() + QLatin1Char('/') + QLatin1String(entry->programName);
    if (isExecutableFile(exe))
        return exe;
    return QStandardPaths::findExecutable(QString::fromLatin1(entry->programName));
}

bool launchApplicationAtPath(const QString& path) {
    const QString exe = executableForPath(path);
    if (exe.isEmpty())
        return false;
    // The application outlives the caller: it must not hold the caller's output
    // open, or a mail filter's reader (procmail, a pipe) would wait for it forever.
    QProcess process;
    process.setProgram(exe);
    process.setWorkingDirectory(QFileInfo(exe).absolutePath());
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

bool openApplication(const QString& signature) {
    const ApplicationEntry* entry = applicationForSignature(signature);
    if (!entry)
        return false;
    if (ScriptingBus::startService(QString::fromLatin1(entry->busName)))
        return true;
    const QString exe = findApplication(signature);
    return !exe.isEmpty() && launchApplicationAtPath(exe);
}

bool launchApplicationNamed(const QString& name) {
    if (const ApplicationEntry* entry = applicationForBundleName(name))
        return openApplication(QString::fromLatin1(entry->signature));
    return false;
}

}  // namespace platform::launching
