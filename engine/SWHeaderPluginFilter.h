#pragma once
// The common base of the header filters (white list, black list): a
// user-edited list of rules matched against the headers of a message while it
// is being parsed. A rule is a dictionary
//   {"Status": bool, "Key": header name or "Any Recipient",
//    "Method": 0 begins with | 1 contains | 2 ends with | 3 is | 4 matches,
//    "Value": text or POSIX extended regular expression}
// and every comparison ignores letter case. Header filters take part in the
// plug-in chain only formally: filter() answers "not applicable".

#include "SWPlugInFilter.h"

#include <QMap>
#include <QStringList>
#include <QVariantList>

class SADictionary;
class SAEncodedString;
class SAString;

// Header name -> its values in order, as QStrings; names are compared exactly.
using SWHeaderDictionary = QMap<QString, QStringList>;

// Header investigation results.
inline constexpr int SWHeaderInvestigationNothing = 0;
inline constexpr int SWHeaderInvestigationWhiteListed = 2;
inline constexpr int SWHeaderInvestigationBlackListed = 3;

// Match methods of a rule.
enum SWHeaderMatchMethod : int {
    SWHeaderMatchBeginsWith = 0,
    SWHeaderMatchContains = 1,
    SWHeaderMatchEndsWith = 2,
    SWHeaderMatchIs = 3,
    SWHeaderMatchRegularExpression = 4,
};

// Keys of a rule dictionary and of the header filters' "Settings".
inline constexpr const char* SWHeaderRuleStatusKey = "Status";
inline constexpr const char* SWHeaderRuleKeyKey = "Key";
inline constexpr const char* SWHeaderRuleMethodKey = "Method";
inline constexpr const char* SWHeaderRuleValueKey = "Value";
inline constexpr const char* SWHeaderAnyRecipientKey = "Any Recipient";
inline constexpr const char* SWHeaderSettingsArrayKey = "Array";
inline constexpr const char* SWHeaderSettingsLearnKey = "Learn";

class SWHeaderPluginFilter : public SWPlugInFilter {
public:
    SWHeaderPluginFilter();
    ~SWHeaderPluginFilter() override;

    // Never judges bodies: always SWFilterStatusNotApplicable.
    qint32 filter(SAMIMEPart* message) override;

    // True when an active rule of rules matches the pre-processed headers; the
    // first match ends the walk. Rules without "Status" are inactive.
    static bool headersMatchArray(const SWHeaderDictionary& headers, const QVariantList& rules);
    // True when one value of header key (exact name) matches value by method.
    static bool headersMatchKey(const SWHeaderDictionary& headers, const QString& key, int method,
                                const QString& value);
    // True when the header value V matches the rule value R by method: methods 0
    // to 3 need R of at least 2 and at most V's length in UTF-8 bytes; method 4
    // compiles R anew (an invalid pattern never matches); other methods never match.
    static bool valueMatches(const QString& headerValue, int method, const QString& ruleValue);

    // The header investigation of this filter for a message's header dictionary
    // (borrowed): SWHeaderInvestigation*. The base answers nothing.
    virtual int processHeaders(SADictionary* headers);
    // The same answer without counting anything (for explanations). The base
    // answers nothing.
    virtual int decideHeaders(SADictionary* headers);

    // True when some rule with "Key" "From" has a "Value" containing address,
    // ignoring case; rule status and method are not considered.
    bool isSenderInList(const QString& address) const;

    // Replaces the rules by "Settings" -> "Array" of preferences (none when absent).
    void updatePreferences(const QVariantMap& preferences) override;

    // Initialisation of a built-in filter: the identifier is the one given; the
    // category, version and service id come from the bundle's information
    // dictionary; preferences default to the "Engine.bundle" beside the bundle.
    SWPlugInFilter* initializeWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier) override;

    // The segments of an encoded string, each decoded with its charset; segments
    // whose charset is unknown or whose bytes do not decode are left out. Empty
    // for a null argument.
    static QString processEncodedString(SAEncodedString* encoded);
    // A copy of the header dictionary in which every value of "Subject", "To",
    // "Cc" and "From" (names ignoring case) is replaced by its decoded form, then
    // (addresses only) the bare address of the decoded form, then the value as
    // received. nullopt for no headers.
    static std::optional<SWHeaderDictionary> copyPreProcessedHeaders(SADictionary* headers);
    // The text between the last "<" before the last ">" and that ">", trimmed of
    // white space and quotes; nullopt without such a pair.
    static std::optional<QString> rawMailAddress(const QString& text);

    // A header value as received, as text: UTF-8 when the bytes are valid UTF-8,
    // otherwise ISO Latin 1 (every byte sequence reads as something).
    static QString stringFromHeaderBytes(const char* bytes, qsizetype length);
    static QString stringFromHeaderValue(SAString* value);

    const QVariantList& rules() const { return array_; }
    bool learnSender() const { return learnSender_; }

protected:
    // Learning a sender: appends {"Status": YES, "Key": "From", "Method": 1,
    // "Value": address} unless the list covers the address already, saves the
    // preferences ({"Status", "Settings": settings + "Learn" + "Array"}) and, when
    // that worked, posts "SWPlugInPreferencesDidLearn" with {"Array": rules}.
    // Does nothing when "Learn" is off or the message has no usable From address.
    void learnSenderOfMessage(SAMIMEPart* message, QVariantMap settings);

    QVariantList array_;
    bool learnSender_ = false;
};

// True when address looks like a bare mail address worth learning as a rule:
// a local part, one "@", a dotted domain, no blanks, quotes, brackets or
// control characters, at most 254 bytes. A learned rule matches every From
// containing its value, so a fragment such as ".com" must never become one.
bool SWIsLearnableAddress(const QString& address);
