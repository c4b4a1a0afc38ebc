#include "engine/SWPluginPreferencesManager.h"

#include "common/QSignalEnterCritical.h"
#include "engine/SWNotifications.h"
#include "platform/Bundle.h"
#include "platform/Folders.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFileInfo>

namespace {

// An identifier becomes part of a file name: refuse anything that could leave
// the Preferences folder or cut the name short.
bool isSafeIdentifier(const QString& identifier) {
    return !identifier.isEmpty() && identifier != QLatin1String(".") && identifier != QLatin1String("..") &&
           !identifier.contains(QLatin1Char('/')) && !identifier.contains(QChar(0));
}

QString preferencesFolder() {
    const QString folder = platform::folders::userPreferences();
    if (!folder.isEmpty())
        return folder;
    return platform::folders::homeFolder() + QStringLiteral("/Library/Preferences");
}

// Writes a property list with the termination signal held back.
bool writeCritical(const QString& path, const QVariantMap& dictionary) {
    if (path.isEmpty())
        return false;
    if (!platform::folders::ensureFolder(QFileInfo(path).absolutePath()))
        return false;
    QSignalEnterCritical();
    const bool written = platform::plist::writeFile(path, dictionary);
    QSignalExitCritical();
    return written;
}

}  // namespace

QString SWPluginPreferencesManager::preferencesPathWithIdentifier(const QString& identifier) {
    if (!isSafeIdentifier(identifier))
        return {};
    return preferencesFolder() + QStringLiteral("/com.quillon.junkward.%1.plist").arg(identifier);
}

QString SWPluginPreferencesManager::statisticsPathWithIdentifier(const QString& identifier) {
    if (!isSafeIdentifier(identifier))
        return {};
    const QString folder = platform::folders::userPreferences();
    if (folder.isEmpty())
        return {};
    return folder + QStringLiteral("/com.quillon.junkward.statistics.%1.plist").arg(identifier);
}

QVariantMap SWPluginPreferencesManager::loadPreferencesWithBundle(const std::shared_ptr<platform::Bundle>& bundle,
                                                                  const QString& identifier) {
    // 1. The user's own file.
    const QString path = preferencesPathWithIdentifier(identifier);
    if (!path.isEmpty()) {
        if (auto stored = platform::plist::readDictionary(path))
            return *stored;
    }
    // 2. The defaults of the "Engine.bundle" beside the given bundle.
    if (bundle) {
        const QString parent = QFileInfo(bundle->path()).absolutePath();
        const QString enginePath = parent + QLatin1Char('/') + QLatin1String(sw::SWEngineBundleName);
        if (QFileInfo(enginePath).isDir()) {
            if (auto engineBundle = platform::Bundle::open(enginePath)) {
                const QVariantMap& info = engineBundle->infoDictionary();
                if (!info.isEmpty()) {
                    QVariantMap defaults;
                    defaults.insert(sw::SWPreferencesStatusKey,
                                    platform::plist::boolValue(info, sw::SWDefaultEngineStatusKey, false));
                    const QVariant settings = info.value(sw::SWDefaultEngineSettingsKey);
                    if (settings.metaType().id() == QMetaType::QVariantMap)
                        defaults.insert(sw::SWPreferencesSettingsKey, settings);
                    return defaults;
                }
            }
        }
    }
    // 3. Switched on, no settings.
    return QVariantMap{{sw::SWPreferencesStatusKey, true}};
}

bool SWPluginPreferencesManager::savePreferences(const QVariantMap& preferences, const QString& identifier) {
    return writeCritical(preferencesPathWithIdentifier(identifier), preferences);
}

std::optional<QVariantMap> SWPluginPreferencesManager::loadStatisticsWithIdentifier(const QString& identifier) {
    const QString path = statisticsPathWithIdentifier(identifier);
    if (path.isEmpty())
        return std::nullopt;
    return platform::plist::readDictionary(path);
}

bool SWPluginPreferencesManager::saveStatistics(const QVariantMap& statistics, const QString& identifier) {
    return writeCritical(statisticsPathWithIdentifier(identifier), statistics);
}
