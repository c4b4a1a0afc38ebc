#include "engine/JKW_LogDetails.h"

#include "platform/FileWriting.h"
#include "platform/Folders.h"
#include "platform/Log.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kFolderName = QStringLiteral("Junkward Log Details");
const QString kIndexName = QStringLiteral("Details.json");
const QString kSourceSuffix = QStringLiteral(".eml");
// An index larger than this is not a file the engine wrote.
constexpr qint64 kMaximumIndexBytes = 64LL * 1024 * 1024;

const QString kBadIndex = QStringLiteral("[JKW_LogDetails] %1 is not a log details index; it is ignored");
const QString kWriteError = QStringLiteral("[JKW_LogDetails] Unable to write %1");


// Writes path through a temporary file beside it (mode 0600) and a rename, so
// a reader sees the old file or the new one, never a part. No fsync: after a
// power cut a file may come back empty or short, which readers refuse (the
// index does not parse, a source fails its SHA-1), and the engine's judging
// never waits for the disk.
bool writeAtomically(const QString& path, const QByteArray& bytes) {
    return platform::files::replaceFile(path, bytes, 0600, false);
}

QString sha1Hex(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

}  // namespace

JKW_LogDetails::JKW_LogDetails(const QString& folder) : folder_(folder) {}

QString JKW_LogDetails::defaultFolder() { return platform::folders::userCaches() + QLatin1Char('/') + kFolderName; }

QString JKW_LogDetails::indexPath() const { return folder_ + QLatin1Char('/') + kIndexName; }

QString JKW_LogDetails::sourceFileName(const QString& key) { return sha1Hex(key.toUtf8()) + kSourceSuffix; }

QHash<QString, QVariantMap> JKW_LogDetails::readIndex(const QString& path) {
    QHash<QString, QVariantMap> entries;
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return entries;
    if (file.size() > kMaximumIndexBytes) {
        platform::log::console(kBadIndex.arg(path));
        return entries;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    const QJsonObject root = document.object();
    if (error.error != QJsonParseError::NoError || !document.isObject() ||
        root.value(QLatin1String(JKW_DETAILS_FORMAT_KEY)).toString() != QLatin1String(JKW_DETAILS_FORMAT) ||
        !root.value(QLatin1String(JKW_DETAILS_RECORDS_KEY)).isObject()) {
        platform::log::console(kBadIndex.arg(path));
        return entries;
    }
    const QJsonObject records = root.value(QLatin1String(JKW_DETAILS_RECORDS_KEY)).toObject();
    for (auto it = records.constBegin(); it != records.constEnd(); ++it)
        if (it.value().isObject())
            entries.insert(it.key(), it.value().toObject().toVariantMap());
    return entries;
}

bool JKW_LogDetails::entryHasSource(const QVariantMap& entry) {
    return entry.value(QLatin1String(JKW_DETAILS_SOURCE_KEY)).typeId() == QMetaType::QVariantMap;
}

std::optional<JKW_KeptSource> JKW_LogDetails::readSource(const QString& folder, const QVariantMap& entry) {
    if (!entryHasSource(entry))
        return std::nullopt;
    const QVariantMap source = entry.value(QLatin1String(JKW_DETAILS_SOURCE_KEY)).toMap();
    const QString name = source.value(QLatin1String(JKW_DETAILS_SOURCE_FILE_KEY)).toString();
    const qint64 size = source.value(QLatin1String(JKW_DETAILS_SOURCE_BYTES_KEY)).toLongLong();
    // Only a plain name of this folder: an index edited to point elsewhere reads nothing.
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')) || size <= 0 ||
        size > kMaximumMessageBytes)
        return std::nullopt;
    const QString path = folder + QLatin1Char('/') + name;
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    JKW_KeptSource kept;
    kept.bytes = file.read(size + 1);
    if (kept.bytes.size() != size ||
        sha1Hex(kept.bytes) != source.value(QLatin1String(JKW_DETAILS_SOURCE_SHA1_KEY)).toString())
        return std::nullopt;
    kept.carriageReturns = source.value(QLatin1String(JKW_DETAILS_SOURCE_CR_KEY)).toBool();
    return kept;
}

void JKW_LogDetails::load() {
    if (loaded_)
        return;
    loaded_ = true;
    entries_ = readIndex(indexPath());
}

QVariantMap JKW_LogDetails::entry(const QString& key) {
    load();
    return entries_.value(key);
}

bool JKW_LogDetails::commit(const std::vector<std::pair<QString, JKW_LogDetail>>& details, const QStringList& liveKeys) {
    load();
    if (!platform::folders::ensureFolder(folder_, 0700)) {
        platform::log::console(kWriteError.arg(folder_));
        return false;
    }
    // The latest detail of each key.
    QHash<QString, const JKW_LogDetail*> latest;
    for (const auto& [key, detail] : details)
        if (!detail.explanation.isEmpty())
            latest.insert(key, &detail);

    // Walked from the newest record: explanations for every live key, sources
    // while the caps allow.
    QHash<QString, QVariantMap> kept;
    kept.reserve(liveKeys.size());
    int sources = 0;
    qint64 sourceBytes = 0;
    for (qsizetype i = liveKeys.size() - 1; i >= 0; --i) {
        const QString& key = liveKeys.at(i);
        if (kept.contains(key))
            continue;
        QVariantMap entry;
        std::optional<QByteArray> fresh;
        bool carriageReturns = false;
        if (const JKW_LogDetail* detail = latest.value(key)) {
            entry = detail->explanation;
            // Formatted here rather than while judging.
            if (detail->date.isValid())
                entry.insert(QLatin1String(JKW_DETAILS_DATE_KEY), detail->date.toString(Qt::ISODateWithMs));
            fresh = detail->source;
            carriageReturns = detail->carriageReturns;
        } else if (const auto it = entries_.constFind(key); it != entries_.constEnd()) {
            entry = *it;
        } else {
            continue;
        }
        const qint64 size = fresh ? fresh->size()
                                  : entry.value(QLatin1String(JKW_DETAILS_SOURCE_KEY))
                                        .toMap()
                                        .value(QLatin1String(JKW_DETAILS_SOURCE_BYTES_KEY))
                                        .toLongLong();
        const bool hasSource = fresh ? !fresh->isEmpty() : entryHasSource(entry);
        if (hasSource && size > 0 && size <= kMaximumMessageBytes && sources < kMaximumSources &&
            sourceBytes + size <= kMaximumSourceBytes) {
            if (fresh) {
                const QString name = sourceFileName(key);
                if (writeAtomically(folder_ + QLatin1Char('/') + name, *fresh)) {
                    entry.insert(QLatin1String(JKW_DETAILS_SOURCE_KEY),
                                 QVariantMap{{QLatin1String(JKW_DETAILS_SOURCE_FILE_KEY), name},
                                             {QLatin1String(JKW_DETAILS_SOURCE_BYTES_KEY), size},
                                             {QLatin1String(JKW_DETAILS_SOURCE_SHA1_KEY), sha1Hex(*fresh)},
                                             {QLatin1String(JKW_DETAILS_SOURCE_CR_KEY), carriageReturns}});
                } else {
                    platform::log::console(kWriteError.arg(name));
                    entry.remove(QLatin1String(JKW_DETAILS_SOURCE_KEY));
                }
            }
            if (entryHasSource(entry)) {
                ++sources;
                sourceBytes += size;
            }
        } else {
            entry.remove(QLatin1String(JKW_DETAILS_SOURCE_KEY));
        }
        kept.insert(key, entry);
    }
    entries_ = std::move(kept);
    if (!writeIndex())
        return false;
    removeUnnamedFiles();
    return true;
}

bool JKW_LogDetails::clear() {
    loaded_ = true;
    entries_.clear();
    if (!platform::folders::isFolder(folder_))
        return true;
    const bool written = writeIndex();
    removeUnnamedFiles();
    return written;
}

bool JKW_LogDetails::dropSources() {
    load();
    bool any = false;
    for (QVariantMap& entry : entries_)
        any = entry.remove(QLatin1String(JKW_DETAILS_SOURCE_KEY)) > 0 || any;
    if (!any)
        return true;
    const bool written = writeIndex();
    if (written)
        removeUnnamedFiles();
    return written;
}

bool JKW_LogDetails::writeIndex() {
    QJsonObject records;
    for (auto it = entries_.constBegin(); it != entries_.constEnd(); ++it)
        records.insert(it.key(), QJsonObject::fromVariantMap(*it));
    const QJsonObject root{{QLatin1String(JKW_DETAILS_FORMAT_KEY), QLatin1String(JKW_DETAILS_FORMAT)},
                           {QLatin1String(JKW_DETAILS_RECORDS_KEY), records}};
    if (!platform::folders::ensureFolder(folder_, 0700) ||
        !writeAtomically(indexPath(), QJsonDocument(root).toJson(QJsonDocument::Compact))) {
        platform::log::console(kWriteError.arg(indexPath()));
        return false;
    }
    return true;
}

// Sources the index no longer names and temporary files of cut writes.
void JKW_LogDetails::removeUnnamedFiles() {
    QSet<QString> named;
    for (const QVariantMap& entry : std::as_const(entries_))
        if (entryHasSource(entry))
            named.insert(entry.value(QLatin1String(JKW_DETAILS_SOURCE_KEY))
                             .toMap()
                             .value(QLatin1String(JKW_DETAILS_SOURCE_FILE_KEY))
                             .toString());
    const QDir dir(folder_);
    const QStringList files = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : files) {
        if (name == kIndexName || named.contains(name))
            continue;
        if (name.endsWith(kSourceSuffix) || name.startsWith(QLatin1Char('.')))
            QFile::remove(dir.filePath(name));
    }
}
