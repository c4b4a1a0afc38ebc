#pragma once
// The installer's check of the target system's version against the newest one
// the product was certified for.

#include <QString>

// 1 when version a is newer than b, -1 when older, 0 when equal. Components are
// compared as integers ("10.10" is newer than "10.9"); with all shared components
// equal, the version with more components is the newer ("10.5.0" > "10.5").
int QCFStringCompareVersion(const QString& a, const QString& b);

// The system version of the volume mounted at root: "ProductVersion" of its
// System/Library/CoreServices/SystemVersion.plist, else VERSION_ID of its
// etc/os-release. Empty when neither is there.
QString targetSystemVersion(const QString& root);

// Runs the check for the resources folder and target root; shows the notice when
// the target is newer than "OS Version" of resources/SoftVersion.plist. Never fails.
void runVersionCheck(const QString& resources, const QString& root);

// Shows a notice that does not wait for the user: a desktop notification when the
// session bus has a notification server, else one line on standard error.
void showNotice(const QString& title, const QString& message, int timeoutMs);
