#pragma once
// The verdict header a filtering run adds to a message, and the rewriting of
// the header block that adds it: one line at the top, earlier lines of the same
// names removed, every other byte kept as it was.

#include <QByteArray>
#include <QByteArrayList>

namespace junkwardcli {

inline constexpr char kVerdictHeaderName[] = "X-Junkward-Status";

// The line end of a message: "\r\n", "\n" or "\r", as its first line ends
// ("\n" when it has a single line).
QByteArray lineEndOf(const QByteArray& message);

// message with the given header lines ("Name: value", without line end) put
// at the top of its header block, in order, each ended as the message's lines
// are. The block starts after an mbox "From " separator line and ends at the
// first empty line. Every header of the block whose name is one of removeNames
// (compared without case) is removed first, with its continuation lines. All
// other bytes, the body, a missing final line end included, are untouched.
QByteArray withHeaders(const QByteArray& message, const QByteArrayList& headerLines, const QByteArrayList& removeNames);

// text made fit for one field of a header value: every control character,
// space, comma and semicolon becomes "_"; "NONE" when empty.
QByteArray headerToken(const QByteArray& text);

// The value of the verdict header: "Yes, reason=R, version=V" for spam,
// "No, reason=R, version=V" for good mail.
QByteArray verdictValue(bool spam, const QString& reason, const char* version);
// "Unsure, error=E, version=V" when the message could not be judged.
QByteArray unsureValue(const QByteArray& error, const char* version);

}  // namespace junkwardcli
