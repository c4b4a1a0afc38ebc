#pragma once
// The mail programs of a Linux desktop that the set-up assistant finds in the
// user's home folder, and the set-up of those it can configure from outside:
// procmail (the Junkward recipe included from ~/.procmailrc) and Thunderbird
// (the Junkward add-on in each profile's extensions folder and the manifest
// that lets it start junkward-native-host).
// Every file made or changed is written down in the set-up record
// ("com.quillon.junkward.mailprograms.plist" in the user's Preferences) with a
// backup of a changed file, so that user-cleanup can take the change back.

#include <QString>
#include <QStringList>
#include <QVector>

struct SUAMailProgram {
    enum Kind { Procmail, Maildrop, Thunderbird, Evolution, KMail, ClawsMail };
    Kind kind;
    QString name;       // shown to the user
    QString location;   // the file or folder found
    bool configurable;  // applied by the assistant; otherwise steps are shown
    QString steps;      // what the user does, for the others
};

class SUAMailPrograms {
public:
    // The programs set up in the home folder.
    static QVector<SUAMailProgram> detect();
    // The folder of the integration files; empty when none is installed.
    static QString integrationsFolder();
    // Thunderbird profile folders listed in ~/.thunderbird/profiles.ini.
    static QStringList thunderbirdProfiles();
    // The Thunderbird add-on (.xpi) and the native host it starts; empty when missing.
    static QString thunderbirdAddon();
    static QString nativeHost();
    // ~/.mozilla/native-messaging-hosts/com.quillon.junkward.json
    static QString nativeHostManifestPath();
    // Applies the set-up of one program; false with nothing left half done.
    static bool apply(const SUAMailProgram& program);
    static bool configureProcmail();
    static bool configureThunderbirdProfile(const QString& profile);
    // The add-on in <profile>/extensions and the user's native host manifest.
    static bool installThunderbirdAddon(const QString& profile);
    static QString recordPath();
};
