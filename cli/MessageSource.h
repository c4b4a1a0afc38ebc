#pragma once
// Where the messages handed to the command-line tool come from: single message
// files, mbox files (every message in them) and folders (a Maildir's cur/ and new/,
// or every regular file of a plain folder).

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace junkwardcli {

struct SourceMessage {
    QString origin;    // "file", or "file#3" for the third message of an mbox
    QByteArray bytes;  // the raw message, mbox separator line included
};

struct SourceProblem {
    QString origin;
    QString text;  // a sentence for the user
};

// True when bytes open like an mbox file: "From " at the very start.
bool looksLikeMbox(const QByteArray& bytes);

// True when bytes open like a message: a header line "Name: value" (or an mbox
// separator) within the first line.
bool looksLikeMessage(const QByteArray& bytes);

// True for an mbox separator line: "From <sender> <weekday> <month> <day> ...".
bool isSeparatorLine(const QByteArray& line);

// Splits an mbox file into its messages. A separator is a separator line at the
// start of the file, or after an empty line. Each message keeps its
// separator line (the engine drops it). Empty messages are left out.
std::vector<QByteArray> splitMbox(const QByteArray& bytes);
// The same, each message handed to visit as soon as it is split off.
void forEachMboxMessage(const QByteArray& bytes, const std::function<void(QByteArray&&)>& visit);

// Files larger than this are refused rather than read into memory.
inline constexpr qint64 kMaxMessageFileBytes = 512ll * 1024 * 1024;

// The messages of one path, handed one at a time to visit (a folder's files are
// read one after the other). With expandContainers, an mbox file yields each of
// its messages and a folder each message file in it (a Maildir's new/ and cur/);
// without, a path is one message and a folder is an error. Problems (a missing
// file, an unreadable folder, a file that is not a message, an empty file) are
// reported through problems and the rest goes on; returns false when the path
// itself could not be read.
bool forEachMessage(const QString& path, bool expandContainers, std::vector<SourceProblem>* problems,
                    const std::function<void(SourceMessage&&)>& visit);

}  // namespace junkwardcli
