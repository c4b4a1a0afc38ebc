#pragma once
// The plug-in's menu in the mail host's menu bar: training the engine with the
// selected messages, sending a spam sample, emptying the Spam mailbox and opening
// the front end. The commands are executable scripts installed beside the plug-in;
// each is read once and run on demand.

#include <QByteArray>
#include <QObject>
#include <QString>

inline constexpr char JKWLearnHamScriptName[] = "Learn Ham.scpt";
inline constexpr char JKWLearnSpamScriptName[] = "Learn Spam.scpt";
inline constexpr char JKWSendSpamSampleScriptName[] = "Send Sample.scpt";
inline constexpr char JKWEmptySpamMailboxScriptName[] = "Empty SPAM.scpt";

class SievraMenu : public QObject {
    Q_OBJECT
public:
    // The shared menu; made (and inserted into the menu bar) on the first call.
    static SievraMenu* sharedSievraMenu();

    void addMenu();
    // Deletes the old "Scripts/Mail Scripts/Junkward" folder of the user Library;
    // false when it could not be deleted.
    bool removeMailScriptsAliases();
    // Loads (once) and runs a script of the script folder; a failed run is tried
    // once more. True when a run succeeded.
    bool runAppleScript(const QString& name);
    // The folder of the scripts.
    static QString scriptFolder();

public slots:
    void learnGoodEmailAction();
    void learnSpamAction();
    void sendSpamSample();
    void emptySpamMailbox();
    void openApplicationAction();

private:
    SievraMenu() = default;
    // Runs a loaded script; false with *error when it did not end with status 0.
    bool execute(const QString& name, const QByteArray& script, QString* error);
};
