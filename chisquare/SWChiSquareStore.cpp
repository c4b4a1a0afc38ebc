#include "SWChiSquareStore.h"

#include "platform/Folders.h"
#include "platform/Log.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <lmdb.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* kFormat = "Junkward ChiSquare 1";
constexpr const char* kFormatKey = "format";
constexpr const char* kSpamKey = "spam";
constexpr const char* kHamKey = "ham";
constexpr const char* kSequenceKey = "sequence";
constexpr size_t kInitialMapSize = size_t(64) << 20;
constexpr size_t kMaximumMapSize = size_t(16) << 30;
constexpr int kTables = 4;

constexpr const char* kLogReplaced = "[SWChiSquareStore] %1 is not a token store of this filter; a new one is started";
constexpr const char* kLogCannotOpen = "[SWChiSquareStore] Unable to open the token store %1 (%2)";

MDB_val value(const void* data, size_t size) { return MDB_val{size, const_cast<void*>(data)}; }

MDB_val keyOf(const QByteArray& bytes) {
    return value(bytes.constData(), size_t(std::min<qsizetype>(bytes.size(), SWChiSquareMaximumKeyBytes)));
}

// The UTF-8 key of a token in buffer (reused between tokens): ASCII copied
// directly, anything else through the full conversion.
void encodeKey(const QString& token, QByteArray& buffer) {
    const qsizetype n = std::min<qsizetype>(token.size(), SWChiSquareMaximumKeyBytes);
    buffer.resize(n);
    char* out = buffer.data();
    const QChar* in = token.constData();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = in[i].unicode();
        if (u >= 0x80) {
            buffer = token.toUtf8();
            return;
        }
        out[i] = char(u);
    }
}

QByteArray historyKey(const QString& key) { return QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1); }

// A write transaction that aborts unless committed.
class WriteTxn {
public:
    explicit WriteTxn(MDB_env* env) { rc_ = mdb_txn_begin(env, nullptr, 0, &txn_); }
    ~WriteTxn() {
        if (txn_)
            mdb_txn_abort(txn_);
    }
    int rc() const { return rc_; }
    MDB_txn* get() const { return txn_; }
    int commit() {
        const int rc = mdb_txn_commit(txn_);
        txn_ = nullptr;
        return rc;
    }

private:
    MDB_txn* txn_ = nullptr;
    int rc_ = 0;
};

uint64_t readNumber(MDB_txn* txn, MDB_dbi dbi, const char* name, int* rc) {
    MDB_val k = value(name, std::strlen(name)), d{};
    *rc = mdb_get(txn, dbi, &k, &d);
    if (*rc == MDB_NOTFOUND) {
        *rc = MDB_SUCCESS;
        return 0;
    }
    if (*rc != MDB_SUCCESS || d.mv_size != 8)
        return 0;
    return qFromBigEndian<quint64>(d.mv_data);
}

int writeNumber(MDB_txn* txn, MDB_dbi dbi, const char* name, uint64_t number) {
    unsigned char bytes[8];
    qToBigEndian<quint64>(number, bytes);
    MDB_val k = value(name, std::strlen(name)), d = value(bytes, 8);
    return mdb_put(txn, dbi, &k, &d, 0);
}

SWChiSquareCounts decodeCounts(const MDB_val& d) {
    if (d.mv_size != 8)
        return {};
    const auto* bytes = static_cast<const unsigned char*>(d.mv_data);
    return {qFromBigEndian<quint32>(bytes), qFromBigEndian<quint32>(bytes + 4)};
}

}  // namespace

SWChiSquareStore::SWChiSquareStore(const QString& folder) : folder_(folder) {
    path_ = folder_ + QLatin1Char('/') + QLatin1String(SWChiSquareStoreName);
    if (!platform::folders::ensureFolder(folder_)) {
        platform::log::console(QString::fromLatin1(kLogCannotOpen).arg(path_, QStringLiteral("no folder")));
        return;
    }
    if (open() && verifyOrInitialise() && readTotals())
        return;
    // Not a store of ours (another format, a damaged file, not LMDB at all).
    close();
    platform::log::console(QString::fromLatin1(kLogReplaced).arg(path_));
    QFile::remove(path_);
    QFile::remove(path_ + QStringLiteral("-lock"));
    if (!(open() && verifyOrInitialise() && readTotals())) {
        close();
        platform::log::console(QString::fromLatin1(kLogCannotOpen).arg(path_, QStringLiteral("new store")));
    }
}

SWChiSquareStore::~SWChiSquareStore() { close(); }

bool SWChiSquareStore::open() {
    if (mdb_env_create(&env_) != MDB_SUCCESS) {
        env_ = nullptr;
        return false;
    }
    // Start with a map that holds the existing file.
    const qint64 existing = QFileInfo(path_).size();
    mapSize_ = kInitialMapSize;
    while (mapSize_ < size_t(existing) && mapSize_ < kMaximumMapSize)
        mapSize_ *= 2;
    mdb_env_set_mapsize(env_, mapSize_);
    mdb_env_set_maxdbs(env_, kTables);
    // Without sync, each commit is in the system's page cache when it returns:
    // a killed process loses nothing; sync() makes it safe against a power loss.
    // Pages are written through the shared map rather than one write call each.
    const QByteArray file = QFile::encodeName(path_);
    const int rc = mdb_env_open(env_, file.constData(), MDB_NOSUBDIR | MDB_NOSYNC | MDB_WRITEMAP | MDB_NOTLS, 0644);
    if (rc != MDB_SUCCESS) {
        mdb_env_close(env_);
        env_ = nullptr;
        return false;
    }
    int dead = 0;
    mdb_reader_check(env_, &dead);  // readers left by killed processes
    return true;
}

void SWChiSquareStore::close() {
    if (!env_)
        return;
    mdb_env_sync(env_, 1);
    mdb_env_close(env_);
    env_ = nullptr;
}

// The four tables, and the format mark: a new file gets it, an existing file
// must carry it.
bool SWChiSquareStore::verifyOrInitialise() {
    WriteTxn txn(env_);
    if (txn.rc() != MDB_SUCCESS)
        return false;
    MDB_dbi meta = 0;
    if (mdb_dbi_open(txn.get(), "meta", 0, &meta) == MDB_NOTFOUND) {
        // A file of ours always has the table; an empty file may get it.
        MDB_stat stat;
        MDB_dbi main = 0;
        if (mdb_dbi_open(txn.get(), nullptr, 0, &main) != MDB_SUCCESS ||
            mdb_stat(txn.get(), main, &stat) != MDB_SUCCESS || stat.ms_entries != 0)
            return false;
        if (mdb_dbi_open(txn.get(), "meta", MDB_CREATE, &meta) != MDB_SUCCESS)
            return false;
        MDB_val k = value(kFormatKey, std::strlen(kFormatKey)), d = value(kFormat, std::strlen(kFormat));
        if (mdb_put(txn.get(), meta, &k, &d, 0) != MDB_SUCCESS)
            return false;
    } else {
        MDB_val k = value(kFormatKey, std::strlen(kFormatKey)), d{};
        if (mdb_get(txn.get(), meta, &k, &d) != MDB_SUCCESS || d.mv_size != std::strlen(kFormat) ||
            std::memcmp(d.mv_data, kFormat, d.mv_size) != 0)
            return false;
    }
    MDB_dbi tokens = 0, history = 0, order = 0;
    if (mdb_dbi_open(txn.get(), "tokens", MDB_CREATE, &tokens) != MDB_SUCCESS ||
        mdb_dbi_open(txn.get(), "history", MDB_CREATE, &history) != MDB_SUCCESS ||
        mdb_dbi_open(txn.get(), "order", MDB_CREATE, &order) != MDB_SUCCESS)
        return false;
    if (txn.commit() != MDB_SUCCESS)
        return false;
    meta_ = meta;
    tokens_ = tokens;
    history_ = history;
    order_ = order;
    return true;
}

bool SWChiSquareStore::readTotals() {
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn) != MDB_SUCCESS)
        return false;
    int rc1 = 0, rc2 = 0;
    spamTotal_ = readNumber(txn, meta_, kSpamKey, &rc1);
    hamTotal_ = readNumber(txn, meta_, kHamKey, &rc2);
    mdb_txn_abort(txn);
    return rc1 == MDB_SUCCESS && rc2 == MDB_SUCCESS;
}

bool SWChiSquareStore::grow() {
    if (mapSize_ >= kMaximumMapSize)
        return false;
    if (mdb_env_set_mapsize(env_, mapSize_ * 2) != MDB_SUCCESS)
        return false;
    mapSize_ *= 2;
    return true;
}

std::optional<int> SWChiSquareStore::markForKey(const QString& key) {
    if (!env_)
        return std::nullopt;
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn) != MDB_SUCCESS)
        return std::nullopt;
    const QByteArray hashed = historyKey(key);
    MDB_val k = keyOf(hashed), d{};
    std::optional<int> mark;
    if (mdb_get(txn, history_, &k, &d) == MDB_SUCCESS && d.mv_size == 9)
        mark = static_cast<const signed char*>(d.mv_data)[0];
    mdb_txn_abort(txn);
    return mark;
}

// One attempt at a training; MDB_MAP_FULL asks the caller to grow the map
// (the transaction is aborted by then) and try again.
int SWChiSquareStore::learnOnce(const std::vector<QByteArray>& keys, const QByteArray& hashed, bool spam,
                                Training* outcome) {
    WriteTxn txn(env_);
    if (txn.rc() != MDB_SUCCESS)
        return txn.rc();
    int rc = MDB_SUCCESS;

    // How the message is counted now.
    MDB_val hk = keyOf(hashed), hd{};
    int previous = 0;
    uint64_t sequence = 0;
    rc = mdb_get(txn.get(), history_, &hk, &hd);
    if (rc == MDB_SUCCESS && hd.mv_size == 9) {
        previous = static_cast<const signed char*>(hd.mv_data)[0];
        sequence = qFromBigEndian<quint64>(static_cast<const unsigned char*>(hd.mv_data) + 1);
    } else if (rc != MDB_NOTFOUND && rc != MDB_SUCCESS) {
        return rc;
    }
    const int mark = spam ? -1 : 1;
    if (previous == mark) {
        *outcome = Training::AlreadyLearned;
        return MDB_SUCCESS;
    }

    uint64_t spamTotal = readNumber(txn.get(), meta_, kSpamKey, &rc);
    uint64_t hamTotal = rc == MDB_SUCCESS ? readNumber(txn.get(), meta_, kHamKey, &rc) : 0;
    const bool takeBack = previous == -mark;
    for (size_t i = 0; i < keys.size() && rc == MDB_SUCCESS; ++i) {
        MDB_val k = keyOf(keys[i]), d{};
        SWChiSquareCounts counts;
        rc = mdb_get(txn.get(), tokens_, &k, &d);
        if (rc == MDB_SUCCESS)
            counts = decodeCounts(d);
        else if (rc != MDB_NOTFOUND)
            break;
        rc = MDB_SUCCESS;
        uint32_t& gain = spam ? counts.spam : counts.ham;
        uint32_t& loss = spam ? counts.ham : counts.spam;
        if (gain < UINT32_MAX)
            ++gain;
        if (takeBack && loss > 0)
            --loss;
        unsigned char bytes[8];
        qToBigEndian<quint32>(counts.spam, bytes);
        qToBigEndian<quint32>(counts.ham, bytes + 4);
        d = value(bytes, 8);
        rc = mdb_put(txn.get(), tokens_, &k, &d, 0);
    }
    if (rc == MDB_SUCCESS) {
        (spam ? spamTotal : hamTotal) += 1;
        if (takeBack) {
            uint64_t& other = spam ? hamTotal : spamTotal;
            other = other > 0 ? other - 1 : 0;
        }
        rc = writeNumber(txn.get(), meta_, kSpamKey, spamTotal);
        if (rc == MDB_SUCCESS)
            rc = writeNumber(txn.get(), meta_, kHamKey, hamTotal);
    }
    // The history entry, and the order in which entries are dropped.
    if (rc == MDB_SUCCESS && !takeBack) {
        sequence = readNumber(txn.get(), meta_, kSequenceKey, &rc) + 1;
        if (rc == MDB_SUCCESS)
            rc = writeNumber(txn.get(), meta_, kSequenceKey, sequence);
        unsigned char seq[8];
        qToBigEndian<quint64>(sequence, seq);
        MDB_val ok = value(seq, 8), od = keyOf(hashed);
        if (rc == MDB_SUCCESS)
            rc = mdb_put(txn.get(), order_, &ok, &od, 0);
        MDB_stat stat;
        if (rc == MDB_SUCCESS && mdb_stat(txn.get(), order_, &stat) == MDB_SUCCESS &&
            stat.ms_entries > size_t(SWChiSquareHistoryLimit)) {
            MDB_cursor* cursor = nullptr;
            if (mdb_cursor_open(txn.get(), order_, &cursor) == MDB_SUCCESS) {
                MDB_val ck{}, cd{};
                if (mdb_cursor_get(cursor, &ck, &cd, MDB_FIRST) == MDB_SUCCESS) {
                    const QByteArray oldest(static_cast<const char*>(cd.mv_data), qsizetype(cd.mv_size));
                    MDB_val dk = keyOf(oldest);
                    mdb_del(txn.get(), history_, &dk, nullptr);
                    rc = mdb_cursor_del(cursor, 0);
                }
                mdb_cursor_close(cursor);
            }
        }
    }
    if (rc == MDB_SUCCESS) {
        unsigned char entry[9];
        entry[0] = static_cast<unsigned char>(static_cast<signed char>(mark));
        qToBigEndian<quint64>(sequence, entry + 1);
        MDB_val ek = keyOf(hashed), ed = value(entry, 9);
        rc = mdb_put(txn.get(), history_, &ek, &ed, 0);
    }
    if (rc == MDB_SUCCESS)
        rc = txn.commit();
    if (rc == MDB_SUCCESS) {
        spamTotal_ = spamTotal;
        hamTotal_ = hamTotal;
        *outcome = Training::Learned;
    }
    return rc;
}

SWChiSquareStore::Training SWChiSquareStore::learn(const QString& key, const std::vector<QString>& tokens, bool spam) {
    if (!env_)
        return Training::Failed;
    std::vector<QByteArray> keys;
    keys.reserve(tokens.size());
    for (const QString& token : tokens)
        keys.push_back(token.toUtf8().left(SWChiSquareMaximumKeyBytes));
    // Cutting may make two tokens one: count each key once.
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    const QByteArray hashed = historyKey(key);

    for (int attempt = 0; attempt < 8; ++attempt) {
        Training outcome = Training::Failed;
        const int rc = learnOnce(keys, hashed, spam, &outcome);
        if (rc == MDB_SUCCESS)
            return outcome;
        if (rc == MDB_MAP_RESIZED) {
            mdb_env_set_mapsize(env_, 0);  // another process grew the map
            continue;
        }
        if (rc != MDB_MAP_FULL || !grow())
            return Training::Failed;
    }
    return Training::Failed;
}

bool SWChiSquareStore::lookUp(const std::vector<QString>& tokens, std::vector<SWChiSquareCounts>& counts,
                              uint64_t* spamTotal, uint64_t* hamTotal) {
    counts.assign(tokens.size(), SWChiSquareCounts{});
    if (!env_)
        return false;
    MDB_txn* txn = nullptr;
    int rc = mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn);
    if (rc == MDB_MAP_RESIZED) {
        mdb_env_set_mapsize(env_, 0);
        rc = mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn);
    }
    if (rc != MDB_SUCCESS)
        return false;
    int rc1 = 0, rc2 = 0;
    const uint64_t spam = readNumber(txn, meta_, kSpamKey, &rc1);
    const uint64_t ham = readNumber(txn, meta_, kHamKey, &rc2);
    bool ok = rc1 == MDB_SUCCESS && rc2 == MDB_SUCCESS;
    QByteArray buffer;
    for (size_t i = 0; ok && i < tokens.size(); ++i) {
        encodeKey(tokens[i], buffer);
        MDB_val k = keyOf(buffer), d{};
        rc = mdb_get(txn, tokens_, &k, &d);
        if (rc == MDB_SUCCESS)
            counts[i] = decodeCounts(d);
        else if (rc != MDB_NOTFOUND)
            ok = false;
    }
    mdb_txn_abort(txn);
    if (!ok)
        return false;
    spamTotal_ = spam;
    hamTotal_ = ham;
    *spamTotal = spam;
    *hamTotal = ham;
    return true;
}

int64_t SWChiSquareStore::tokenCount() {
    if (!env_)
        return -1;
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn) != MDB_SUCCESS)
        return -1;
    MDB_stat stat;
    const int rc = mdb_stat(txn, tokens_, &stat);
    mdb_txn_abort(txn);
    return rc == MDB_SUCCESS ? int64_t(stat.ms_entries) : -1;
}

void SWChiSquareStore::sync() {
    if (env_)
        mdb_env_sync(env_, 1);
}

bool SWChiSquareStore::reset() {
    if (!env_)
        return false;
    WriteTxn txn(env_);
    if (txn.rc() != MDB_SUCCESS)
        return false;
    if (mdb_drop(txn.get(), tokens_, 0) != MDB_SUCCESS || mdb_drop(txn.get(), history_, 0) != MDB_SUCCESS ||
        mdb_drop(txn.get(), order_, 0) != MDB_SUCCESS || writeNumber(txn.get(), meta_, kSpamKey, 0) != MDB_SUCCESS ||
        writeNumber(txn.get(), meta_, kHamKey, 0) != MDB_SUCCESS || txn.commit() != MDB_SUCCESS)
        return false;
    spamTotal_ = hamTotal_ = 0;
    return true;
}
