#pragma once
// Reading the host part of a Message-ID.
//
// Mail clients on desktop machines name the host of their Message-IDs after
// the computer, often without any dot ("<...@XENON16>"); Outlook and Outlook
// Express do so always. Bulk-mail tools imitate Outlook's layout of the local
// part with random digits, and so give themselves away: Outlook writes the
// sending time into it.

#include <string_view>

namespace SAMessageID {

// True when value (a Message-ID header value) names a host without any dot
// that a real client could have written: a non-empty host of letters, digits,
// "-" and "_", and a local part that is not a forged copy of Outlook's layout.
bool isComputerNameID(std::string_view value);

// True when value is a Message-ID as Outlook writes it: the layout below with
// a plausible sending time, "@" and a computer name without a dot.
bool isOutlookComputerNameID(std::string_view value);

// True when local (the part before "@") has Outlook's layout, 12 hex digits,
// "$", 8 hex digits, "$", 8 hex digits, and its digits 5 to 12, the high half
// of the sending time as a Windows file time, name no time between 1990 and 2100.
bool isForgedOutlookLocalPart(std::string_view local);

// True when local has Outlook's layout (whatever time it names).
bool hasOutlookLayout(std::string_view local);

}  // namespace SAMessageID
