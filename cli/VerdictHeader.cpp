#include "cli/VerdictHeader.h"

#include <QString>

namespace junkwardcli {

namespace {

constexpr char kMboxSeparatorStart[] = "From ";

}  // namespace

QByteArray headerToken(const QByteArray& text) {
    QByteArray token;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        token += (u > 32 && u < 127 && c != ',' && c != ';') ? c : '_';
    }
    return token.isEmpty() ? QByteArray("NONE") : token;
}

namespace {

// The name of a header line ("Name:" or "Name :"), empty when the line is not one.
QByteArray headerName(const char* line, qsizetype length) {
    qsizetype colon = 0;
    while (colon < length && line[colon] != ':')
        ++colon;
    if (colon == length || colon == 0)
        return {};
    qsizetype end = colon;
    while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\t'))
        --end;
    for (qsizetype i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c <= 32 || c >= 127)
            return {};
    }
    return QByteArray(line, end);
}

}  // namespace

QByteArray lineEndOf(const QByteArray& message) {
    const qsizetype cr = message.indexOf('\r');
    const qsizetype lf = message.indexOf('\n');
    if (cr >= 0 && (lf < 0 || cr < lf))
        return lf == cr + 1 ? QByteArray("\r\n") : QByteArray("\r");
    return QByteArray("\n");
}

QByteArray withHeaders(const QByteArray& message, const QByteArrayList& headerLines,
                       const QByteArrayList& removeNames) {
    const QByteArray eol = lineEndOf(message);
    // Lines are cut at their last line-end byte ("\n", or "\r" in a message of
    // carriage returns); a CR before an LF belongs to the line's end.
    const char cut = eol == "\r" ? '\r' : '\n';

    // 1. An mbox separator line stays first.
    qsizetype start = 0;
    if (message.startsWith(kMboxSeparatorStart)) {
        const qsizetype end = message.indexOf(cut);
        if (end >= 0)
            start = end + 1;
    }

    QByteArray out;
    out.reserve(message.size() + 256);
    out.append(message.constData(), start);
    for (const QByteArray& line : headerLines)
        out += line + eol;

    // 2. The header block, line by line, without the removed headers.
    bool removing = false;
    qsizetype pos = start;
    while (pos < message.size()) {
        qsizetype next = message.indexOf(cut, pos);
        next = next < 0 ? message.size() : next + 1;
        const char* line = message.constData() + pos;
        qsizetype content = next - pos;
        while (content > 0 && (line[content - 1] == '\n' || line[content - 1] == '\r'))
            --content;
        if (content == 0)
            break;  // the empty line: the body follows
        if (line[0] == ' ' || line[0] == '\t') {
            if (!removing)
                out.append(line, next - pos);
        } else {
            const QByteArray name = headerName(line, content);
            removing = false;
            for (const QByteArray& remove : removeNames)
                removing = removing || (!name.isEmpty() && name.compare(remove, Qt::CaseInsensitive) == 0);
            if (!removing)
                out.append(line, next - pos);
        }
        pos = next;
    }

    // 3. The empty line and the body as they are.
    out.append(message.constData() + pos, message.size() - pos);
    return out;
}

QByteArray verdictValue(bool spam, const QString& reason, const char* version) {
    return QByteArray(spam ? "Yes" : "No") + ", reason=" + headerToken(reason.toUtf8()) + ", version=" + version;
}

QByteArray unsureValue(const QByteArray& error, const char* version) {
    return "Unsure, error=" + headerToken(error) + ", version=" + version;
}

}  // namespace junkwardcli
