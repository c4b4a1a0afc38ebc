#pragma once
// Settings packages: a folder "<name>.junkward5" holding a folder "Preferences"
// with copies of the user's Junkward preference files (never the statistics).
//
// Export copies every "com.quillon.junkward…plist" of the user's Preferences
// folder except the statistics. Import checks the whole package before it
// changes anything: a package that is not one, that holds anything but
// preference files, a preference file of the wrong shape or an oversized file
// is refused and the user's settings stay as they were; a good package
// replaces the files of the same names.

#include <QString>
#include <QStringList>

class JKW5SettingsPackage {
public:
    static constexpr const char* kExtension = "junkward5";
    static constexpr const char* kPreferencesFolder = "Preferences";
    // Limits of an importable package.
    static constexpr qint64 kMaximumFileSize = 4 * 1024 * 1024;
    static constexpr qint64 kMaximumTotalSize = 32 * 1024 * 1024;
    static constexpr int kMaximumFiles = 256;

    // The outcome of an export or import: ok, or the alert to show (title and
    // message; beep asks for the system beep before it).
    struct Result {
        bool ok = false;
        QString title;
        QString message;
        bool beep = false;
        QStringList files;  // the preference files written or copied
        static Result success(QStringList files) { return {true, {}, {}, false, std::move(files)}; }
        static Result failure(const QString& title, const QString& message, bool beep = true) {
            return {false, title, message, beep, {}};
        }
    };

    // A file name that an export copies: begins with "com.quillon.junkward", not
    // with "com.quillon.junkward.statistics", and ends with "plist".
    static bool isExportedName(const QString& name);
    // A file name an import accepts: an exported name made of plain characters
    // ("com.quillon.junkward.<name>.plist", no path, no hidden file).
    static bool isImportableName(const QString& name);

    // Writes a package at path (".junkward5" added when missing), replacing
    // what is there, from the files of preferencesFolder.
    static Result exportSettings(const QString& packagePath, const QString& preferencesFolder);
    // Checks a package without changing anything; the importable files on success.
    static Result validate(const QString& packagePath);
    // Checks, then replaces the files of preferencesFolder by those of the package.
    static Result importSettings(const QString& packagePath, const QString& preferencesFolder);
};
