#pragma once
// The folders of the system on Linux.
//
// User Library: $JUNKWARD_USER_LIBRARY, else ${XDG_DATA_HOME:-$HOME/.local/share}/junkward.
// Machine-wide Library: $JUNKWARD_LOCAL_LIBRARY, else the "Library" folder beside
// the folder of the installed libraries (<prefix>/lib/junkward/Library, or
// build/stage/Library for a build tree).

#include <QString>

namespace platform::folders {

QString userLibrary();   // never empty
QString localLibrary();  // never empty
QString homeFolder();
QString userPreferences();          // <user Library>/Preferences
QString userCaches();               // <user Library>/Caches
QString userLogs();                 // <user Library>/Logs
QString userApplicationSupport();   // <user Library>/Application Support
QString userMail();                 // <user Library>/Mail
QString localApplicationSupport();  // <machine Library>/Application Support
QString junkwardSupport();          // <machine Library>/Application Support/Quillon/Junkward
QString junkwardPlugins();          // .../Junkward/Plugins
QString junkwardComponents();       // .../Junkward/Components
QString engineApplication();        // .../Junkward/Junkward Engine.app

// Creates path and its parents (mode 0755 unless given); true when it exists as a
// folder afterwards. A plain file in the way is not touched: false.
bool ensureFolder(const QString& path, int mode = 0755);

// True when path exists and is a folder.
bool isFolder(const QString& path);

// Copies the folder tree from into to (created with its parents): files keep their
// permissions, symbolic links are copied as links, never followed. False on the
// first failure, leaving what was copied so far for the caller to remove.
bool copyTree(const QString& from, const QString& to);

}  // namespace platform::folders
