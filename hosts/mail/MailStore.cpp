#include "hosts/mail/MailStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mailhost {

namespace {

const QString kMboxSuffix = QStringLiteral(".mbox");

QString errnoText() { return QString::fromLocal8Bit(std::strerror(errno)); }

// Renames without replacing an existing file.
bool renameNoReplace(const QString& from, const QString& to) {
    return ::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD, QFile::encodeName(to).constData(),
                       RENAME_NOREPLACE) == 0;
}

bool isDirectory(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A valid mailbox name: one path component, no hidden names.
bool validName(const QString& name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.startsWith(QLatin1Char('.')) &&
           !name.contains(QChar(0));
}

QString baseName(const QString& fileName) {
    const int colon = fileName.indexOf(QLatin1Char(':'));
    return colon < 0 ? fileName : fileName.left(colon);
}

}  // namespace

MailStore::MailStore(const QString& mailFolder) : mailFolder_(mailFolder) {}

QString MailStore::mailboxPath(const QString& name) const {
    return mailboxesFolder() + QLatin1Char('/') + name + kMboxSuffix;
}

QStringList MailStore::mailboxes() const {
    QStringList names;
    const QFileInfoList entries = QDir(mailboxesFolder()).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.fileName().endsWith(kMboxSuffix) && !entry.isSymLink())
            names << entry.fileName().chopped(kMboxSuffix.size());
    }
    if (names.removeAll(QLatin1String(kInboxName)))
        names.prepend(QLatin1String(kInboxName));
    return names;
}

bool MailStore::ensureMailbox(const QString& name, QString* error) const {
    if (!validName(name)) {
        if (error)
            *error = QStringLiteral("\"%1\" is not a mailbox name").arg(name);
        return false;
    }
    const QString box = mailboxPath(name);
    for (const QString& path : {mailFolder_, mailboxesFolder(), box, box + QStringLiteral("/cur"),
                                box + QStringLiteral("/new"), box + QStringLiteral("/tmp")}) {
        if (isDirectory(path))
            continue;
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink() ||
            ::mkdir(QFile::encodeName(path).constData(), 0700) != 0) {
            if (isDirectory(path))
                continue;  // made by another thread meanwhile
            if (error)
                *error = QStringLiteral("%1 is not a folder").arg(path);
            return false;
        }
    }
    return true;
}

QStringList MailStore::messages(const QString& name) const {
    QStringList paths;
    for (const char* sub : {"new", "cur"}) {
        const QString folder = mailboxPath(name) + QLatin1Char('/') + QLatin1String(sub);
        const QStringList files = QDir(folder).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString& f : files)
            paths << folder + QLatin1Char('/') + f;
    }
    return paths;
}

QString MailStore::mailboxOfMessage(const QString& path) const {
    const QFileInfo info(path);
    const QString sub = info.dir().dirName();
    if (sub != QLatin1String("new") && sub != QLatin1String("cur"))
        return {};
    QDir box = info.dir();
    if (!box.cdUp() || !box.dirName().endsWith(kMboxSuffix))
        return {};
    const QString parent = QFileInfo(box.absolutePath()).absolutePath();
    if (QFileInfo(parent).canonicalFilePath() != QFileInfo(mailboxesFolder()).canonicalFilePath())
        return {};
    return box.dirName().chopped(kMboxSuffix.size());
}

QString MailStore::mailboxForReference(const QString& reference) const {
    QString name;
    if (reference.startsWith(QLatin1String("local:///"))) {
        name = QUrl::fromPercentEncoding(reference.mid(9).toUtf8());
    } else {
        QString path = reference;
        if (path.startsWith(QLatin1String("~/Library/Mail/")))
            path = mailFolder_ + path.mid(14);
        const QFileInfo info(path);
        if (!info.fileName().endsWith(kMboxSuffix) ||
            QDir::cleanPath(info.absolutePath()) != QDir::cleanPath(mailboxesFolder()))
            return {};
        name = info.fileName().chopped(kMboxSuffix.size());
    }
    return validName(name) ? name : QString();
}

QString MailStore::uniqueName() {
    static std::atomic<quint64> counter{0};
    static const QString host = [] {
        char name[256] = {};
        ::gethostname(name, sizeof name - 1);
        return QString::fromLocal8Bit(name)
            .replace(QLatin1Char('/'), QStringLiteral("\\057"))
            .replace(QLatin1Char(':'), QStringLiteral("\\072"));
    }();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    return QStringLiteral("%1.M%2P%3Q%4.%5")
        .arg(now / 1000)
        .arg((now % 1000) * 1000)
        .arg(::getpid())
        .arg(++counter)
        .arg(host.isEmpty() ? QStringLiteral("localhost") : host);
}

QString MailStore::flagsOf(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const int at = name.indexOf(QLatin1String(":2,"));
    return at < 0 ? QString() : name.mid(at + 3);
}

bool MailStore::readMessage(const QString& path, QByteArray* data) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaximumMessageBytes)
        return false;
    // Read in pieces: the buffer grows with what the file holds, never to the limit.
    data->clear();
    data->reserve(file.size());
    char piece[64 * 1024];
    for (;;) {
        const qint64 n = file.read(piece, sizeof piece);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (data->size() + n > kMaximumMessageBytes)
            return false;
        data->append(piece, n);
    }
}

QString MailStore::deliverData(const QByteArray& data, const QString& mailbox, QString* error) const {
    if (!ensureMailbox(mailbox, error))
        return {};
    const QString name = uniqueName();
    const QString box = mailboxPath(mailbox);
    const QString tmp = box + QStringLiteral("/tmp/") + name;
    const QString target = box + QStringLiteral("/new/") + name;
    const QByteArray tmpName = QFile::encodeName(tmp);
    const int fd = ::open(tmpName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(tmp, errnoText());
        return {};
    }
    qint64 written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    const bool ok = written == data.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || !renameNoReplace(tmp, target)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(target, errnoText());
        ::unlink(tmpName.constData());
        return {};
    }
    return target;
}

QString MailStore::deliverFile(const QString& source, const QString& mailbox, QString* error) const {
    QByteArray data;
    if (!QFileInfo(source).isFile() || !readMessage(source, &data)) {
        if (error)
            *error = QStringLiteral("%1: not a readable message file").arg(source);
        return {};
    }
    return deliverData(data, mailbox, error);
}

QString MailStore::moveMessage(const QString& path, const QString& mailbox, QString* error) const {
    if (!ensureMailbox(mailbox, error))
        return {};
    const QString flags = flagsOf(path);
    const QString base = baseName(QFileInfo(path).fileName());
    const QString folder = mailboxPath(mailbox) + QStringLiteral("/cur/");
    QString target = folder + base + QStringLiteral(":2,") + flags;
    if (renameNoReplace(path, target))
        return target;
    if (errno == EEXIST) {
        target = folder + uniqueName() + QStringLiteral(":2,") + flags;
        if (renameNoReplace(path, target))
            return target;
    }
    if (error)
        *error = QStringLiteral("%1: %2").arg(path, errnoText());
    return {};
}

QString MailStore::copyMessage(const QString& path, const QString& mailbox, QString* error) const {
    return deliverFile(path, mailbox, error);
}

QString MailStore::addFlags(const QString& path, const QString& flags) const {
    QString merged = flagsOf(path);
    for (QChar c : flags) {
        if (!merged.contains(c))
            merged += c;
    }
    std::sort(merged.begin(), merged.end());
    const QFileInfo info(path);
    QDir box = info.dir();
    box.cdUp();
    const QString target =
        box.path() + QStringLiteral("/cur/") + baseName(info.fileName()) + QStringLiteral(":2,") + merged;
    if (target == path)
        return path;
    return renameNoReplace(path, target) ? target : path;
}

int MailStore::deleteMessagesOlderThan(const QString& mailbox, int days) const {
    const QDateTime limit = QDateTime::currentDateTimeUtc().addDays(-qint64(std::max(days, 1)));
    int removed = 0;
    for (const QString& path : messages(mailbox)) {
        if (QFileInfo(path).lastModified().toUTC() < limit && QFile::remove(path))
            ++removed;
    }
    return removed;
}

int MailStore::emptyMailbox(const QString& mailbox) const {
    int removed = 0;
    for (const QString& path : messages(mailbox)) {
        if (QFile::remove(path))
            ++removed;
    }
    return removed;
}

}  // namespace mailhost
