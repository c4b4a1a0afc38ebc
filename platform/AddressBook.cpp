#include "platform/AddressBook.h"

#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

namespace platform {

namespace {

// A vCard file larger than this is not an address-book file: skipped.
constexpr qint64 kMaxCardFileSize = 16 * 1024 * 1024;
constexpr qint64 kMaxMeFileSize = 4096;
// Outside changes often come as bursts (write temporary, rename, touch): one
// notification after the folder has been quiet this long.
constexpr int kQuietMs = 250;

constexpr char kMeFileName[] = "Me";

// One content line: [group "."] name *(";" param) ":" value.
struct ContentLine {
    QString name;  // upper case, without group
    QString value;
};

bool isNameChar(QChar c) {
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-');
}

// Splits an unfolded line; false when it has no value separator outside quotes or
// a name that is not a vCard token.
bool splitContentLine(const QString& line, ContentLine* out) {
    qsizetype colon = -1;
    qsizetype nameEnd = -1;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c == QLatin1Char('"')) {
            if (nameEnd >= 0)
                quoted = !quoted;  // quotes only occur in parameter values
        } else if (!quoted && c == QLatin1Char(';') && nameEnd < 0) {
            nameEnd = i;
        } else if (!quoted && c == QLatin1Char(':')) {
            colon = i;
            break;
        }
    }
    if (colon < 0)
        return false;
    if (nameEnd < 0)
        nameEnd = colon;
    QString name = line.left(nameEnd).trimmed();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0) {
        const QString group = name.left(dot);
        if (group.isEmpty())
            return false;
        for (QChar c : group)
            if (!isNameChar(c) && c != QLatin1Char('.'))
                return false;
        name = name.mid(dot + 1);
    }
    if (name.isEmpty())
        return false;
    for (QChar c : name)
        if (!isNameChar(c))
            return false;
    out->name = name.toUpper();
    out->value = line.mid(colon + 1);
    return true;
}

// Text value escapes: "\n" "\N" "\," "\;" "\\".
QString unescapeText(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c == QLatin1Char('\\') && i + 1 < value.size()) {
            const QChar n = value[++i];
            if (n == QLatin1Char('n') || n == QLatin1Char('N'))
                out += QLatin1Char('\n');
            else
                out += n;
        } else {
            out += c;
        }
    }
    return out;
}

// Lines of the file with folded lines joined (a line that starts with a space or
// a tab continues the one before, minus that one character).
QStringList unfoldedLines(const QByteArray& bytes) {
    const QString text = QString::fromUtf8(bytes);
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    while (start <= n) {
        qsizetype end = text.indexOf(QLatin1Char('\n'), start);
        if (end < 0)
            end = n;
        QString line = text.mid(start, end - start);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!line.isEmpty() && (line[0] == QLatin1Char(' ') || line[0] == QLatin1Char('\t')) && !lines.isEmpty())
            lines.last() += line.mid(1);
        else
            lines.append(line);
        start = end + 1;
    }
    return lines;
}

QString stableIdentifier(const QString& sourceKey, int index) {
    const QByteArray key = sourceKey.toUtf8() + '\n' + QByteArray::number(index);
    return QStringLiteral("junkward-card-") +
           QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex());
}

bool sameUid(const QString& a, const QString& b) { return !a.isEmpty() && a.compare(b, Qt::CaseInsensitive) == 0; }

QByteArray readCapped(const QString& path, qint64 cap) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    if (file.size() > cap) {
        log::console(QStringLiteral("[AddressBook] Skipped %1: the file is too large").arg(path));
        return {};
    }
    return file.read(cap);
}

}  // namespace

QList<ABPerson> AddressBook::parseVCards(const QByteArray& bytes, const QString& sourceKey) {
    QList<ABPerson> people;
    bool inCard = false;
    bool broken = false;
    bool hasVersion = false;
    int index = -1;  // position of the card in the file
    ABPerson card;

    for (const QString& raw : unfoldedLines(bytes)) {
        if (raw.trimmed().isEmpty())
            continue;
        ContentLine line;
        const bool ok = splitContentLine(raw, &line);
        if (ok && line.name == QLatin1String("BEGIN") &&
            line.value.trimmed().compare(QLatin1String("VCARD"), Qt::CaseInsensitive) == 0) {
            // A card opened before the last one ended: the last one is broken.
            inCard = true;
            broken = false;
            hasVersion = false;
            card = ABPerson();
            ++index;
            continue;
        }
        if (!inCard)
            continue;  // text between cards is ignored
        if (!ok) {
            broken = true;
            continue;
        }
        if (line.name == QLatin1String("END")) {
            if (line.value.trimmed().compare(QLatin1String("VCARD"), Qt::CaseInsensitive) == 0) {
                if (!broken && hasVersion) {
                    if (card.uniqueId.isEmpty())
                        card.uniqueId = stableIdentifier(sourceKey, index);
                    people.append(card);
                }
                inCard = false;
            }
            continue;
        }
        if (line.name == QLatin1String("VERSION")) {
            const QString v = line.value.trimmed();
            if (v == QLatin1String("3.0") || v == QLatin1String("4.0"))
                hasVersion = true;
            else
                broken = true;
        } else if (line.name == QLatin1String("EMAIL")) {
            QString email = unescapeText(line.value).trimmed();
            if (email.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive))
                email = email.mid(7);
            if (!email.isEmpty())
                card.emails.append(email);
        } else if (line.name == QLatin1String("UID")) {
            card.uniqueId = unescapeText(line.value).trimmed();
        } else if (line.name == QLatin1String("FN")) {
            card.name = unescapeText(line.value).trimmed();
        }
    }
    return people;
}

struct AddressBook::Private {
    QString folder;
    QList<ABPerson> people;
    QString meUid;
    QFileSystemWatcher watcher;
    QTimer quiet;
};

AddressBook::AddressBook(const QString& folder, QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {
    d->folder = QDir::cleanPath(folder);
    d->quiet.setSingleShot(true);
    d->quiet.setInterval(kQuietMs);
    connect(&d->quiet, &QTimer::timeout, this, [this] {
        reload();
        emit changedExternally();
        LocalNotificationCenter::defaultCenter().post(QString::fromLatin1(kABDatabaseChangedExternallyNotification));
    });
    const auto changed = [this](const QString&) { d->quiet.start(); };
    connect(&d->watcher, &QFileSystemWatcher::directoryChanged, this, changed);
    connect(&d->watcher, &QFileSystemWatcher::fileChanged, this, changed);
    reload();
}

AddressBook::~AddressBook() = default;

AddressBook* AddressBook::sharedAddressBook() {
    static AddressBook* book = new AddressBook(defaultFolder());  // lives with the process
    return book;
}

QString AddressBook::defaultFolder() { return folders::userApplicationSupport() + QStringLiteral("/AddressBook"); }

QString AddressBook::folder() const { return d->folder; }

QList<ABPerson> AddressBook::people() const { return d->people; }

std::optional<ABPerson> AddressBook::me() const {
    if (d->meUid.isEmpty())
        return std::nullopt;
    for (const ABPerson& p : d->people)
        if (sameUid(p.uniqueId, d->meUid))
            return p;
    return std::nullopt;
}

void AddressBook::reload() {
    QList<ABPerson> people;
    QStringList watched;
    const QDir dir(d->folder);
    if (dir.exists()) {
        watched.append(d->folder);
        const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::Readable, QDir::Name);
        for (const QFileInfo& info : files) {
            if (info.suffix().compare(QLatin1String("vcf"), Qt::CaseInsensitive) != 0)
                continue;
            watched.append(info.absoluteFilePath());
            people.append(parseVCards(readCapped(info.absoluteFilePath(), kMaxCardFileSize), info.fileName()));
        }
        const QString mePath = dir.filePath(QString::fromLatin1(kMeFileName));
        if (QFileInfo(mePath).isFile())
            watched.append(mePath);
        const QString me = QString::fromUtf8(readCapped(mePath, kMaxMeFileSize)).section(QLatin1Char('\n'), 0, 0);
        d->meUid = me.trimmed();
    } else {
        d->meUid.clear();
        // Until the folder exists, watch the nearest folder above it that does.
        QString parent = QFileInfo(d->folder).absolutePath();
        while (!parent.isEmpty() && !QFileInfo(parent).isDir() && parent != QLatin1String("/"))
            parent = QFileInfo(parent).absolutePath();
        if (QFileInfo(parent).isDir())
            watched.append(parent);
    }
    d->people = std::move(people);

    // Replaced files (written to a temporary and renamed) lose their watch: renew.
    const QStringList current = d->watcher.files() + d->watcher.directories();
    if (!current.isEmpty())
        d->watcher.removePaths(current);
    if (!watched.isEmpty())
        d->watcher.addPaths(watched);
}

}  // namespace platform
