#include "SWDataBase.h"

#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVariantList>

#include <lmdb.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <vector>
#include <ctime>
#include <sys/stat.h>

namespace {

// Log lines of the store.
constexpr const char* kLogUnreadable = "-[SWDataBase _reload]: Junkward.db = KO (unreadable)";
constexpr const char* kLogCountMissing = "-[SWDataBase _reload]: Junkward.db = OK, Junkward.cnt = NOK (missing)";
constexpr const char* kLogCountIncorrect = "-[SWDataBase _reload]: Junkward.db = OK, Junkward.cnt = NOK (incorrect)";
constexpr const char* kLogNoDataBase = "Data base does not exist: errno=%d";
constexpr const char* kLogJournalCompleted =
    "-[SWDataBase _reload]: Junkward.cnt completed from the journal of an interrupted batch";

// Probabilities and weights (single precision, as the scores are combined).
constexpr float kUnknownProbability = 0.4f;
constexpr float kLowClamp = 0.01f;
constexpr float kHighClamp = 0.99f;
constexpr float kOnlyHamProbability = 0.001f;
constexpr float kOnlySpamProbability = 0.999f;
constexpr float kMinimumWeight = 5.0f;
constexpr float kFrequencyCap = 1.0f;

// Ageing: a weight unit lasts 30 hours; records heavier than 31 units stay.
constexpr int64_t kAgeingUnitSeconds = 108000;
constexpr uint64_t kAgeingMaxWeight = 31;
constexpr size_t kDeletionBatch = 256;

// LMDB map: starts at 1 GiB (address space only; the file grows as needed) and
// doubles when full, up to 64 GiB.
constexpr size_t kInitialMapSize = size_t(1) << 30;
constexpr size_t kMaximumMapSize = size_t(64) << 30;

constexpr const char* kLockSuffix = "-lock";

// Learned words and maintenance reach the disk at once; the dates refreshed by
// lookups (committed, so a crashed process keeps them) are flushed at most this
// often, so judging a message costs no disk flush.
constexpr int64_t kLazyFlushSeconds = 10;

// A lookup rewrites a record's date only when it is at least this old: ageing
// counts in units of 30 hours, and most lookups then touch no page at all.
constexpr int64_t kDateRefreshSeconds = 3600;

int64_t monotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec);
}

uint64_t swap64(uint64_t v) { return __builtin_bswap64(v); }
uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }

using Key = SWDataBase::Key;

Key makeKey(QByteArrayView utf8) {
    Key key;
    std::memcpy(key.bytes, utf8.data(), size_t(std::min<qsizetype>(utf8.size(), SWDataBaseKeySize)));
    return key;
}

SWDataBaseValue decodeValue(const MDB_val& data) {
    SWDataBaseValue value;
    std::memcpy(&value, data.mv_data, sizeof value);
    SWDataBaseValueSwap(&value);
    return value;
}

// Tokens such as "xxxxxxx" or "!!!!!!" are spam signs whatever the store says.
bool hasRepetition(QByteArrayView utf8) {
    if (utf8.size() <= 5)
        return false;
    int run = 1;
    for (qsizetype i = 1; i < utf8.size(); ++i) {
        const char c = utf8[i];
        if (c == utf8[i - 1] && !(c >= '0' && c <= '9')) {
            if (++run >= 4)
                return true;
        } else {
            run = 1;
        }
    }
    return false;
}

bool fileExists(const QString& path) {
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0;
}

// RAII for one LMDB transaction: aborted unless committed.
class Txn {
public:
    Txn(MDB_env* env, bool write) { rc_ = mdb_txn_begin(env, nullptr, write ? 0 : MDB_RDONLY, &txn_); }
    ~Txn() {
        if (txn_)
            mdb_txn_abort(txn_);
    }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;
    bool ok() const { return rc_ == MDB_SUCCESS && txn_; }
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

// Reads a record, once more after an error. MDB_SUCCESS, MDB_NOTFOUND or the error.
// A record that is not of the expected size is treated as absent.
int readRecord(MDB_txn* txn, MDB_dbi dbi, Key& key, SWDataBaseValue* value) {
    MDB_val k{SWDataBaseKeySize, key.bytes};
    MDB_val d{0, nullptr};
    int rc = mdb_get(txn, dbi, &k, &d);
    if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND)
        rc = mdb_get(txn, dbi, &k, &d);
    if (rc != MDB_SUCCESS)
        return rc;
    if (d.mv_size != SWDataBaseValueSize)
        return MDB_NOTFOUND;
    *value = decodeValue(d);
    return MDB_SUCCESS;
}

// readRecord() through a cursor.
int readRecordAt(MDB_cursor* cursor, Key& key, SWDataBaseValue* value) {
    MDB_val k{SWDataBaseKeySize, key.bytes};
    MDB_val d{0, nullptr};
    const int rc = mdb_cursor_get(cursor, &k, &d, MDB_SET_KEY);
    if (rc != MDB_SUCCESS)
        return rc;
    if (d.mv_size != SWDataBaseValueSize)
        return MDB_NOTFOUND;
    *value = decodeValue(d);
    return MDB_SUCCESS;
}

int writeRecord(MDB_txn* txn, MDB_dbi dbi, Key& key, SWDataBaseValue value) {
    value.reserved = 0;
    SWDataBaseValueSwap(&value);
    MDB_val k{SWDataBaseKeySize, key.bytes};
    MDB_val d{sizeof value, &value};
    return mdb_put(txn, dbi, &k, &d, 0);
}

// The UTF-8 form of text into out, which holds at least 3 bytes per code unit:
// the same bytes as QString::toUtf8(), a lone surrogate becoming "?". Returns
// the length.
qsizetype encodeUtf8Into(QStringView text, unsigned char* out) {
    unsigned char* o = out;
    const char16_t* p = text.utf16();
    const char16_t* const end = p + text.size();
    while (p < end) {
        const char32_t c = *p++;
        if (c < 0x80) {
            *o++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            if (c <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF) {
                const char32_t u = 0x10000 + ((c - 0xD800) << 10) + (char32_t(*p++) - 0xDC00);
                *o++ = static_cast<unsigned char>(0xF0 | (u >> 18));
                *o++ = static_cast<unsigned char>(0x80 | ((u >> 12) & 0x3F));
                *o++ = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
                *o++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
            } else {
                *o++ = '?';
            }
        } else {
            *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return o - out;
}

// The UTF-8 form of a token, in place for the short tokens of messages.
class Utf8Form {
public:
    void assign(QStringView text) {
        if (text.size() <= kInline / 3) {
            data_ = inline_;
        } else {
            heap_.resize(text.size() * 3);
            data_ = heap_.data();
        }
        size_ = encodeUtf8Into(text, reinterpret_cast<unsigned char*>(data_));
    }
    qsizetype size() const { return size_; }
    bool isEmpty() const { return size_ == 0; }
    char front() const { return data_[0]; }
    char back() const { return data_[size_ - 1]; }
    void chop(qsizetype n) { size_ = std::max<qsizetype>(0, size_ - n); }
    char* begin() { return data_; }
    char* end() { return data_ + size_; }
    operator QByteArrayView() const { return QByteArrayView(data_, size_); }

private:
    static constexpr qsizetype kInline = 192;
    char inline_[kInline];
    QByteArray heap_;
    char* data_ = inline_;
    qsizetype size_ = 0;
};

size_t hashOf(const Key& key) {
    uint64_t a, b;
    uint32_t c;
    std::memcpy(&a, key.bytes, 8);
    std::memcpy(&b, key.bytes + 8, 8);
    std::memcpy(&c, key.bytes + 16, 4);
    uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b + 0xC2B2AE3D27D4EB4Full) * 0x165667B19E3779F9ull;
    h ^= (uint64_t(c) * 0xD6E8FEB86659FD93ull);
    return size_t(h ^ (h >> 29));
}

// The records a batch has changed, by key, with their new values: written to
// the store once each, in key order, when the batch commits.
class PendingRecords {
public:
    PendingRecords() { clear(); }
    void clear() {
        records_.clear();
        slots_.assign(4096, kEmpty);
    }
    // The new value of key, or nullptr when the batch has not changed it.
    SWDataBaseValue* find(const Key& key) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = hashOf(key) & mask; slots_[i] != kEmpty; i = (i + 1) & mask)
            if (std::memcmp(records_[slots_[i]].first.bytes, key.bytes, SWDataBaseKeySize) == 0)
                return &records_[slots_[i]].second;
        return nullptr;
    }
    // Adds key (not yet changed).
    SWDataBaseValue* insert(const Key& key, const SWDataBaseValue& value) {
        if ((records_.size() + 1) * 2 > slots_.size())
            grow();
        slots_[freeSlot(key)] = uint32_t(records_.size());
        records_.emplace_back(key, value);
        return &records_.back().second;
    }
    std::vector<std::pair<Key, SWDataBaseValue>>& records() { return records_; }

private:
    static constexpr uint32_t kEmpty = UINT32_MAX;
    size_t freeSlot(const Key& key) const {
        const size_t mask = slots_.size() - 1;
        size_t i = hashOf(key) & mask;
        while (slots_[i] != kEmpty)
            i = (i + 1) & mask;
        return i;
    }
    void grow() {
        slots_.assign(slots_.size() * 2, kEmpty);
        for (uint32_t at = 0; at < uint32_t(records_.size()); ++at)
            slots_[freeSlot(records_[at].first)] = at;
    }
    std::vector<std::pair<Key, SWDataBaseValue>> records_;
    std::vector<uint32_t> slots_;
};

// Records read from one snapshot of the store, known or absent, so a word met in
// message after message is searched for in the file once. The cache belongs to
// the snapshot it was filled from (LMDB's transaction id): any commit makes it
// stale, except the store's own commits, whose records it takes over. Bounded:
// when full it starts again empty.
class RecordCache {
public:
    struct Entry {
        Key key;
        uint32_t state = 0;  // 0 free, 1 absent, 2 known
        SWDataBaseValue value;
    };

    // Drops everything unless the cache was filled from snapshot txnid.
    void validate(size_t txnid) {
        if (txnid != txnid_) {
            clear();
            txnid_ = txnid;
        }
    }
    size_t txnid() const { return txnid_; }
    void setTxnid(size_t txnid) { txnid_ = txnid; }

    const Entry* find(const Key& key) const {
        if (slots_.empty())
            return nullptr;
        const Entry& e = slots_[probe(key)];
        return e.state != 0 ? &e : nullptr;
    }

    // Stores the record of key (nullptr: absent), replacing an earlier one.
    void put(const Key& key, const SWDataBaseValue* value) {
        if ((used_ + 1) * 4 > slots_.size() * 3) {
            if (slots_.size() >= kMaximumSlots)
                clear();
            else
                grow();
        }
        Entry& e = slots_[probe(key)];
        if (e.state == 0)
            ++used_;
        e.key = key;
        e.state = value ? 2 : 1;
        e.value = value ? *value : SWDataBaseValue{};
    }

    void clear() {
        slots_.assign(slots_.empty() ? 0 : kInitialSlots, Entry{});
        used_ = 0;
    }

private:
    static constexpr size_t kInitialSlots = 4096;
    static constexpr size_t kMaximumSlots = size_t(1) << 17;  // 6 MiB of entries

    // The slot holding key, else the free slot where it belongs.
    size_t probe(const Key& key) const {
        const size_t mask = slots_.size() - 1;
        size_t i = hashOf(key) & mask;
        while (slots_[i].state != 0 && std::memcmp(slots_[i].key.bytes, key.bytes, SWDataBaseKeySize) != 0)
            i = (i + 1) & mask;
        return i;
    }

    void grow() {
        std::vector<Entry> old = std::move(slots_);
        slots_.assign(old.empty() ? kInitialSlots : old.size() * 2, Entry{});
        for (const Entry& e : old)
            if (e.state != 0)
                slots_[probe(e.key)] = e;
    }

    std::vector<Entry> slots_;
    size_t used_ = 0;
    size_t txnid_ = 0;
};

SWDataBase* gShared = nullptr;
std::mutex gSharedMutex;

}  // namespace

void SWDataBaseValueSwap(SWDataBaseValue* value) {
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        value->spam = swap64(value->spam);
        value->ham = swap64(value->ham);
        value->date = int32_t(swap32(uint32_t(value->date)));
        value->reserved = swap32(value->reserved);
    }
}

struct SWDataBase::Env {
    MDB_env* env = nullptr;
    MDB_dbi dbi = 0;
    RecordCache cache;  // of this file only
    ~Env() {
        if (env) {
            mdb_env_sync(env, 1);
            mdb_env_close(env);
        }
    }
};

SWDataBase* SWDataBase::sharedDataBase() {
    std::lock_guard guard(gSharedMutex);
    if (!gShared) {
        auto* db = new SWDataBase();
        if (db->isOpen())
            gShared = db;
        else
            delete db;
    }
    return gShared;
}

void SWDataBase::releaseSharedDataBase() {
    std::lock_guard guard(gSharedMutex);
    delete gShared;
    gShared = nullptr;
}

SWDataBase::SWDataBase(const QString& cachesFolder) : folder_(cachesFolder), mapSize_(kInitialMapSize) { _reload(); }

SWDataBase::~SWDataBase() {
    abortBatch();
    std::lock_guard guard(sharedLock_);
    dataBase_.reset();
}

bool SWDataBase::isOpen() const { return dataBase_ != nullptr; }

QString SWDataBase::storePath() const {
    const QString folder = folder_.isEmpty() ? platform::folders::userCaches() : folder_;
    return folder + QLatin1Char('/') + QLatin1String(SWDataBaseBaseName);
}

void SWDataBase::setClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

int64_t SWDataBase::now() const { return clock_ ? clock_() : int64_t(std::time(nullptr)); }

// Opens the store file; with create, any file of that name is discarded first.
// Called with the lock held.
bool SWDataBase::openStore(bool create) {
    const QString path = storePath();
    const QByteArray file = QFile::encodeName(path);
    const QByteArray lockFile = file + kLockSuffix;
    if (create) {
        ::unlink(file.constData());
        ::unlink(lockFile.constData());
    }
    auto env = std::make_unique<Env>();
    if (mdb_env_create(&env->env) != MDB_SUCCESS) {
        env->env = nullptr;
        return false;
    }
    mdb_env_set_mapsize(env->env, mapSize_);
    struct stat st;
    if (!create && (::stat(file.constData(), &st) != 0 || st.st_size == 0))
        return false;  // an empty file would silently become a new store
    int rc = mdb_env_open(env->env, file.constData(), MDB_NOSUBDIR | MDB_NOSYNC, 0666);
    if (rc != MDB_SUCCESS) {
        errno = rc > 0 ? rc : EINVAL;
        return false;
    }
    int dead = 0;
    mdb_reader_check(env->env, &dead);  // readers left by killed processes
    {
        Txn txn(env->env, true);
        if (!txn.ok())
            return false;
        if (mdb_dbi_open(txn.get(), nullptr, 0, &env->dbi) != MDB_SUCCESS)
            return false;
        if (txn.commit() != MDB_SUCCESS)
            return false;
    }
    dataBase_ = std::move(env);
    if (!create && !verifyStore()) {
        dataBase_.reset();
        return false;
    }
    return true;
}

// A store file cut short would fault when its missing pages are touched, and a
// damaged one fails its walk: both are refused at open. Called with the lock held.
bool SWDataBase::verifyStore() {
    MDB_envinfo info;
    MDB_stat stat;
    if (mdb_env_info(dataBase_->env, &info) != MDB_SUCCESS || mdb_env_stat(dataBase_->env, &stat) != MDB_SUCCESS)
        return false;
    struct stat st;
    if (::stat(QFile::encodeName(storePath()).constData(), &st) != 0)
        return false;
    const uint64_t needed = (uint64_t(info.me_last_pgno) + 1) * stat.ms_psize;
    if (uint64_t(st.st_size) < needed)
        return false;
    if (info.me_mapsize > mapSize_)
        mapSize_ = info.me_mapsize;
    Txn txn(dataBase_->env, false);
    if (!txn.ok())
        return false;
    MDB_cursor* cursor = nullptr;
    if (mdb_cursor_open(txn.get(), dataBase_->dbi, &cursor) != MDB_SUCCESS)
        return false;
    MDB_val k, d;
    int rc;
    while ((rc = mdb_cursor_get(cursor, &k, &d, MDB_NEXT)) == MDB_SUCCESS) {
    }
    mdb_cursor_close(cursor);
    return rc == MDB_NOTFOUND;
}

// Reads the totals; false when the file is missing or not [ham, spam].
bool SWDataBase::readCounts() {
    QFileInfo info(countPath_);
    if (!info.exists() || info.isDir()) {
        platform::log::console(QString::fromLatin1(kLogCountMissing));
        return false;
    }
    const std::optional<QVariant> counts = platform::plist::readFile(countPath_);
    bool ok = counts && counts->typeId() == QMetaType::QVariantList;
    QVariantList list;
    if (ok) {
        list = counts->toList();
        ok = list.size() >= 2;
    }
    uint64_t values[2] = {0, 0};
    for (int i = 0; ok && i < 2; ++i) {
        const QVariant& v = list[i];
        const int type = v.typeId();
        if (type == QMetaType::ULongLong || type == QMetaType::UInt) {
            values[i] = v.toULongLong();
        } else if (type == QMetaType::LongLong || type == QMetaType::Int) {
            const qint64 signedValue = v.toLongLong();
            ok = signedValue >= 0;
            values[i] = uint64_t(signedValue);
        } else {
            ok = false;
        }
    }
    if (!ok) {
        platform::log::console(QString::fromLatin1(kLogCountIncorrect));
        return false;
    }
    hamMailCount_ = values[0];
    spamMailCount_ = values[1];
    return true;
}

void SWDataBase::_reload() {
    abortBatch();
    {
        std::lock_guard guard(sharedLock_);
        const QString folder = folder_.isEmpty() ? platform::folders::userCaches() : folder_;
        dataBase_.reset();
        countPath_ = folder + QLatin1Char('/') + QLatin1String(SWDataBaseCountName);

        // An existing store is kept only when it opens, is whole, and has its counts.
        if (fileExists(storePath())) {
            if (!openStore(false))
                platform::log::console(QString::fromLatin1(kLogUnreadable));
        }
        if (dataBase_)
            completeJournal();
        else
            QFile::remove(batchJournalPath());
        if (dataBase_ && !readCounts()) {
            dataBase_.reset();
        }

        // Otherwise start anew, empty, with a count file that matches.
        if (!dataBase_) {
            platform::folders::ensureFolder(folder);
            if (openStore(true)) {
                spamMailCount_ = 0;
                hamMailCount_ = 0;
                platform::plist::writeFile(countPath_, QVariantList{quint64(0), quint64(0)});
            }
        }
    }
    if (!dataBase_)
        platform::log::consolef(kLogNoDataBase, errno);
}

void SWDataBase::close() {
    abortBatch();
    std::lock_guard guard(sharedLock_);
    dataBase_.reset();
}

bool SWDataBase::reset() {
    abortBatch();
    bool result = true;
    {
        std::lock_guard guard(sharedLock_);
        const QString folder = folder_.isEmpty() ? platform::folders::userCaches() : folder_;
        dataBase_.reset();
        if (platform::folders::isFolder(folder)) {
            const QByteArray store = QFile::encodeName(storePath());
            const bool storeRemoved = ::unlink(store.constData()) == 0;
            const bool countRemoved = ::unlink(QFile::encodeName(countPath_).constData()) == 0;
            ::unlink((store + kLockSuffix).constData());
            result = storeRemoved && countRemoved;
        }
    }
    _reload();
    return result;
}

void SWDataBase::sync() {
    if (inBatch())
        return;  // the batch's commit flushes
    std::unique_lock lock(sharedLock_, std::try_to_lock);
    if (!lock.owns_lock() || !dataBase_)
        return;
    const int64_t current = monotonicSeconds();
    if (!changesPending_ && !(datesPending_ && current - lastFlush_ >= kLazyFlushSeconds))
        return;
    if (mdb_env_sync(dataBase_->env, 1) == MDB_SUCCESS) {
        changesPending_ = false;
        datesPending_ = false;
        lastFlush_ = current;
    }
}

bool SWDataBase::updateCountOnDisk() {
    if (countPath_.isEmpty())
        return false;
    return platform::plist::writeFile(countPath_,
                                      QVariantList{quint64(hamMailCount_.load()), quint64(spamMailCount_.load())});
}

// Doubles the map after MDB_MAP_FULL. Called with the lock held and no
// transaction open.
bool SWDataBase::growMap() {
    if (!dataBase_ || mapSize_ >= kMaximumMapSize)
        return false;
    const size_t size = mapSize_ * 2;
    if (mdb_env_set_mapsize(dataBase_->env, size) != MDB_SUCCESS)
        return false;
    mapSize_ = size;
    return true;
}

bool SWDataBase::addTokensToSpamDB(const SWTokenBag& tokens, int32_t hamOffset) {
    return addTokens(tokens, hamOffset, true);
}

bool SWDataBase::addTokensToHamDB(const SWTokenBag& tokens, int32_t spamOffset) {
    return addTokens(tokens, spamOffset, false);
}

namespace {

// The record keys of a message's tokens, in the bag's order.
std::vector<Key> keysOf(const SWTokenBag& tokens) {
    std::vector<Key> keys;
    keys.reserve(size_t(tokens.size()));
    Utf8Form utf8;
    for (auto it = tokens.constBegin(); it != tokens.constEnd(); ++it) {
        utf8.assign(it.key());
        if (!utf8.isEmpty())
            keys.push_back(makeKey(utf8));
    }
    return keys;
}

// Learns one message inside txn: every key gets one more spam (ham) count, its
// opposite count reduced by takeBack (floored at 0) and the date. The records
// written are appended to written. MDB_SUCCESS or the store's error.
int applyKeys(MDB_txn* txn, MDB_dbi dbi, std::vector<Key>& keys, uint64_t takeBack, bool spam, int32_t date,
              std::vector<std::pair<Key, SWDataBaseValue>>* written) {
    for (Key& key : keys) {
        SWDataBaseValue value;
        const int read = readRecord(txn, dbi, key, &value);
        if (read == MDB_NOTFOUND)
            value = SWDataBaseValue{};
        else if (read != MDB_SUCCESS)
            return read;
        uint64_t& own = spam ? value.spam : value.ham;
        uint64_t& opposite = spam ? value.ham : value.spam;
        opposite = opposite > takeBack ? opposite - takeBack : 0;
        own += 1;
        value.date = date;
        value.reserved = 0;
        const int rc = writeRecord(txn, dbi, key, value);
        if (rc != MDB_SUCCESS)
            return rc;
        written->emplace_back(key, value);
    }
    return MDB_SUCCESS;
}

// Keys of the batch journal.
constexpr const char* kJournalTransactionKey = "Transaction";
constexpr const char* kJournalCountsKey = "Counts";

}  // namespace

// An open batch: the write transaction, what it learned (replayed when the map
// has to grow), and the totals it adds.
struct SWDataBase::Batch {
    struct Message {
        std::vector<Key> keys;
        uint64_t takeBack;
        bool spam;
        int32_t date;
    };
    std::unique_lock<std::mutex> lock;
    MDB_txn* txn = nullptr;
    std::vector<Message> messages;
    PendingRecords pending;
    uint64_t spam = 0;
    uint64_t ham = 0;
    bool failed = false;
    ~Batch() {
        if (txn)
            mdb_txn_abort(txn);
    }
};

bool SWDataBase::addTokens(const SWTokenBag& tokens, int32_t offset, bool spam) {
    if (inBatch())
        return addTokensToBatch(tokens, offset, spam);
    {
        std::lock_guard guard(sharedLock_);
        if (!dataBase_)
            return false;
        // The offset is sign-extended and compared unsigned: a count above it is
        // reduced by it, any other becomes 0.
        const uint64_t takeBack = uint64_t(int64_t(offset));
        const int32_t date = int32_t(now());
        std::vector<Key> keys = keysOf(tokens);
        std::vector<std::pair<Key, SWDataBaseValue>> written;
        written.reserve(keys.size());
        size_t txnid = 0;
        for (;;) {
            written.clear();
            Txn txn(dataBase_->env, true);
            if (!txn.ok())
                return false;
            txnid = mdb_txn_id(txn.get());
            int rc = applyKeys(txn.get(), dataBase_->dbi, keys, takeBack, spam, date, &written);
            if (rc == MDB_SUCCESS)
                rc = txn.commit();
            if (rc == MDB_SUCCESS)
                break;
            if (rc != MDB_MAP_FULL)
                return false;  // the whole message stays unlearned
            // The map is full: the transaction is gone; widen the map and learn again.
            if (!growMap())
                return false;
        }
        takeOverCommit(txnid, written);
        (spam ? spamMailCount_ : hamMailCount_) += 1;
        changesPending_ = true;
    }
    sync();
    return true;
}

bool SWDataBase::inBatch() const { return batchThread_.load() == std::this_thread::get_id(); }

QString SWDataBase::batchJournalPath() const {
    const QString folder = folder_.isEmpty() ? platform::folders::userCaches() : folder_;
    return folder + QLatin1Char('/') + QLatin1String(SWDataBaseBatchJournalName);
}

bool SWDataBase::beginBatch() {
    if (inBatch())
        return false;
    auto batch = std::make_unique<Batch>();
    batch->lock = std::unique_lock(sharedLock_);
    if (!dataBase_)
        return false;
    if (mdb_txn_begin(dataBase_->env, nullptr, 0, &batch->txn) != MDB_SUCCESS) {
        batch->txn = nullptr;
        return false;
    }
    batch_ = batch.release();
    batchThread_ = std::this_thread::get_id();
    return true;
}

// Called on the batch's thread.
bool SWDataBase::addTokensToBatch(const SWTokenBag& tokens, int32_t offset, bool spam) {
    Batch& batch = *batch_;
    if (batch.failed)
        return false;
    batch.messages.push_back({keysOf(tokens), uint64_t(int64_t(offset)), spam, int32_t(now())});
    if (learnInBatch(batch.messages.size() - 1) != MDB_SUCCESS) {
        batch.failed = true;
        return false;
    }
    (spam ? batch.spam : batch.ham) += 1;
    return true;
}

// Learns one message of the batch into its pending records: every key gets one
// more spam (ham) count, its opposite count reduced by the take-back (floored
// at 0) and the date. A record the batch has not changed yet is read from the
// store, through the cache when it holds the snapshot the batch started from.
int SWDataBase::learnInBatch(size_t index) {
    Batch& batch = *batch_;
    const Batch::Message& message = batch.messages[index];
    RecordCache& cache = dataBase_->cache;
    const bool cached = cache.txnid() + 1 == mdb_txn_id(batch.txn);
    // The keys come mostly in order: records are read through one cursor,
    // which looks within its current page first.
    std::unique_ptr<MDB_cursor, decltype(&mdb_cursor_close)> cursor(nullptr, &mdb_cursor_close);
    for (Key key : message.keys) {
        SWDataBaseValue* value = batch.pending.find(key);
        if (!value) {
            SWDataBaseValue stored;
            int rc;
            if (const RecordCache::Entry* e = cached ? cache.find(key) : nullptr) {
                rc = e->state == 2 ? MDB_SUCCESS : MDB_NOTFOUND;
                stored = e->value;
            } else {
                if (!cursor) {
                    MDB_cursor* opened = nullptr;
                    if ((rc = mdb_cursor_open(batch.txn, dataBase_->dbi, &opened)) != MDB_SUCCESS)
                        return rc;
                    cursor.reset(opened);
                }
                rc = readRecordAt(cursor.get(), key, &stored);
                if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND)
                    rc = readRecord(batch.txn, dataBase_->dbi, key, &stored);
                if (cached && (rc == MDB_SUCCESS || rc == MDB_NOTFOUND))
                    cache.put(key, rc == MDB_SUCCESS ? &stored : nullptr);
            }
            if (rc == MDB_NOTFOUND)
                stored = SWDataBaseValue{};
            else if (rc != MDB_SUCCESS)
                return rc;
            value = batch.pending.insert(key, stored);
        }
        uint64_t& own = message.spam ? value->spam : value->ham;
        uint64_t& opposite = message.spam ? value->ham : value->spam;
        opposite = opposite > message.takeBack ? opposite - message.takeBack : 0;
        own += 1;
        value->date = message.date;
        value->reserved = 0;
    }
    return MDB_SUCCESS;
}

// Writes the batch's pending records in key order. A full map ends the
// transaction: a wider map, a new transaction, and the batch learned again.
int SWDataBase::writeBatch() {
    Batch& batch = *batch_;
    for (int attempt = 0;; ++attempt) {
        std::vector<std::pair<Key, SWDataBaseValue>*> records;
        records.reserve(batch.pending.records().size());
        for (auto& record : batch.pending.records())
            records.push_back(&record);
        std::sort(records.begin(), records.end(), [](const auto* a, const auto* b) {
            return std::memcmp(a->first.bytes, b->first.bytes, SWDataBaseKeySize) < 0;
        });
        int rc = MDB_SUCCESS;
        for (auto* record : records)
            if ((rc = writeRecord(batch.txn, dataBase_->dbi, record->first, record->second)) != MDB_SUCCESS)
                break;
        if (rc != MDB_MAP_FULL || attempt >= 8)
            return rc;
        mdb_txn_abort(batch.txn);
        batch.txn = nullptr;
        batch.pending.clear();
        if (!growMap() || mdb_txn_begin(dataBase_->env, nullptr, 0, &batch.txn) != MDB_SUCCESS) {
            batch.txn = nullptr;
            return MDB_MAP_FULL;
        }
        for (size_t i = 0; i < batch.messages.size(); ++i)
            if ((rc = learnInBatch(i)) != MDB_SUCCESS)
                return rc;
    }
}

// The journal of a batch's commit and the caller's companion files.
bool SWDataBase::writeBatchJournal(uint64_t transaction, uint64_t ham, uint64_t spam,
                                   const std::function<bool(uint64_t)>& beforeCommit) const {
    const bool ok = platform::plist::writeFile(
        batchJournalPath(), QVariantMap{{QLatin1String(kJournalTransactionKey), quint64(transaction)},
                                        {QLatin1String(kJournalCountsKey), QVariantList{quint64(ham), quint64(spam)}}});
    return ok && (!beforeCommit || beforeCommit(transaction));
}

bool SWDataBase::commitBatch(const std::function<bool(uint64_t)>& beforeCommit,
                             const std::function<void()>& afterCommit) {
    if (!inBatch())
        return false;
    Batch& batch = *batch_;
    if (batch.failed || !batch.txn || !dataBase_) {
        endBatch();
        return false;
    }
    if (batch.messages.empty()) {
        endBatch();
        return true;
    }
    const QString journal = batchJournalPath();
    // 1. The records, while a second thread writes the journal and the caller's
    // companion files (each flushed: the waits overlap). The commit's id and the
    // totals are known before: the transaction is open.
    uint64_t txnid = mdb_txn_id(batch.txn);
    uint64_t spam = spamMailCount_ + batch.spam;
    uint64_t ham = hamMailCount_ + batch.ham;
    std::future<bool> companions = std::async(std::launch::async, [this, txnid, ham, spam, &beforeCommit] {
        return writeBatchJournal(txnid, ham, spam, beforeCommit);
    });
    const int written = writeBatch();
    bool ok = companions.get();
    if (written != MDB_SUCCESS) {
        QFile::remove(journal);
        endBatch();
        return false;
    }
    // A map grown while writing may have begun the transaction again: the
    // journal must name the commit that happens.
    if (ok && (mdb_txn_id(batch.txn) != txnid || spamMailCount_ + batch.spam != spam ||
               hamMailCount_ + batch.ham != ham)) {
        txnid = mdb_txn_id(batch.txn);
        spam = spamMailCount_ + batch.spam;
        ham = hamMailCount_ + batch.ham;
        ok = writeBatchJournal(txnid, ham, spam, beforeCommit);
    }
    // 2. The commit, flushed.
    if (ok) {
        ok = mdb_txn_commit(batch.txn) == MDB_SUCCESS;
        batch.txn = nullptr;
    }
    if (!ok) {
        QFile::remove(journal);
        endBatch();
        return false;
    }
    mdb_env_sync(dataBase_->env, 1);
    takeOverCommit(txnid, batch.pending.records());
    spamMailCount_ = spam;
    hamMailCount_ = ham;
    changesPending_ = false;
    lastFlush_ = monotonicSeconds();
    // 3. The count file (the journal has then served) beside the caller's
    // follow-up: a process killed now completes either from the journal.
    std::future<void> counted = std::async(std::launch::async, [this, journal] {
        if (updateCountOnDisk())
            QFile::remove(journal);
    });
    if (afterCommit)
        afterCommit();
    counted.get();
    endBatch();
    return true;
}

void SWDataBase::abortBatch() {
    if (inBatch())
        endBatch();
}

// Drops the batch, aborting its transaction if still open, and unlocks the store.
void SWDataBase::endBatch() {
    batchThread_ = std::thread::id();
    delete batch_;
    batch_ = nullptr;
}

uint64_t SWDataBase::lastTransaction() {
    std::unique_lock lock(sharedLock_, std::defer_lock);
    if (!inBatch())
        lock.lock();
    MDB_envinfo info;
    if (!dataBase_ || mdb_env_info(dataBase_->env, &info) != MDB_SUCCESS)
        return 0;
    return uint64_t(info.me_last_txnid);
}

// The journal of a batch whose process died while it committed: when the store
// holds that commit, its totals are the true ones and go to the count file;
// otherwise the batch never happened. Called with the lock held, the store open.
void SWDataBase::completeJournal() {
    const QString journal = batchJournalPath();
    if (!fileExists(journal))
        return;
    const std::optional<QVariantMap> entry = platform::plist::readDictionary(journal);
    MDB_envinfo info;
    if (entry && mdb_env_info(dataBase_->env, &info) == MDB_SUCCESS) {
        const QVariant txn = entry->value(QLatin1String(kJournalTransactionKey));
        const QVariantList counts = entry->value(QLatin1String(kJournalCountsKey)).toList();
        if (txn.isValid() && counts.size() == 2 && uint64_t(info.me_last_txnid) >= txn.toULongLong() &&
            platform::plist::writeFile(countPath_, counts))
            platform::log::console(QString::fromLatin1(kLogJournalCompleted));
    }
    QFile::remove(journal);
}

// After a commit of this store with the given id that wrote these records: a
// cache of the snapshot just before it takes them over and follows the store;
// any other cache is stale. Called with the lock held.
void SWDataBase::takeOverCommit(size_t txnid, const std::vector<std::pair<Key, SWDataBaseValue>>& written) {
    RecordCache& cache = dataBase_->cache;
    if (written.empty())
        return;  // nothing written: the store's id did not move
    if (cache.txnid() + 1 != txnid) {
        cache.validate(txnid);  // empties it
        return;
    }
    for (const auto& [key, value] : written)
        cache.put(key, &value);
    cache.setTxnid(txnid);
}

// The record of key in the snapshot of txn, through the cache. MDB_SUCCESS,
// MDB_NOTFOUND or the store's error. Called with the lock held.
int SWDataBase::lookUpRecord(MDB_txn* txn, Key& key, SWDataBaseValue* value) {
    RecordCache& cache = dataBase_->cache;
    if (const RecordCache::Entry* e = cache.find(key)) {
        if (e->state == 1)
            return MDB_NOTFOUND;
        *value = e->value;
        return MDB_SUCCESS;
    }
    const int rc = readRecord(txn, dataBase_->dbi, key, value);
    if (rc == MDB_SUCCESS)
        cache.put(key, value);
    else if (rc == MDB_NOTFOUND)
        cache.put(key, nullptr);
    return rc;
}

std::optional<std::vector<float>> SWDataBase::getSpamitudeArrayFromTokens(const SWTokenBag& tokens, bool updateDate) {
    if (inBatch())
        return std::nullopt;
    std::unique_lock lock(sharedLock_, std::try_to_lock);
    if (!lock.owns_lock() || !dataBase_)
        return std::nullopt;
    const int32_t date = int32_t(now());
    const uint64_t spamTotal = spamMailCount_;
    const uint64_t hamTotal = hamMailCount_;
    std::vector<float> result;
    result.reserve(size_t(tokens.size()));
    std::vector<Key> stale;  // known records whose date wants refreshing
    {
        Txn txn(dataBase_->env, false);
        if (!txn.ok())
            return std::nullopt;
        dataBase_->cache.validate(mdb_txn_id(txn.get()));
        Utf8Form form;
        for (auto it = tokens.constBegin(); it != tokens.constEnd(); ++it) {
            form.assign(it.key());
            if (hasRepetition(form)) {
                result.push_back(kHighClamp);
                continue;
            }
            // Look the token up; while it lacks weight, try its variants: without a
            // trailing "!", "?" or "'", then once with its ASCII case flipped.
            float probability = kUnknownProbability;
            bool caseChanged = false;
            for (;;) {
                Key key = makeKey(form);
                SWDataBaseValue value;
                const int rc = lookUpRecord(txn.get(), key, &value);
                if (rc == MDB_NOTFOUND)
                    break;
                if (rc != MDB_SUCCESS)
                    return std::nullopt;
                if (updateDate && int64_t(date) - int64_t(value.date) >= kDateRefreshSeconds)
                    stale.push_back(key);
                const float s = float(value.spam);
                const float h = 2.0f * float(value.ham);
                if (h + s > kMinimumWeight) {
                    if (spamTotal == 0) {
                        probability = kLowClamp;
                    } else if (hamTotal == 0) {
                        probability = kHighClamp;
                    } else {
                        const float a = std::min(kFrequencyCap, s / float(spamTotal));
                        const float b = std::min(kFrequencyCap, h / float(hamTotal));
                        const float p = a / (a + b);
                        if (p > kHighClamp)
                            probability = value.ham == 0 ? kOnlySpamProbability : kHighClamp;
                        else if (p < kLowClamp)
                            probability = value.spam == 0 ? kOnlyHamProbability : kLowClamp;
                        else
                            probability = p;
                    }
                    break;
                }
                const char last = form.isEmpty() ? 0 : form.back();
                if (last == '!' || last == '?' || last == '\'') {
                    form.chop(1);
                    if (form.isEmpty())
                        break;
                    continue;
                }
                if (caseChanged || form.isEmpty())
                    break;
                const char first = form.front();
                if (first >= 'A' && first <= 'Z') {
                    for (char& c : form)
                        if (c >= 'A' && c <= 'Z')
                            c = char(c - 'A' + 'a');
                } else if (first >= 'a' && first <= 'z') {
                    for (char& c : form)
                        if (c >= 'a' && c <= 'z')
                            c = char(c - 'a' + 'A');
                } else {
                    break;
                }
                caseChanged = true;
            }
            result.push_back(probability);
        }
    }
    if (!stale.empty())
        refreshDates(stale, date);
    return result;
}

// Sets the date of the known records among keys to date, in one write
// transaction; a failure leaves the old dates (they only delay ageing). Called
// with the lock held and no transaction open.
void SWDataBase::refreshDates(const std::vector<Key>& keys, int32_t date) {
    Txn txn(dataBase_->env, true);
    if (!txn.ok())
        return;
    const size_t txnid = mdb_txn_id(txn.get());
    std::vector<std::pair<Key, SWDataBaseValue>> written;
    written.reserve(keys.size());
    for (Key key : keys) {
        SWDataBaseValue value;
        if (readRecord(txn.get(), dataBase_->dbi, key, &value) != MDB_SUCCESS || value.date == date)
            continue;
        value.date = date;
        value.reserved = 0;
        if (writeRecord(txn.get(), dataBase_->dbi, key, value) != MDB_SUCCESS)
            return;
        written.emplace_back(key, value);
    }
    const int rc = txn.commit();
    if (rc == MDB_MAP_FULL) {
        growMap();
        return;
    }
    if (rc != MDB_SUCCESS)
        return;
    takeOverCommit(txnid, written);
    datesPending_ = true;
}

bool SWDataBase::removeItemsFromArray(const QStringList& tokens) {
    abortBatch();  // a batch of this thread would hold the lock
    {
        std::lock_guard guard(sharedLock_);
        if (!dataBase_)
            return true;
        Txn txn(dataBase_->env, true);
        if (txn.ok()) {
            for (const QString& token : tokens) {
                Key key = makeKey(token.toUtf8());
                MDB_val k{SWDataBaseKeySize, key.bytes};
                const int rc = mdb_del(txn.get(), dataBase_->dbi, &k, nullptr);
                if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND)
                    return true;
            }
            if (txn.commit() == MDB_SUCCESS)
                changesPending_ = true;
        }
    }
    sync();
    return true;
}

bool SWDataBase::removeOldItemsFromDataBase() {
    abortBatch();  // a batch of this thread would hold the lock
    const int64_t current = now();
    std::vector<Key> expired;
    expired.reserve(100);
    {
        std::lock_guard guard(sharedLock_);
        if (!dataBase_)
            return true;
        Txn txn(dataBase_->env, false);
        MDB_cursor* cursor = nullptr;
        if (txn.ok() && mdb_cursor_open(txn.get(), dataBase_->dbi, &cursor) == MDB_SUCCESS) {
            MDB_val k, d;
            while (mdb_cursor_get(cursor, &k, &d, MDB_NEXT) == MDB_SUCCESS) {
                if (k.mv_size != SWDataBaseKeySize || d.mv_size != SWDataBaseValueSize)
                    continue;
                const SWDataBaseValue value = decodeValue(d);
                uint64_t weight = value.ham + (value.spam > 3 ? value.spam : value.spam / 2);
                if (weight < value.ham)  // the sum wrapped: heavy beyond any limit
                    continue;
                if (weight == 0)
                    weight = 1;
                if (weight > kAgeingMaxWeight)
                    continue;
                if (current - int64_t(value.date) > int64_t(weight) * kAgeingUnitSeconds) {
                    Key key;
                    std::memcpy(key.bytes, k.mv_data, SWDataBaseKeySize);
                    expired.push_back(key);
                }
            }
            mdb_cursor_close(cursor);
        }
    }
    // Deleted in small batches, so lookups waiting on the lock get their turn.
    for (size_t start = 0; start < expired.size(); start += kDeletionBatch) {
        std::lock_guard guard(sharedLock_);
        if (!dataBase_)
            break;
        Txn txn(dataBase_->env, true);
        if (!txn.ok())
            break;
        const size_t end = std::min(expired.size(), start + kDeletionBatch);
        for (size_t i = start; i < end; ++i) {
            MDB_val k{SWDataBaseKeySize, expired[i].bytes};
            mdb_del(txn.get(), dataBase_->dbi, &k, nullptr);
        }
        if (txn.commit() != MDB_SUCCESS)
            break;
    }
    std::lock_guard guard(sharedLock_);
    if (dataBase_)
        mdb_env_sync(dataBase_->env, 1);
    return true;
}

bool SWDataBase::addItem(const QVariantMap* item) {
    abortBatch();  // a batch of this thread would hold the lock
    if (!item)
        return true;
    {
        std::lock_guard guard(sharedLock_);
        if (!dataBase_)
            return true;
        const auto keyword = item->constFind(QLatin1String(SWDataBaseKeywordKey));
        if (keyword == item->constEnd() || keyword->typeId() != QMetaType::QString)
            return true;
        const QByteArray utf8 = keyword->toString().toUtf8();
        if (utf8.isEmpty())
            return false;
        Key key = makeKey(utf8);
        for (;;) {
            Txn txn(dataBase_->env, true);
            if (!txn.ok())
                return false;
            SWDataBaseValue value;
            const int read = readRecord(txn.get(), dataBase_->dbi, key, &value);
            if (read != MDB_NOTFOUND)
                return false;  // known already, or the store fails
            value = SWDataBaseValue{};
            value.spam = platform::plist::unsignedValue(*item, QLatin1String(SWDataBaseSpamKey));
            value.ham = platform::plist::unsignedValue(*item, QLatin1String(SWDataBaseHamKey));
            value.date = int32_t(now());
            int rc = writeRecord(txn.get(), dataBase_->dbi, key, value);
            if (rc == MDB_SUCCESS)
                rc = txn.commit();
            if (rc == MDB_SUCCESS)
                break;
            if (rc != MDB_MAP_FULL || !growMap())
                return false;
        }
        changesPending_ = true;
    }
    sync();
    return true;
}

std::optional<SWDataBaseValue> SWDataBase::valueForToken(const QString& token) {
    abortBatch();  // a batch of this thread would hold the lock
    std::lock_guard guard(sharedLock_);
    if (!dataBase_)
        return std::nullopt;
    Txn txn(dataBase_->env, false);
    if (!txn.ok())
        return std::nullopt;
    Key key = makeKey(token.toUtf8());
    SWDataBaseValue value;
    if (readRecord(txn.get(), dataBase_->dbi, key, &value) != MDB_SUCCESS)
        return std::nullopt;
    return value;
}

int64_t SWDataBase::recordCount() {
    abortBatch();  // a batch of this thread would hold the lock
    std::lock_guard guard(sharedLock_);
    if (!dataBase_)
        return -1;
    Txn txn(dataBase_->env, false);
    MDB_stat stat;
    if (!txn.ok() || mdb_stat(txn.get(), dataBase_->dbi, &stat) != MDB_SUCCESS)
        return -1;
    return int64_t(stat.ms_entries);
}
