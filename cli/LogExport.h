#pragma once
// The activity log as text, in the log viewer's export format: one line per
// record, "[L] " or "[S] ", date and time, sender, subject and reason separated
// by tabs.

#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <functional>

namespace junkwardcli {

// True for the reasons of a legitimate record.
bool isLegitimateReason(const QString& filterID);

// The sender as the log viewer shows it: the display name before "<address>"
// (or the address alone with addressOnly), trimmed of blanks and quotes.
QString displayStringForSender(const QString& from, bool addressOnly);

// The export text of records (in the given order); localise maps a reason code to
// its shown text.
QString exportLogText(const QVariantList& records, const std::function<QString(const QString&)>& localise);

}  // namespace junkwardcli
