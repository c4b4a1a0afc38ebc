#pragma once
// Small helpers of the front end shared by the main window and the panels.

#include <QRect>
#include <QString>

#include <optional>

namespace swui {

// This application's identifier in the notices it sends: the sender identifier
// of its client of the root daemon (the main bundle's identifier).
QString communicationIdentifier();

// A label of the histogram from the application's "Histogram" string table:
// "Day 1" to "Day 7" (Monday to Sunday) and "D1" to "D7" (their initials).
QString localizedHistogramString(const QString& key);

// A text of the application's "Localizable" string table, or fallback.
QString localizedString(const QString& key, const QString& fallback);

// A window frame as it is stored, "{{x, y}, {w, h}}", and back; a stored frame
// that is malformed or of an unusable size reads as none.
QString frameString(const QRect& r);
std::optional<QRect> frameFromString(const QString& text);

}  // namespace swui
