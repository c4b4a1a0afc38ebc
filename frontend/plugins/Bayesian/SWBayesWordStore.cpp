#include "SWBayesWordStore.h"

#include "bayes/SWDataBase.h"
#include "platform/Folders.h"
#include "platform/PropertyList.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <lmdb.h>

namespace {

QString folderOr(const QString& folder) { return folder.isEmpty() ? platform::folders::userCaches() : folder; }

// Closes the environment and aborts the transaction on every path.
struct ReadOnlyStore {
    MDB_env* env = nullptr;
    MDB_txn* txn = nullptr;
    MDB_cursor* cursor = nullptr;
    ~ReadOnlyStore() {
        if (cursor)
            mdb_cursor_close(cursor);
        if (txn)
            mdb_txn_abort(txn);
        if (env)
            mdb_env_close(env);
    }
};

}  // namespace

QString SWBayesWordStore::wordFromKey(const QByteArray& key) {
    QByteArray bytes = key.left(key.indexOf('\0') < 0 ? key.size() : key.indexOf('\0'));
    // Drop an incomplete UTF-8 sequence at the end (the key keeps 20 bytes).
    int start = int(bytes.size()) - 1;
    while (start >= 0 && (quint8(bytes[start]) & 0xC0) == 0x80)
        --start;
    if (start >= 0 && (quint8(bytes[start]) & 0x80)) {
        const quint8 lead = quint8(bytes[start]);
        const int needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (bytes.size() - start < needed)
            bytes.truncate(start);
    }
    return QString::fromUtf8(bytes);
}

SWBayesWordList SWBayesWordStore::readWords(const QString& cachesFolder) {
    SWBayesWordList list;
    const QString path = folderOr(cachesFolder) + QLatin1Char('/') + QLatin1String(SWDataBaseBaseName);
    const QFileInfo info(path);
    if (!info.exists())
        return list;
    list.storeExists = true;
    if (!info.isFile()) {
        list.error = QStringLiteral("not a file");
        return list;
    }
    ReadOnlyStore store;
    int rc = mdb_env_create(&store.env);
    if (rc == MDB_SUCCESS)
        rc = mdb_env_open(store.env, QFile::encodeName(path).constData(), MDB_NOSUBDIR | MDB_RDONLY, 0644);
    if (rc == MDB_SUCCESS)
        rc = mdb_txn_begin(store.env, nullptr, MDB_RDONLY, &store.txn);
    MDB_dbi dbi = 0;
    if (rc == MDB_SUCCESS)
        rc = mdb_dbi_open(store.txn, nullptr, 0, &dbi);
    if (rc == MDB_SUCCESS)
        rc = mdb_cursor_open(store.txn, dbi, &store.cursor);
    if (rc != MDB_SUCCESS) {
        list.error = QString::fromLocal8Bit(mdb_strerror(rc));
        return list;
    }
    MDB_val key{}, data{};
    for (rc = mdb_cursor_get(store.cursor, &key, &data, MDB_FIRST); rc == MDB_SUCCESS;
         rc = mdb_cursor_get(store.cursor, &key, &data, MDB_NEXT)) {
        if (key.mv_size != size_t(SWDataBaseKeySize) || data.mv_size < size_t(SWDataBaseValueSize))
            continue;  // not a record of the filter
        if (list.words.size() >= kMaximumWords) {
            list.truncated = true;
            break;
        }
        const auto* value = static_cast<const uchar*>(data.mv_data);
        SWBayesWord word;
        word.word = wordFromKey(QByteArray(static_cast<const char*>(key.mv_data), int(key.mv_size)));
        word.spam = qFromBigEndian<quint64>(value);
        word.ham = qFromBigEndian<quint64>(value + 8);
        word.date = qFromBigEndian<qint32>(value + 16);
        list.words.push_back(std::move(word));
    }
    if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND)
        list.error = QString::fromLocal8Bit(mdb_strerror(rc));
    return list;
}

std::optional<std::pair<quint64, quint64>> SWBayesWordStore::readTotals(const QString& cachesFolder) {
    const auto counts =
        platform::plist::readFile(folderOr(cachesFolder) + QLatin1Char('/') + QLatin1String(SWDataBaseCountName));
    if (!counts || counts->typeId() != QMetaType::QVariantList)
        return std::nullopt;
    const QVariantList list = counts->toList();
    if (list.size() < 2)
        return std::nullopt;
    bool hamOk = false, spamOk = false;
    const qlonglong ham = list[0].toLongLong(&hamOk);
    const qlonglong spam = list[1].toLongLong(&spamOk);
    if (!hamOk || !spamOk || ham < 0 || spam < 0)
        return std::nullopt;
    return std::make_pair(quint64(spam), quint64(ham));
}
