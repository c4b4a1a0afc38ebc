#include "cli/MessageSource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <optional>

namespace junkwardcli {

bool looksLikeMbox(const QByteArray& bytes) { return bytes.startsWith("From "); }

bool looksLikeMessage(const QByteArray& bytes) {
    if (looksLikeMbox(bytes))
        return true;
    // A header field name: printable ASCII except ':' and space, then ':'.
    qsizetype i = 0;
    const qsizetype n = std::min<qsizetype>(bytes.size(), 1000);
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == ':')
            return i > 0;
        if (c < 33 || c > 126)
            return false;
        ++i;
    }
    return false;
}

bool isSeparatorLine(const QByteArray& line) {
    // "From <sender> <weekday> <month> <day> ..." as mail delivery writes it; a body
    // line that merely starts with "From " ("From the desk of ...") does not match.
    // Some agents write a sender with spaces in it ("From a@[10.0.0.1] [x]  Sun
    // Aug  5 09:51:15 2001"): then the date must go on to a time of day.
    static const QString date = QStringLiteral(
        "(Mon|Tue|Wed|Thu|Fri|Sat|Sun)\\s+(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)\\s+\\d");
    static const QRegularExpression form(
        QStringLiteral("^From (\\S+\\s+%1|\\S.*\\s%1\\d?\\s+\\d\\d?:\\d\\d)").arg(date));
    return form.match(QString::fromLatin1(line.left(200))).hasMatch();
}

void forEachMboxMessage(const QByteArray& bytes, const std::function<void(QByteArray&&)>& visit) {
    const QByteArrayView all(bytes);
    qsizetype start = 0;
    qsizetype pos = 0;
    const qsizetype n = bytes.size();
    bool previousLineEmpty = true;
    const auto take = [&](qsizetype end) {
        QByteArray message = bytes.mid(start, end - start);
        if (!message.trimmed().isEmpty())
            visit(std::move(message));
    };
    while (pos < n) {
        qsizetype eol = bytes.indexOf('\n', pos);
        if (eol < 0)
            eol = n;
        const bool separator = previousLineEmpty && pos > start && all.sliced(pos, eol - pos).startsWith("From ") &&
                               isSeparatorLine(bytes.mid(pos, eol - pos));
        if (separator) {
            take(pos);
            start = pos;
        }
        qsizetype lineEnd = eol;
        if (lineEnd > pos && bytes[lineEnd - 1] == '\r')
            --lineEnd;
        previousLineEmpty = (lineEnd == pos);
        pos = eol + 1;
    }
    if (start < n)
        take(n);
}

std::vector<QByteArray> splitMbox(const QByteArray& bytes) {
    std::vector<QByteArray> messages;
    forEachMboxMessage(bytes, [&](QByteArray&& m) { messages.push_back(std::move(m)); });
    return messages;
}

namespace {

// A first line that begins like an mbox separator but is neither one in the
// delivery form nor a header field ("From: ..." opens many plain messages).
bool startsWithBrokenSeparator(const QByteArray& bytes) {
    if (!bytes.startsWith("From"))
        return false;
    const QByteArray line = bytes.left(bytes.indexOf('\n'));
    if (isSeparatorLine(line))
        return false;
    return !(looksLikeMessage(line) && !looksLikeMbox(line));
}

bool readWhole(const QString& path, QByteArray* out, std::vector<SourceProblem>* problems) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problems->push_back({path, QStringLiteral("cannot be read: %1").arg(file.errorString())});
        return false;
    }
    if (file.size() > kMaxMessageFileBytes) {
        problems->push_back({path, QStringLiteral("is larger than %1 MB, skipped").arg(kMaxMessageFileBytes >> 20)});
        return false;
    }
    *out = file.readAll();
    return true;
}

// One file: a message, or with expand an mbox of several.
bool visitFile(const QString& path, bool expand, bool insideFolder, std::vector<SourceProblem>* problems,
               const std::function<void(SourceMessage&&)>& visit) {
    QByteArray bytes;
    if (!readWhole(path, &bytes, problems))
        return false;
    if (bytes.isEmpty()) {
        problems->push_back({path, QStringLiteral("is empty, skipped")});
        return true;
    }
    if (startsWithBrokenSeparator(bytes)) {
        problems->push_back({path, QStringLiteral("starts with a broken mbox separator line; read as one message")});
    }
    if (expand && looksLikeMbox(bytes)) {
        // Each message is handed on as soon as the next one is found (the
        // messages after it are still being split); one alone is named by the
        // file only.
        std::optional<QByteArray> held;
        int index = 0;
        forEachMboxMessage(bytes, [&](QByteArray&& part) {
            if (held)
                visit({QStringLiteral("%1#%2").arg(path).arg(++index), std::move(*held)});
            held = std::move(part);
        });
        if (held)
            visit({index == 0 ? path : QStringLiteral("%1#%2").arg(path).arg(++index), std::move(*held)});
        return true;
    }
    if (insideFolder && !looksLikeMessage(bytes)) {
        problems->push_back({path, QStringLiteral("is not a mail message, skipped")});
        return true;
    }
    visit({path, std::move(bytes)});
    return true;
}

QStringList filesOf(const QString& folder) {
    QDir dir(folder);
    return dir.entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::Readable, QDir::Name);
}

}  // namespace

bool forEachMessage(const QString& path, bool expandContainers, std::vector<SourceProblem>* problems,
                    const std::function<void(SourceMessage&&)>& visit) {
    const QFileInfo info(path);
    if (!info.exists()) {
        problems->push_back({path, QStringLiteral("does not exist")});
        return false;
    }
    if (!info.isDir())
        return visitFile(path, expandContainers, false, problems, visit);

    if (!expandContainers) {
        problems->push_back({path, QStringLiteral("is a folder, not a message")});
        return false;
    }
    QDir dir(path);
    if (!info.isReadable() || !info.isExecutable() || !dir.exists()) {
        problems->push_back({path, QStringLiteral("is a folder that cannot be read")});
        return false;
    }
    // A Maildir keeps delivered messages in new/ and cur/; a plain folder holds
    // message files directly.
    QStringList folders;
    if (QFileInfo(dir.filePath("cur")).isDir() || QFileInfo(dir.filePath("new")).isDir()) {
        for (const char* sub : {"new", "cur"})
            if (QFileInfo(dir.filePath(sub)).isDir())
                folders << dir.filePath(sub);
    } else {
        folders << path;
    }
    std::size_t before = problems->size();
    int found = 0;
    for (const QString& folder : folders) {
        const QStringList names = filesOf(folder);
        for (const QString& name : names) {
            if (name.startsWith('.'))
                continue;
            visitFile(QDir(folder).filePath(name), true, true, problems, [&](SourceMessage&& m) {
                ++found;
                visit(std::move(m));
            });
        }
    }
    if (found == 0 && problems->size() == before)
        problems->push_back({path, QStringLiteral("holds no messages")});
    return true;
}

}  // namespace junkwardcli
