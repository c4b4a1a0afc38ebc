#include "SievraFilteringChecks_p.h"

#include "JKW_LogManager.h"
#include "SWPlugInFilter.h"

#include "mailparse/SAMessageID.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SAString.h"

namespace sievra {

namespace {

// Value of the first header of that name (case-insensitive) as raw bytes.
std::optional<QByteArray> headerBytes(SAMIMEPart* message, const char* name) {
    SAString key(name);
    SAString* value = message->headerValueForKey(&key);
    if (!value)
        return std::nullopt;
    return QByteArray(value->cString() ? value->cString() : "", static_cast<qsizetype>(value->length()));
}

// The structural and HTML tricks; the first that hits decides.
const char* structuralTrick(SAMIMEPart* message, qint32* verdict) {
    *verdict = SWFilterStatusSpam;
    if (message->_contentType == SAMIMETypeMultipart && message->_subtype == SAMIMESubtypeSigned) {
        *verdict = SWFilterStatusLegitimate;
        return JKW_LOG_FILTER_KEY_INTERNAL_SIGNED;
    }
    if (message->usesFloatLeftTrick())
        return JKW_LOG_FILTER_KEY_INTERNAL_LAYOUT;
    if (message->usesWhiteTrick() || message->usesSmallFontTrick())
        return JKW_LOG_FILTER_KEY_INTERNAL_INVISIBLE;
    if (message->usesTooManyWrongTags())
        return JKW_LOG_FILTER_KEY_INTERNAL_TAGS;
    if (message->usesTooManySpanDisplayNone())
        return JKW_LOG_FILTER_KEY_INTERNAL_LAYOUT;
    if (message->hasStrangeHierarchy())
        return JKW_LOG_FILTER_KEY_INTERNAL_HIERARCHY;
    if (message->usesSpamCharset())
        return JKW_LOG_FILTER_KEY_INTERNAL_CHARSET;
    if (message->usesAfterHTML())
        return JKW_LOG_FILTER_KEY_INTERNAL_AFTERHTML;
    if (message->hasBoundaryForSinglePart())
        return JKW_LOG_FILTER_KEY_INTERNAL_HIERARCHY;
    *verdict = SWFilterStatusUndecided;
    return nullptr;
}

bool equalsIgnoringCase(const std::optional<QByteArray>& value, const char* expected) {
    return value && value->compare(QByteArray(expected), Qt::CaseInsensitive) == 0;
}

}  // namespace

bool hasSpamMark(const SpamMarkHeaders& headers) {
    if (headers.subject) {
        for (const char* mark : kSpamSubjectMarks) {
            if (headers.subject->startsWith(QLatin1String(mark), Qt::CaseSensitive))
                return true;
        }
    }
    return equalsIgnoringCase(headers.xSpamFlag, "YES") || equalsIgnoringCase(headers.xDtiSpamFlag, "YES") ||
           equalsIgnoringCase(headers.xMeSpamLevel, "high");
}

bool hasForgedOutlookMessageID(const std::optional<QByteArray>& messageID, const std::optional<QByteArray>& xMailer) {
    if (!messageID || !xMailer)
        return false;
    if (!xMailer->toLower().contains("outlook"))
        return false;
    const QByteArray& value = *messageID;
    if (value.toLower().contains("@localhost"))
        return false;

    const qsizetype at = value.indexOf('@');
    if (at < 0)
        return true;
    // A host without a dot is malformed, unless it is the plain computer
    // name under which Outlook really writes its Message-IDs.
    if (value.indexOf('.', at + 1) < 0)
        return !SAMessageID::isComputerNameID(std::string_view(value.constData(), size_t(value.size())));
    const qsizetype close = value.lastIndexOf('>');
    if (close < 0)
        return false;
    const qsizetype dot = close > 0 ? value.lastIndexOf('.', close - 1) : -1;
    if (dot < 0)
        return false;
    // Characters after the dot, up to but not including the value's last one:
    // the top-level domain when the value ends with the closing bracket.
    const qsizetype topLevel = (value.size() - 1) - (dot + 1);
    return topLevel == 0 || topLevel == 1;
}

BuiltInCheckResult runBuiltInChecks(SAMIMEPart* message, const BuiltInCheckSwitches& switches,
                                    const std::optional<QString>& subject,
                                    const std::function<bool(const QString&)>& advertisementMatches) {
    BuiltInCheckResult result;
    result.code = structuralTrick(message, &result.verdict);
    if (result.code)
        return result;

    auto hit = [&](const char* code) {
        result.code = code;
        result.verdict = SWFilterStatusSpam;
    };
    // HTML sent in base64, then Asian or Cyrillic charsets (whose code replaces it).
    if (switches.htmlBase64 && message->useTextBase64Encoding())
        hit(JKW_LOG_FILTER_KEY_HTML64);
    if (switches.asianOrCyrillic && message->containsExoticCharset())
        hit(JKW_LOG_FILTER_KEY_INTERNAL_ASIAN_ENCODING);
    // Japanese, or anything but Japanese.
    if (!result.code && (switches.japanese || switches.nonJapanese)) {
        const bool japanese = message->containsJapaneseCharset();
        if (japanese && switches.japanese)
            hit(JKW_LOG_FILTER_KEY_INTERNAL_JAPANESE_ENCODING);
        else if (!japanese && switches.nonJapanese)
            hit(JKW_LOG_FILTER_KEY_INTERNAL_NON_JAPANESE_ENCODING);
    }
    // Spam marks of an upstream filter.
    if (!result.code && switches.trustSpamHeaders) {
        result.eligibleForTraining = true;
        SpamMarkHeaders marks;
        marks.subject = subject;
        marks.xSpamFlag = headerBytes(message, "X-Spam-Flag");
        marks.xDtiSpamFlag = headerBytes(message, "X-DTI-Spam-Flag");
        marks.xMeSpamLevel = headerBytes(message, "X-me-spamlevel");
        if (hasSpamMark(marks))
            hit(JKW_LOG_FILTER_KEY_INTERNAL_TRUST_HEADERS);
    }
    // A malformed Message-ID from a client claiming to be Outlook.
    if (!result.code && switches.incorrectMessageID &&
        hasForgedOutlookMessageID(headerBytes(message, "Message-ID"), headerBytes(message, "X-Mailer")))
        hit(JKW_LOG_FILTER_KEY_INTERNAL_INCORRECT_MESSAGEID);
    // Advertisement subject.
    if (!result.code && switches.advertisementSubject && subject) {
        result.eligibleForTraining = true;
        if (advertisementMatches && advertisementMatches(*subject))
            hit(JKW_LOG_FILTER_KEY_INTERNAL_ADV_SUBJECT);
    }
    return result;
}

QString logText(const QString& text, qsizetype maxLength) {
    QString result = text.size() > maxLength ? text.left(maxLength) : text;
    // Never cut a surrogate pair in half.
    if (text.size() > maxLength && !result.isEmpty() && result.back().isHighSurrogate())
        result.chop(1);
    for (QChar& c : result) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || u == 0xFFFE || u == 0xFFFF)
            c = QLatin1Char(' ');
    }
    // A lone surrogate cannot be written as UTF-8 either.
    for (qsizetype i = 0; i < result.size(); ++i) {
        QChar c = result.at(i);
        if (c.isHighSurrogate() && i + 1 < result.size() && result.at(i + 1).isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate())
            result[i] = QChar(0xFFFD);
    }
    if (text.size() > maxLength)
        result.append(QChar(0x2026));
    return result;
}

std::optional<QString> logMessageID(const std::optional<QByteArray>& messageID) {
    if (!messageID)
        return std::nullopt;
    const QByteArray trimmed = messageID->trimmed();
    if (trimmed.isEmpty() || trimmed.size() > kMessageIDMaxLength)
        return std::nullopt;
    for (char c : trimmed) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F)
            return std::nullopt;
    }
    return QString::fromLatin1(trimmed);
}

}  // namespace sievra
