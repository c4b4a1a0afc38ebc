#pragma once
// Small helpers of the front end shared by the main window and the panels.

#include <QString>

namespace swui {

// This application's identifier in the notices it sends: the sender identifier
// of its client of the root daemon (the main bundle's identifier).
QString communicationIdentifier();

// A label of the histogram from the application's "Histogram" string table:
// "Day 1" to "Day 7" (Monday to Sunday) and "D1" to "D7" (their initials).
QString localizedHistogramString(const QString& key);

// A text of the application's "Localizable" string table, or fallback.
QString localizedString(const QString& key, const QString& fallback);

}  // namespace swui
