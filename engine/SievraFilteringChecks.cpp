#include "SievraFilteringChecks_p.h"

namespace sievra {

namespace {

bool equalsIgnoringCase(const std::optional<QByteArray>& value, const char* expected)
{
    return value && value->compare(QByteArray(expected), Qt::CaseInsensitive) == 0;
}

}  // namespace

bool hasSpamMark(const SpamMarkHeaders& headers)
{
    if (headers.subject) {
        for (const char* mark : kSpamSubjectMarks) {
            if (headers.subject->startsWith(QLatin1String(mark), Qt::CaseSensitive))
                return true;
        }
    }
    return equalsIgnoringCase(headers.xSpamFlag, "YES") || equalsIgnoringCase(headers.xDtiSpamFlag, "YES")
        || equalsIgnoringCase(headers.xMeSpamLevel, "high");
}

bool hasForgedOutlookMessageID(const std::optional<QByteArray>& messageID, const std::optional<QByteArray>& xMailer)
{
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
    if (value.indexOf('.', at + 1) < 0)
        return true;
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

QString logText(const QString& text, qsizetype maxLength)
{
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

std::optional<QString> logMessageID(const std::optional<QByteArray>& messageID)
{
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
