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
#include <memory>
#include <string>
#include <string_view>

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
void encodeKey(QStringView token, QByteArray& buffer) {
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

MDB_val value(std::string_view bytes) { return value(bytes.data(), bytes.size()); }

uint32_t hashOf(std::string_view bytes) {
    uint64_t h = 0x9e3779b97f4a7c15ull ^ bytes.size();
    const char* p = bytes.data();
    size_t n = bytes.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t chunk;
        std::memcpy(&chunk, p, 8);
        h = (h ^ chunk) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    }
    for (; n > 0; ++p, --n)
        h = (h ^ static_cast<unsigned char>(*p)) * 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 29;
    return uint32_t(h);
}

}  // namespace

namespace {

// The first eight bytes of a key, big-endian, zero-padded: ordering by it
// orders as the keys do, save among keys that share it.
uint64_t prefixOf(std::string_view key) {
    unsigned char bytes[8] = {};
    std::memcpy(bytes, key.data(), std::min<size_t>(key.size(), 8));
    return qFromBigEndian<quint64>(bytes);
}

}  // namespace

// The distinct store keys of a message's tokens in key order, their bytes in
// one buffer, each with its hash.
template <typename Tokens>
void SWChiSquareStore::Keys::build(const Tokens& tokens, size_t count) {
    // Each key with its packed first bytes: sorted by those, the rest compared
    // only between keys that share them.
    struct Entry {
        uint64_t prefix;
        uint32_t offset, size;
    };
    std::vector<Entry> order;
    order.reserve(count);
    bytes.reserve(count * 12);
    QByteArray utf8;
    for (size_t t = 0; t < count; ++t) {
        const QStringView token = tokens[t];
        const size_t start = bytes.size();
        const char16_t* in = token.utf16();
        const qsizetype n = std::min<qsizetype>(token.size(), SWChiSquareMaximumKeyBytes);
        qsizetype i = 0;
        while (i < n && in[i] < 0x80)
            ++i;
        if (i == n) {  // ASCII: one byte per character
            bytes.resize(start + size_t(n));
            char* out = bytes.data() + start;
            for (i = 0; i < n; ++i)
                out[i] = char(in[i]);
        } else {
            utf8 = token.toUtf8();
            bytes.append(utf8.constData(), size_t(std::min<qsizetype>(utf8.size(), SWChiSquareMaximumKeyBytes)));
        }
        const uint32_t size = uint32_t(bytes.size() - start);
        order.push_back({prefixOf(std::string_view(bytes.data() + start, size)), uint32_t(start), size});
    }
    const char* base = bytes.data();
    const auto rest = [base](const Entry& e) {
        return e.size > 8 ? std::string_view(base + e.offset + 8, e.size - 8) : std::string_view();
    };
    std::sort(order.begin(), order.end(), [&](const Entry& a, const Entry& b) {
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix;
        // The same first bytes: a key of at most eight bytes is padded with
        // zero bytes, so the shorter one goes first when the rest is equal.
        if (a.size <= 8 || b.size <= 8)
            return a.size < b.size;
        return rest(a) < rest(b);
    });
    // Cutting may make two tokens one: each key once.
    spans.reserve(order.size());
    hashes.reserve(order.size());
    const Entry* last = nullptr;
    for (const Entry& e : order) {
        if (last && last->prefix == e.prefix && last->size == e.size && rest(*last) == rest(e))
            continue;
        last = &e;
        spans.emplace_back(e.offset, e.size);
        hashes.push_back(hashOf(std::string_view(base + e.offset, e.size)));
    }
}

SWChiSquareStore::Keys::Keys(const QString& key, const std::vector<QString>& tokens) : hashed(historyKey(key)) {
    build(tokens, tokens.size());
}

SWChiSquareStore::Keys::Keys(const QString& key, const SWChiSquareTokenList& tokens) : hashed(historyKey(key)) {
    build(tokens, tokens.size());
}

namespace {

// The token counts an open transaction changed, by key: a flat table with a
// cheap hash, the keys' bytes in one buffer.
class CountTable {
public:
    struct Entry {
        size_t offset;
        uint32_t size;
        uint32_t hash;
        SWChiSquareCounts counts;
    };

    CountTable() { clear(); }
    void clear() {
        entries_.clear();
        bytes_.clear();
        slots_.assign(4096, kEmpty);
    }
    std::string_view keyOf(const Entry& e) const { return std::string_view(bytes_.data() + e.offset, e.size); }
    // The entry of key, or nullptr.
    Entry* find(std::string_view key, uint32_t hash) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            if (slots_[i] == kEmpty)
                return nullptr;
            Entry& e = entries_[slots_[i]];
            if (e.hash == hash && keyOf(e) == key)
                return &e;
        }
    }
    // Adds key (not in the table).
    Entry& insert(std::string_view key, uint32_t hash, SWChiSquareCounts counts) {
        if ((entries_.size() + 1) * 2 > slots_.size())
            grow();
        const size_t mask = slots_.size() - 1;
        size_t i = hash & mask;
        while (slots_[i] != kEmpty)
            i = (i + 1) & mask;
        slots_[i] = uint32_t(entries_.size());
        entries_.push_back({bytes_.size(), uint32_t(key.size()), hash, counts});
        bytes_.append(key);
        return entries_.back();
    }
    const std::vector<Entry>& entries() const { return entries_; }

private:
    static constexpr uint32_t kEmpty = UINT32_MAX;
    void grow() {
        slots_.assign(slots_.size() * 2, kEmpty);
        const size_t mask = slots_.size() - 1;
        for (uint32_t at = 0; at < uint32_t(entries_.size()); ++at) {
            size_t i = entries_[at].hash & mask;
            while (slots_[i] != kEmpty)
                i = (i + 1) & mask;
            slots_[i] = at;
        }
    }
    std::vector<Entry> entries_;
    std::string bytes_;
    std::vector<uint32_t> slots_;
};

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

// The work of one open write transaction: the tokens it changed with their new
// counts (written when it finishes), and the totals and history sequence as
// they stand inside it.
struct SWChiSquareStore::Pending {
    MDB_txn* txn = nullptr;
    CountTable counts;
    uint64_t spamTotal = 0, hamTotal = 0, sequence = 0;

    ~Pending() { abort(); }
    void abort() {
        if (txn)
            mdb_txn_abort(txn);
        txn = nullptr;
        counts.clear();
    }
};

// An open batch: its transaction, and what it learned so far (learned again
// when the map has to grow, which ends the transaction).
struct SWChiSquareStore::Batch {
    struct Message {
        Keys keys;
        bool spam;
    };
    Pending pending;
    std::vector<Message> messages;
    bool failed = false;
};

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

SWChiSquareStore::~SWChiSquareStore() {
    abortBatch();
    close();
}

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
    // Inside a batch, what the batch learned counts.
    MDB_txn* txn = batch_ ? batch_->pending.txn : nullptr;
    if (!txn && mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn) != MDB_SUCCESS)
        return std::nullopt;
    const QByteArray hashed = historyKey(key);
    MDB_val k = keyOf(hashed), d{};
    std::optional<int> mark;
    if (mdb_get(txn, history_, &k, &d) == MDB_SUCCESS && d.mv_size == 9)
        mark = static_cast<const signed char*>(d.mv_data)[0];
    if (!batch_ || txn != batch_->pending.txn)
        mdb_txn_abort(txn);
    return mark;
}

int SWChiSquareStore::begin(Pending& pending) {
    pending.abort();
    int rc = mdb_txn_begin(env_, nullptr, 0, &pending.txn);
    if (rc == MDB_MAP_RESIZED) {
        mdb_env_set_mapsize(env_, 0);  // another process grew the map
        rc = mdb_txn_begin(env_, nullptr, 0, &pending.txn);
    }
    if (rc != MDB_SUCCESS) {
        pending.txn = nullptr;
        return rc;
    }
    pending.spamTotal = readNumber(pending.txn, meta_, kSpamKey, &rc);
    if (rc == MDB_SUCCESS)
        pending.hamTotal = readNumber(pending.txn, meta_, kHamKey, &rc);
    if (rc == MDB_SUCCESS)
        pending.sequence = readNumber(pending.txn, meta_, kSequenceKey, &rc);
    if (rc != MDB_SUCCESS)
        pending.abort();
    return rc;
}

// Learns one message inside the pending transaction. The history is written at
// once; token counts and totals only in memory. MDB_MAP_FULL ends the
// transaction for good (the caller grows the map and learns again).
int SWChiSquareStore::apply(Pending& pending, const Keys& keys, bool spam, Training* outcome) {
    const QByteArray& hashed = keys.hashed;
    MDB_txn* txn = pending.txn;
    // How the message is counted now.
    MDB_val hk = keyOf(hashed), hd{};
    int previous = 0;
    uint64_t sequence = 0;
    int rc = mdb_get(txn, history_, &hk, &hd);
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

    const bool takeBack = previous == -mark;
    // The keys come in order: read through one cursor, which looks within its
    // current page first.
    MDB_cursor* cursor = nullptr;
    if ((rc = mdb_cursor_open(txn, tokens_, &cursor)) != MDB_SUCCESS)
        return rc;
    const std::unique_ptr<MDB_cursor, decltype(&mdb_cursor_close)> closer(cursor, &mdb_cursor_close);
    for (size_t i = 0; i < keys.size(); ++i) {
        const std::string_view key = keys[i];
        const uint32_t hash = keys.hashes[i];
        CountTable::Entry* entry = pending.counts.find(key, hash);
        if (!entry) {
            MDB_val k = value(key), d{};
            rc = mdb_cursor_get(cursor, &k, &d, MDB_SET_KEY);
            if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND)
                return rc;
            entry = &pending.counts.insert(key, hash, rc == MDB_SUCCESS ? decodeCounts(d) : SWChiSquareCounts{});
        }
        uint32_t& gain = spam ? entry->counts.spam : entry->counts.ham;
        uint32_t& loss = spam ? entry->counts.ham : entry->counts.spam;
        if (gain < UINT32_MAX)
            ++gain;
        if (takeBack && loss > 0)
            --loss;
    }
    (spam ? pending.spamTotal : pending.hamTotal) += 1;
    if (takeBack) {
        uint64_t& other = spam ? pending.hamTotal : pending.spamTotal;
        other = other > 0 ? other - 1 : 0;
    }
    rc = MDB_SUCCESS;
    // The history entry, and the order in which entries are dropped.
    if (!takeBack) {
        sequence = ++pending.sequence;
        unsigned char seq[8];
        qToBigEndian<quint64>(sequence, seq);
        MDB_val ok = value(seq, 8), od = keyOf(hashed);
        rc = mdb_put(txn, order_, &ok, &od, 0);
        MDB_stat stat;
        if (rc == MDB_SUCCESS && mdb_stat(txn, order_, &stat) == MDB_SUCCESS &&
            stat.ms_entries > size_t(SWChiSquareHistoryLimit)) {
            MDB_cursor* cursor = nullptr;
            if (mdb_cursor_open(txn, order_, &cursor) == MDB_SUCCESS) {
                MDB_val ck{}, cd{};
                if (mdb_cursor_get(cursor, &ck, &cd, MDB_FIRST) == MDB_SUCCESS) {
                    const QByteArray oldest(static_cast<const char*>(cd.mv_data), qsizetype(cd.mv_size));
                    MDB_val dk = keyOf(oldest);
                    mdb_del(txn, history_, &dk, nullptr);
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
        rc = mdb_put(txn, history_, &ek, &ed, 0);
    }
    if (rc == MDB_SUCCESS)
        *outcome = Training::Learned;
    return rc;
}

// Writes the changed counts in key order (neighbouring keys share pages), the
// totals and the sequence, and commits.
int SWChiSquareStore::finish(Pending& pending) {
    const CountTable& table = pending.counts;
    std::vector<const CountTable::Entry*> changed;
    changed.reserve(table.entries().size());
    for (const CountTable::Entry& e : table.entries())
        changed.push_back(&e);
    std::sort(changed.begin(), changed.end(),
              [&](const CountTable::Entry* a, const CountTable::Entry* b) { return table.keyOf(*a) < table.keyOf(*b); });
    int rc = MDB_SUCCESS;
    for (const CountTable::Entry* e : changed) {
        unsigned char bytes[8];
        qToBigEndian<quint32>(e->counts.spam, bytes);
        qToBigEndian<quint32>(e->counts.ham, bytes + 4);
        MDB_val k = value(table.keyOf(*e)), d = value(bytes, 8);
        rc = mdb_put(pending.txn, tokens_, &k, &d, 0);
        if (rc != MDB_SUCCESS)
            return rc;
    }
    rc = writeNumber(pending.txn, meta_, kSpamKey, pending.spamTotal);
    if (rc == MDB_SUCCESS)
        rc = writeNumber(pending.txn, meta_, kHamKey, pending.hamTotal);
    if (rc == MDB_SUCCESS)
        rc = writeNumber(pending.txn, meta_, kSequenceKey, pending.sequence);
    if (rc != MDB_SUCCESS)
        return rc;
    rc = mdb_txn_commit(pending.txn);
    pending.txn = nullptr;
    pending.counts.clear();
    if (rc == MDB_SUCCESS) {
        spamTotal_ = pending.spamTotal;
        hamTotal_ = pending.hamTotal;
    }
    return rc;
}

// The batch's transaction is gone (the map was full): a wider map, a new
// transaction, and everything the batch learned so far learned again.
int SWChiSquareStore::replayBatch() {
    Batch& batch = *batch_;
    batch.pending.abort();
    if (!grow())
        return MDB_MAP_FULL;
    int rc = begin(batch.pending);
    for (size_t i = 0; rc == MDB_SUCCESS && i < batch.messages.size(); ++i) {
        Training ignored = Training::Failed;
        rc = apply(batch.pending, batch.messages[i].keys, batch.messages[i].spam, &ignored);
    }
    return rc;
}

SWChiSquareStore::Training SWChiSquareStore::learn(const QString& key, const std::vector<QString>& tokens, bool spam) {
    return learn(Keys(key, tokens), spam);
}

SWChiSquareStore::Training SWChiSquareStore::learn(Keys keys, bool spam) {
    if (!env_ || (batch_ && batch_->failed))
        return Training::Failed;
    if (batch_) {
        Training outcome = Training::Failed;
        int rc = apply(batch_->pending, keys, spam, &outcome);
        batch_->messages.push_back({std::move(keys), spam});
        for (int attempt = 0; rc == MDB_MAP_FULL && attempt < 8; ++attempt)
            rc = replayBatch();
        if (rc != MDB_SUCCESS) {
            batch_->failed = true;
            batch_->pending.abort();
            return Training::Failed;
        }
        return outcome;
    }

    Pending pending;
    for (int attempt = 0; attempt < 8; ++attempt) {
        Training outcome = Training::Failed;
        int rc = begin(pending);
        if (rc == MDB_SUCCESS)
            rc = apply(pending, keys, spam, &outcome);
        if (rc == MDB_SUCCESS && outcome == Training::AlreadyLearned)
            return outcome;  // nothing to write
        if (rc == MDB_SUCCESS)
            rc = finish(pending);
        if (rc == MDB_SUCCESS)
            return outcome;
        pending.abort();
        if (rc != MDB_MAP_FULL || !grow())
            return Training::Failed;
    }
    return Training::Failed;
}

bool SWChiSquareStore::beginBatch() {
    if (!env_ || batch_)
        return false;
    auto batch = std::make_unique<Batch>();
    if (begin(batch->pending) != MDB_SUCCESS)
        return false;
    batch_ = batch.release();
    return true;
}

bool SWChiSquareStore::commitBatch() {
    if (!batch_)
        return false;
    int rc = batch_->failed ? MDB_PANIC : finish(batch_->pending);
    for (int attempt = 0; rc == MDB_MAP_FULL && attempt < 8; ++attempt) {
        rc = replayBatch();
        if (rc == MDB_SUCCESS)
            rc = finish(batch_->pending);
    }
    abortBatch();
    return rc == MDB_SUCCESS;
}

void SWChiSquareStore::abortBatch() {
    delete batch_;
    batch_ = nullptr;
}

bool SWChiSquareStore::lookUp(const std::vector<QString>& tokens, std::vector<SWChiSquareCounts>& counts,
                              uint64_t* spamTotal, uint64_t* hamTotal) {
    return lookUpTokens(tokens, counts, spamTotal, hamTotal);
}

bool SWChiSquareStore::lookUp(const SWChiSquareTokenList& tokens, std::vector<SWChiSquareCounts>& counts,
                              uint64_t* spamTotal, uint64_t* hamTotal) {
    return lookUpTokens(tokens, counts, spamTotal, hamTotal);
}

template <typename Tokens>
bool SWChiSquareStore::lookUpTokens(const Tokens& tokens, std::vector<SWChiSquareCounts>& counts, uint64_t* spamTotal,
                                    uint64_t* hamTotal) {
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
    abortBatch();
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
