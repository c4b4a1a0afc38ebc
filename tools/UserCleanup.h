#pragma once
// Removal of every trace Junkward leaves in users' home folders.

#include <QString>

// Name of the record of what a mail-program set-up created or changed in the
// home folder, in the user's Preferences folder (its format: docs/mail-setup-record.md).
inline constexpr const char* JKWMailSetupRecordName = "com.quillon.junkward.mailprograms.plist";
// Suffix of the copy kept of a set-up-changed file when its backup is put back.
inline constexpr const char* JKWMailSetupSavedSuffix = ".junkward-saved";
// Where the user Library lies below a home folder.
inline constexpr const char* JKWUserLibraryInHome = ".local/share/junkward";

// Cleans the home folder open as homeFd. Nothing outside the listed paths is
// removed and no symbolic link is followed below homeFd.
void cleanUserHome(int homeFd);

// Undoes the changes listed in the mail-set-up record of the home open as homeFd
// and removes the record. Entries that do not check out are left alone.
void undoMailSetup(int homeFd);

// Cleans the home of every account whose id is above 499; always 0.
int runUserCleanup();
