#pragma once
// The file work of the set-up assistant on the mail program's folders: the
// plug-in in "<Mail>/Bundles", the "Spam" mailbox, the mail program's
// preferences and the "Junkward" rule, and the markers that record which mail
// programs have been configured. Every operation answers false on failure,
// with one console line saying why, and leaves what it could not change as it
// was.

#include <QString>
#include <QVariantMap>

inline constexpr const char* SUAMailNickname = "mail";
inline constexpr const char* SUAEntourageNickname = "entourage";
// The mail programs of this desktop (procmail, Thunderbird) set up by the assistant.
inline constexpr const char* SUALinuxNickname = "linux";

class SUAMailConfiguration {
public:
    // Markers: "com.quillon.junkward.<nickname>.configured" in the user's Preferences.
    static QString markerPath(const QString& nickname);
    static bool hasMailClientBeenConfigured(const QString& nickname);
    static bool setMailClientHasBeenConfigured(const QString& nickname);

    // The mail program has been set up once: its Mail and Mailboxes folders and
    // its preferences file exist.
    static bool checkMailHasBeenConfiguredAtLeastOnce();
    // The mail program runs (owns its bus name); quit asks it to end and waits
    // for it to go.
    static bool isMailRunning();
    static bool quitMail(int timeoutMs = 10000);

    static bool createMailBundlesDirectory();
    // Installs the plug-in from the components folder unless the installed one
    // is as new or newer; an older one is replaced, and restored when the copy
    // fails.
    static bool copyBundle();
    static QString mailBundleVersion();
    static bool createMailSpamMailBox();
    static bool modifyMailPreferences();
    // Reactivates or appends the one "Junkward" rule, removes the mail
    // program's own junk rule and deactivates rules that test its junk mark.
    // A rules file that exists but is not a rule list is left as it is: false.
    static bool modifyRules();
    static bool removeMailScriptsAliases();
    static bool copyMailScripts();

    // The rule appended when there is none: the resource "MailRule.plist" of
    // the front end when present, else the built-in one.
    static QVariantMap junkwardRule();
    // Paths.
    static QString mailFolder();
    static QString rulesPath();
    static QString mailPreferencesPath();
    static QString sourceBundlePath();
    static QString installedBundlePath();
};
