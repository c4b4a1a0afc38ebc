#pragma once
// Applications by signature: whether one is running (the owner of its well-known
// session-bus name) and opening it (D-Bus activation, else its executable from its
// place in the machine-wide Library or the program folder, started detached).

#include <QString>
#include <QStringList>

namespace platform::launching {

inline constexpr char kEngineSignature[] = "_SM2";
inline constexpr char kFrontEndSignature[] = "_SM0";

// One known application. The table of these is the only place that ties a
// signature to its bus name and executable.
struct ApplicationEntry {
    const char* signature;    // four-character code
    const char* busName;      // well-known session-bus name
    const char* bundleName;   // "<Name>.app", looked up in the Junkward support folder
    const char* programName;  // the program's name in the program folder / PATH
};

// The entry of signature; nullptr for an unknown one.
const ApplicationEntry* applicationForSignature(const QString& signature);
// The entry whose bundle name is name ("Junkward X5.app"); nullptr when unknown.
const ApplicationEntry* applicationForBundleName(const QString& name);

// True when the application of signature owns its bus name on the session bus.
bool isApplicationRunning(const QString& signature);

// The executable of the application of signature at its known place: the bundle's
// Contents/MacOS/<CFBundleExecutable> in the Junkward support folder, else the
// program in the stage/installed program folder, else on PATH. Empty when none.
QString findApplication(const QString& signature);

// The program inside a bundle path ("X.app"), or path itself when it is an
// executable file; empty otherwise.
QString executableForPath(const QString& path);

// Starts the executable at path (a bundle or a program), detached, with no
// arguments. False when it is not executable or could not be started.
bool launchApplicationAtPath(const QString& path);

// Opens the application of signature: D-Bus activation of its bus name first,
// then its executable from findApplication(), detached. True when either worked
// (the application may still be starting).
bool openApplication(const QString& signature);

// Opens an application by its bundle name ("Junkward X5.app").
bool launchApplicationNamed(const QString& name);

}  // namespace platform::launching
