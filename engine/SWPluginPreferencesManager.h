#pragma once
// Locates, loads and saves the per-filter preference and statistics property
// lists shared by the engine, its plug-ins and the front ends:
//   <user Library>/Preferences/com.quillon.junkward.<identifier>.plist
//   <user Library>/Preferences/com.quillon.junkward.statistics.<identifier>.plist
// The engine's own identifier is "General".

#include <QString>
#include <QVariantMap>
#include <memory>
#include <optional>

namespace platform {
class Bundle;
}

class SWPluginPreferencesManager {
public:
    // Path of the preference file; empty for an identifier that is not a plain
    // file-name part (empty, ".", "..", or containing '/' or NUL).
    static QString preferencesPathWithIdentifier(const QString& identifier);
    // Path of the statistics file; empty as above.
    static QString statisticsPathWithIdentifier(const QString& identifier);

    // The preference dictionary of identifier, never empty: the file when it
    // exists and holds a dictionary; else, when bundle is given, the defaults of
    // the "Engine.bundle" beside it ({"Status": "Default Engine Status" or false,
    // "Settings": "Default Engine Settings" when present}); else {"Status": true}.
    static QVariantMap loadPreferencesWithBundle(const std::shared_ptr<platform::Bundle>& bundle,
                                                 const QString& identifier);
    // Writes the dictionary atomically with SIGTERM held back; false on failure
    // (the previous file is then untouched).
    static bool savePreferences(const QVariantMap& preferences, const QString& identifier);

    // The statistics dictionary, or nullopt when the file is missing, unreadable
    // or not a dictionary.
    static std::optional<QVariantMap> loadStatisticsWithIdentifier(const QString& identifier);
    // Writes atomically with SIGTERM held back; false on failure.
    static bool saveStatistics(const QVariantMap& statistics, const QString& identifier);
};
