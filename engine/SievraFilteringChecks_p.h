#pragma once
// The header tests of the filtering pipeline that need nothing but header
// values: spam marks left by an upstream filter, the forged Message-ID of a
// client claiming to be Outlook, and the cleaning of texts that go into the
// activity log. Kept apart from the controller so they can be exercised alone.

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

class SAMIMEPart;

namespace sievra {

// Subject prefixes by which upstream filters mark spam, tested in this order,
// case-sensitively, against the decoded and trimmed subject.
inline constexpr const char* kSpamSubjectMarks[] = {"*** SPAM ***", "Spam:", "***Bulk-SPAM***", "***SPAM***", "[SPAM]"};

struct SpamMarkHeaders {
    std::optional<QString> subject;          // decoded, trimmed; nullopt without Subject
    std::optional<QByteArray> xSpamFlag;     // "X-Spam-Flag"
    std::optional<QByteArray> xDtiSpamFlag;  // "X-DTI-Spam-Flag"
    std::optional<QByteArray> xMeSpamLevel;  // "X-me-spamlevel"
};

// True when an upstream filter marked the message as spam: a marked subject,
// or one of the flag headers holding exactly "YES" ("high" for the level),
// ignoring case.
bool hasSpamMark(const SpamMarkHeaders& headers);

// True when the message claims to come from Outlook (X-Mailer contains
// "Outlook", ignoring case) and its Message-ID is malformed: no "@", nothing
// dotted after the "@" (a plain computer name excepted, SAMessageID.h), or a
// top-level domain of fewer than two characters before the closing ">". A
// Message-ID naming "@localhost" is never malformed.
bool hasForgedOutlookMessageID(const std::optional<QByteArray>& messageID, const std::optional<QByteArray>& xMailer);

// The switches of the checks that run only when the "General" settings ask.
struct BuiltInCheckSwitches {
    bool htmlBase64 = false;           // "Filter HTML Base 64"
    bool asianOrCyrillic = false;      // "Filter Asiatic or Cyrillic Encodings"
    bool japanese = false;             // "Filter Japanese Encodings"
    bool nonJapanese = false;          // "Filter non Japanese Encodings"
    bool trustSpamHeaders = true;      // "Trust Spam Headers"
    bool incorrectMessageID = true;    // "Incorrect Message-ID"
    bool advertisementSubject = true;  // "ADV Subject"
};

struct BuiltInCheckResult {
    const char* code = nullptr;  // the log reason of the deciding check; null when none decided
    qint32 verdict = 2;          // undecided unless a check decided
    // The upstream spam marks or the advertisement subject were looked at:
    // the message may be offered to automatic training.
    bool eligibleForTraining = false;
};

// The engine's built-in checks of a parsed, unlisted message, in their fixed
// order: the structural and HTML tricks first (the first hit decides), then
// the switchable charset, spam-mark, Message-ID and subject checks. subject is
// the decoded, trimmed subject (nullopt without one); advertisementMatches
// tests it against the advertisement pattern.
BuiltInCheckResult runBuiltInChecks(SAMIMEPart* message, const BuiltInCheckSwitches& switches,
                                    const std::optional<QString>& subject,
                                    const std::function<bool(const QString&)>& advertisementMatches);

// Text fit for a log record: control characters (which an XML property list
// cannot hold) become spaces, and anything beyond maxLength characters is cut
// and marked with an ellipsis, so one hostile header cannot bloat the log.
QString logText(const QString& text, qsizetype maxLength);

// Longest "From" or "Subject" kept in a log record.
inline constexpr qsizetype kLogTextMaxLength = 1000;
// Longest Message-ID taken as the key of a log record (the RFC line limit);
// a longer one, or one that is not printable ASCII, counts as missing.
inline constexpr qsizetype kMessageIDMaxLength = 998;

// The "Msg-ID" of a log record from the raw Message-ID header bytes: read as
// ASCII and trimmed; nullopt when absent, empty, too long or not printable ASCII.
std::optional<QString> logMessageID(const std::optional<QByteArray>& messageID);

}  // namespace sievra
