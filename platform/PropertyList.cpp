// Property lists: QVariant trees <-> libplist nodes <-> XML or binary bytes.
//
// libplist parses recursively and trusts the structure of a binary property
// list more than a hostile file deserves, so every input is checked here first:
// a size cap, a nesting limit, a node budget (shared objects of a binary list are
// expanded by libplist, so a small file could otherwise describe a huge tree),
// and, for binary lists, the trailer, offset table, object bounds and references.
//
// libplist keeps integers as 64-bit patterns; whether a pattern with the top bit
// set is a negative or a large unsigned number is only visible in the text it
// writes, so such nodes are created from and classified through that text.

#include "platform/PropertyList.h"

#include "platform/FileWriting.h"

#include <plist/plist.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMetaType>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform::plist {

namespace {

// Limits for untrusted input.
constexpr qint64 kMaxInputBytes = 128LL * 1024 * 1024;
constexpr int kMaxDepth = 512;
constexpr quint64 kMaxNodes = 4'000'000;

// libplist dates count seconds from 2001-01-01 00:00:00 UTC.
const QDateTime& referenceDate() {
    static const QDateTime epoch(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return epoch;
}

struct NodeDeleter {
    void operator()(plist_t node) const {
        if (node)
            plist_free(node);
    }
};
using Node = std::unique_ptr<void, NodeDeleter>;

struct XmlText {
    char* text = nullptr;
    uint32_t length = 0;
    ~XmlText() {
        if (text)
            plist_to_xml_free(text);
    }
};

// ---------------------------------------------------------------------------
// Guard for XML input. libplist's XML reader is lenient (a dictionary key without
// a value, "12x" as an integer and unparsable dates are accepted) and recursive,
// so the document is checked first by a small scanner: element names and nesting
// (with limits), key/value alternation in dictionaries, one value in <plist>, and
// the text of integers, reals, dates and data. Text content cannot contain '<',
// so every tag is seen; comments, CDATA, processing instructions and declarations
// are skipped.

class XmlGuard {
public:
    XmlGuard(const char* data, size_t size) : p_(data), end_(data + size) {}

    bool check() {
        while (p_ < end_) {
            const char* lt = static_cast<const char*>(std::memchr(p_, '<', size_t(end_ - p_)));
            if (!text(p_, lt ? lt : end_))
                return false;
            if (!lt)
                break;
            const char* q = lt + 1;
            if (startsWith(q, "!--")) {
                if (!(p_ = skipPast(q + 3, "-->")))
                    return false;
            } else if (startsWith(q, "![CDATA[")) {
                const char* close = find(q + 8, "]]>");
                if (!close || !text(q + 8, close, true))
                    return false;
                p_ = close + 3;
            } else if (startsWith(q, "?")) {
                if (!(p_ = skipPast(q + 1, "?>")))
                    return false;
            } else if (startsWith(q, "!")) {
                if (!(p_ = skipPast(q + 1, ">")))
                    return false;
            } else {
                const char* gt = static_cast<const char*>(std::memchr(q, '>', size_t(end_ - q)));
                if (!gt || !tag(q, gt))
                    return false;
                p_ = gt + 1;
            }
        }
        return stack_.empty() && sawPlist_;
    }

private:
    enum Kind { Plist, Dict, Array, Key, String, Integer, Real, Date, Data, True, False, Unknown };
    struct Frame {
        Kind kind;
        quint64 children = 0;
        std::string text;
    };

    static bool isLeaf(Kind k) { return k >= Key; }

    static Kind kindOf(std::string_view name) {
        static const std::pair<std::string_view, Kind> names[] = {
            {"plist", Plist},   {"dict", Dict},       {"array", Array}, {"key", Key},
            {"string", String}, {"integer", Integer}, {"real", Real},   {"date", Date},
            {"data", Data},     {"true", True},       {"false", False}};
        for (const auto& [n, k] : names)
            if (n == name)
                return k;
        return Unknown;
    }

    bool startsWith(const char* q, const char* s) const {
        size_t n = std::strlen(s);
        return size_t(end_ - q) >= n && std::memcmp(q, s, n) == 0;
    }
    const char* find(const char* from, const char* s) const {
        size_t n = std::strlen(s);
        for (const char* q = from; q + n <= end_; ++q)
            if (std::memcmp(q, s, n) == 0)
                return q;
        return nullptr;
    }
    const char* skipPast(const char* from, const char* s) const {
        const char* at = find(from, s);
        return at ? at + std::strlen(s) : nullptr;
    }
    static bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

    // "&#0;", "&#x00;" and the like.
    static bool hasNulReference(const char* from, const char* to) {
        for (const char* c = from; c + 2 < to; ++c) {
            if (c[0] != '&' || c[1] != '#')
                continue;
            const char* d = c + 2;
            const bool hex = d < to && (*d == 'x' || *d == 'X');
            if (hex)
                ++d;
            quint64 value = 0;
            bool any = false;
            for (; d < to && std::isxdigit(static_cast<unsigned char>(*d)) &&
                   (hex || std::isdigit(static_cast<unsigned char>(*d)));
                 ++d) {
                any = true;
                value = std::min<quint64>(
                    value * (hex ? 16 : 10) + quint64(std::isdigit(static_cast<unsigned char>(*d))
                                                          ? *d - '0'
                                                          : (std::tolower(static_cast<unsigned char>(*d)) - 'a' + 10)),
                    0x110000);
            }
            if (any && value == 0)
                return true;
        }
        return false;
    }

    // Character data: kept for leaves, only white space elsewhere.
    bool text(const char* from, const char* to, bool cdata = false) {
        if (from >= to)
            return true;
        if (!stack_.empty() && isLeaf(stack_.back().kind)) {
            Frame& f = stack_.back();
            // Any text; libplist decodes the entities, but a NUL it would make aborts it.
            if (f.kind == String || f.kind == Key)
                return cdata || !hasNulReference(from, to);
            if (!cdata && std::memchr(from, '&', size_t(to - from)))
                return false;
            if (f.text.size() + size_t(to - from) > 4096)
                return false;
            f.text.append(from, size_t(to - from));
            return true;
        }
        for (const char* c = from; c < to; ++c)
            if (!blank(*c))
                return false;
        return true;
    }

    bool tag(const char* q, const char* gt) {
        const bool closing = *q == '/';
        const bool selfClosing = !closing && gt > q && gt[-1] == '/';
        const char* nameStart = closing ? q + 1 : q;
        const char* nameEnd = nameStart;
        while (nameEnd < gt && !blank(*nameEnd) && *nameEnd != '/')
            ++nameEnd;
        const Kind kind = kindOf(std::string_view(nameStart, size_t(nameEnd - nameStart)));
        if (kind == Unknown)
            return false;

        if (closing) {
            if (stack_.empty() || stack_.back().kind != kind)
                return false;
            if (!complete(stack_.back()))
                return false;
            stack_.pop_back();
            return true;
        }
        if (!opens(kind, selfClosing))
            return false;
        if (selfClosing) {
            Frame f{kind, 0, {}};
            return complete(f);
        }
        if (stack_.size() >= size_t(kMaxDepth))
            return false;
        stack_.push_back(Frame{kind, 0, {}});
        return true;
    }

    // A new element of kind under the current top of the stack.
    bool opens(Kind kind, bool selfClosing) {
        if (++elements_ > kMaxNodes)
            return false;
        if (stack_.empty()) {
            if (kind != Plist || sawPlist_ || selfClosing)
                return false;
            sawPlist_ = true;
            return true;
        }
        if (kind == Plist)
            return false;
        Frame& parent = stack_.back();
        if (isLeaf(parent.kind))
            return false;
        const quint64 index = parent.children++;
        if (parent.kind == Plist)
            return index == 0 && kind != Key;
        if (parent.kind == Dict)
            return (index % 2 == 0) == (kind == Key);
        return kind != Key;
    }

    static std::string trimmed(const std::string& s) {
        size_t b = 0, e = s.size();
        while (b < e && blank(s[b]))
            ++b;
        while (e > b && blank(s[e - 1]))
            --e;
        return s.substr(b, e - b);
    }

    static bool digits(const std::string& s, size_t from, size_t to) {
        if (from >= to)
            return false;
        for (size_t i = from; i < to; ++i)
            if (s[i] < '0' || s[i] > '9')
                return false;
        return true;
    }

    static bool validInteger(const std::string& t) {
        if (t.empty())
            return false;
        const bool negative = t[0] == '-';
        const size_t start = (t[0] == '-' || t[0] == '+') ? 1 : 0;
        if (!digits(t, start, t.size()))
            return false;
        errno = 0;
        if (negative) {
            (void)std::strtoll(t.c_str(), nullptr, 10);
        } else {
            (void)std::strtoull(t.c_str() + start, nullptr, 10);
        }
        return errno != ERANGE;
    }

    static bool validReal(const std::string& t) {
        bool ok = false;
        QByteArray(t.data(), qsizetype(t.size())).toDouble(&ok);
        if (ok)
            return true;
        QByteArray lower = QByteArray(t.data(), qsizetype(t.size())).toLower();
        if (lower.startsWith('+') || lower.startsWith('-'))
            lower.remove(0, 1);
        return lower == "nan" || lower == "inf" || lower == "infinity";
    }

    // "YYYY-MM-DDTHH:MM:SSZ", optionally with a fraction of a second.
    static bool validDate(const std::string& t) {
        if (t.size() < 20 || t.back() != 'Z')
            return false;
        const char* shape = "dddd-dd-ddTdd:dd:dd";
        for (size_t i = 0; i < 19; ++i) {
            if (shape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != shape[i])
                return false;
        }
        if (t.size() > 20 && (t[19] != '.' || !digits(t, 20, t.size() - 1)))
            return false;
        QDateTime dt = QDateTime::fromString(QString::fromLatin1(t.substr(0, 19).c_str()), Qt::ISODate);
        if (!dt.isValid())
            return false;
        dt.setTimeSpec(Qt::UTC);
        const qint64 seconds = referenceDate().secsTo(dt);
        return seconds > std::numeric_limits<int32_t>::min() && seconds < std::numeric_limits<int32_t>::max();
    }

    static bool validData(const std::string& t) {
        for (char c : t) {
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=' || blank(c)))
                return false;
        }
        return true;
    }

    static bool complete(const Frame& f) {
        switch (f.kind) {
        case Plist:
            return f.children == 1;
        case Dict:
            return f.children % 2 == 0;
        case Integer:
            return validInteger(trimmed(f.text));
        case Real:
            return validReal(trimmed(f.text));
        case Date:
            return validDate(trimmed(f.text));
        case Data:
            return validData(f.text);
        case True:
        case False:
            return trimmed(f.text).empty();
        default:
            return true;
        }
    }

    const char* p_;
    const char* end_;
    std::vector<Frame> stack_;
    quint64 elements_ = 0;
    bool sawPlist_ = false;
};

// ---------------------------------------------------------------------------
// Guard for binary input ("bplist00"): checks the whole object graph as
// libplist would expand it, without recursion.

class BinaryGuard {
public:
    BinaryGuard(const uint8_t* data, size_t size) : d_(data), n_(size) {}

    bool check() {
        if (n_ < 8 + 1 + 32)
            return false;
        const uint8_t* t = d_ + n_ - 32;
        offsetSize_ = t[6];
        refSize_ = t[7];
        quint64 count = be(t + 8, 8), top = be(t + 16, 8), table = be(t + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8)
            return false;
        if (count == 0 || top >= count)
            return false;
        if (table < 9 || table > n_ - 32)
            return false;
        if (count > (n_ - 32 - table) / offsetSize_)
            return false;
        count_ = count;
        table_ = table;
        if (refSize_ < 8 && count_ > (quint64(1) << (8 * refSize_)))
            return false;

        struct Frame {
            quint64 object;
            int depth;
        };
        std::vector<Frame> stack{{top, 1}};
        quint64 nodes = 1;  // counted when pushed, which also bounds the stack
        while (!stack.empty()) {
            Frame f = stack.back();
            stack.pop_back();
            if (f.depth > kMaxDepth)
                return false;
            Object o;
            if (!object(f.object, o))
                return false;
            if (o.type == 0xA || o.type == 0xD) {
                quint64 refs = o.type == 0xD ? o.count * 2 : o.count;
                for (quint64 i = 0; i < refs; ++i) {
                    quint64 r = be(d_ + o.payload + i * refSize_, refSize_);
                    if (r >= count_)
                        return false;
                    if (o.type == 0xD && i < o.count && !isKeyObject(r))
                        return false;
                    if (++nodes > kMaxNodes)
                        return false;
                    stack.push_back({r, f.depth + 1});
                }
            }
        }
        return true;
    }

private:
    struct Object {
        int type = 0;
        quint64 count = 0;
        quint64 payload = 0;
    };

    static quint64 be(const uint8_t* p, unsigned width) {
        quint64 v = 0;
        for (unsigned i = 0; i < width; ++i)
            v = (v << 8) | p[i];
        return v;
    }

    bool offsetOf(quint64 index, quint64& offset) const {
        offset = be(d_ + table_ + index * offsetSize_, offsetSize_);
        return offset >= 8 && offset < table_;
    }

    // A dictionary key: a string (checked for NUL like every string).
    bool isKeyObject(quint64 index) const {
        Object o;
        return object(index, o) && (o.type == 0x5 || o.type == 0x6);
    }

    // Decodes an object's header and checks that its payload lies before the
    // offset table.
    bool object(quint64 index, Object& o) const {
        quint64 off;
        if (!offsetOf(index, off))
            return false;
        const quint64 limit = table_;
        uint8_t marker = d_[off];
        o.type = marker >> 4;
        unsigned info = marker & 0xF;
        quint64 pos = off + 1;
        auto fits = [&](quint64 bytes) { return pos <= limit && bytes <= limit - pos; };
        auto lengthField = [&](quint64& len) {
            if (info != 0xF) {
                len = info;
                return true;
            }
            if (!fits(1))
                return false;
            uint8_t m = d_[pos];
            if ((m >> 4) != 0x1 || (m & 0xF) > 3)
                return false;
            unsigned width = 1u << (m & 0xF);
            ++pos;
            if (!fits(width))
                return false;
            len = be(d_ + pos, width);
            pos += width;
            return true;
        };
        switch (o.type) {
        case 0x0:
            return marker == 0x08 || marker == 0x09;
        case 0x1:
            return info <= 4 && fits(quint64(1) << info);
        case 0x2:
            return (info == 2 || info == 3) && fits(quint64(1) << info);
        case 0x3: {
            // libplist converts dates to 32-bit seconds; anything else would wrap.
            if (info != 3 || !fits(8))
                return false;
            const quint64 bits = be(d_ + pos, 8);
            double seconds;
            std::memcpy(&seconds, &bits, sizeof seconds);
            return std::isfinite(seconds) && seconds > -2147483648.0 && seconds < 2147483647.0;
        }
        case 0x4:
        case 0x5: {
            quint64 len;
            o.payload = pos;
            if (!lengthField(len) || !fits(len))
                return false;
            o.count = len;
            o.payload = pos;
            // libplist keeps strings as C strings and would silently cut one at a NUL.
            return o.type == 0x4 || !std::memchr(d_ + pos, 0, size_t(len));
        }
        case 0x6: {
            quint64 len;
            if (!lengthField(len) || len > limit / 2 || !fits(len * 2))
                return false;
            o.count = len;
            o.payload = pos;
            for (quint64 i = 0; i < len; ++i)
                if (d_[pos + 2 * i] == 0 && d_[pos + 2 * i + 1] == 0)
                    return false;
            return true;
        }
        case 0xA:
        case 0xD: {
            quint64 len;
            if (!lengthField(len))
                return false;
            quint64 per = o.type == 0xD ? 2ull * refSize_ : refSize_;
            if (len > (limit - std::min(limit, pos)) / per)
                return false;
            o.count = len;
            o.payload = pos;
            return fits(len * per);
        }
        default:
            return false;  // UIDs, sets, null and unknown markers have no QVariant form here
        }
    }

    const uint8_t* d_;
    size_t n_;
    unsigned offsetSize_ = 0, refSize_ = 0;
    quint64 count_ = 0, table_ = 0;
};

// ---------------------------------------------------------------------------
// libplist -> QVariant

// True when the integer node holds an unsigned value above INT64_MAX.
bool isLargeUnsigned(plist_t node) {
    Node copy(plist_copy(node));
    XmlText xml;
    plist_to_xml(copy.get(), &xml.text, &xml.length);
    if (!xml.text)
        return false;
    const char* tag = std::strstr(xml.text, "<integer>");
    return tag && tag[9] != '-';
}

bool toVariant(plist_t node, int depth, QVariant& out) {
    if (!node || depth > kMaxDepth)
        return false;
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it)
            return false;
        bool ok = true;
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!value) {
                std::free(key);
                break;
            }
            QVariant v;
            if (!key || !toVariant(value, depth + 1, v)) {
                std::free(key);
                ok = false;
                break;
            }
            map.insert(QString::fromUtf8(key), v);
            std::free(key);
        }
        std::free(it);
        if (!ok)
            return false;
        out = map;
        return true;
    }
    case PLIST_ARRAY: {
        // By iterator: libplist finds an item by index walking its list from the start.
        QVariantList list;
        list.reserve(qsizetype(plist_array_get_size(node)));
        plist_array_iter it = nullptr;
        plist_array_new_iter(node, &it);
        if (!it)
            return false;
        bool ok = true;
        for (;;) {
            plist_t item = nullptr;
            plist_array_next_item(node, it, &item);
            if (!item)
                break;
            QVariant v;
            if (!toVariant(item, depth + 1, v)) {
                ok = false;
                break;
            }
            list.append(v);
        }
        std::free(it);
        if (!ok)
            return false;
        out = list;
        return true;
    }
    case PLIST_STRING: {
        // By pointer and length: a string holding a NUL makes plist_get_string_val abort.
        uint64_t len = 0;
        const char* s = plist_get_string_ptr(node, &len);
        // libplist writes strings as C strings, so one with a NUL could not be kept.
        if (s && std::memchr(s, 0, size_t(len)))
            return false;
        out = s ? QString::fromUtf8(s, qsizetype(len)) : QString();
        return true;
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        out = bool(b);
        return true;
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        if (v > uint64_t(std::numeric_limits<qint64>::max()) && isLargeUnsigned(node))
            out = quint64(v);
        else
            out = qint64(v);
        return true;
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        out = d;
        return true;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        out = referenceDate().addMSecs(qint64(sec) * 1000 + qRound64(usec / 1000.0));
        return true;
    }
    case PLIST_DATA: {
        char* buf = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &buf, &len);
        out = QByteArray(buf ? buf : "", qsizetype(buf ? len : 0));
        std::free(buf);
        return true;
    }
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------
// QVariant -> libplist

plist_t newUnsigned(quint64 v) {
    if (v <= quint64(std::numeric_limits<qint64>::max()))
        return plist_new_uint(v);
    // plist_new_uint marks every value as signed; the XML reader keeps the sign.
    QByteArray xml = "<plist><integer>" + QByteArray::number(v) + "</integer></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.constData(), uint32_t(xml.size()), &node);
    return node;
}

plist_t fromVariant(const QVariant& v, int depth) {
    if (depth > kMaxDepth)
        return nullptr;
    switch (v.typeId()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = v.toMap();
        Node dict(plist_new_dict());
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (it.key().contains(QChar(0)))
                return nullptr;
            plist_t child = fromVariant(it.value(), depth + 1);
            if (!child)
                return nullptr;
            plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), child);
        }
        return dict.release();
    }
    case QMetaType::QVariantHash: {
        const QVariantHash hash = v.toHash();
        QVariantMap sorted;
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            sorted.insert(it.key(), it.value());
        return fromVariant(sorted, depth);
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        const QVariantList list = v.toList();
        Node array(plist_new_array());
        for (const QVariant& item : list) {
            plist_t child = fromVariant(item, depth + 1);
            if (!child)
                return nullptr;
            plist_array_append_item(array.get(), child);
        }
        return array.release();
    }
    case QMetaType::QString: {
        const QByteArray utf8 = v.toString().toUtf8();
        if (utf8.contains('\0'))
            return nullptr;  // libplist would cut it short
        return plist_new_string(utf8.constData());
    }
    case QMetaType::QByteArray: {
        const QByteArray b = v.toByteArray();
        return plist_new_data(b.constData(), uint64_t(b.size()));
    }
    case QMetaType::Bool:
        return plist_new_bool(v.toBool() ? 1 : 0);
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return plist_new_uint(uint64_t(v.toLongLong()));
    case QMetaType::UChar:
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return newUnsigned(v.toULongLong());
    case QMetaType::Float:
    case QMetaType::Double:
        return plist_new_real(v.toDouble());
    case QMetaType::QDateTime: {
        const QDateTime dt = v.toDateTime();
        if (!dt.isValid())
            return nullptr;
        qint64 ms = referenceDate().msecsTo(dt);
        const qint64 sec = ms / 1000;  // both parts carry the sign
        const qint64 usec = (ms % 1000) * 1000;
        // libplist stores dates as 32-bit seconds (1933..2069 around its epoch).
        if (sec < std::numeric_limits<int32_t>::min() || sec > std::numeric_limits<int32_t>::max())
            return nullptr;
        return plist_new_date(int32_t(sec), int32_t(usec));
    }
    default:
        return nullptr;
    }
}


}  // namespace

std::optional<QVariant> fromData(const QByteArray& bytes) {
    if (bytes.isEmpty() || bytes.size() > kMaxInputBytes)
        return std::nullopt;
    auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    size_t size = size_t(bytes.size());
    // A UTF-8 byte-order mark, which some editors write, is not understood by libplist.
    if (size >= 3 && std::memcmp(data, "\xef\xbb\xbf", 3) == 0) {
        data += 3;
        size -= 3;
    }
    const char* chars = reinterpret_cast<const char*>(data);
    const bool binary = size >= 8 && std::memcmp(data, "bplist00", 8) == 0;
    if (binary) {
        if (!BinaryGuard(data, size).check())
            return std::nullopt;
    } else if (!XmlGuard(chars, size).check()) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    if (binary)
        plist_from_bin(chars, uint32_t(size), &root);
    else
        plist_from_xml(chars, uint32_t(size), &root);
    Node owner(root);
    QVariant out;
    if (!root || !toVariant(root, 1, out))
        return std::nullopt;
    return out;
}

QByteArray toData(const QVariant& value, Format format) {
    Node root(fromVariant(value, 1));
    if (!root)
        return {};
    char* out = nullptr;
    uint32_t len = 0;
    QByteArray result;
    if (format == Format::XML) {
        plist_to_xml(root.get(), &out, &len);
        if (out)
            result = QByteArray(out, qsizetype(len));
        plist_to_xml_free(out);
    } else {
        plist_to_bin(root.get(), &out, &len);
        if (out)
            result = QByteArray(out, qsizetype(len));
        plist_to_bin_free(out);
    }
    return result;
}

std::optional<QVariant> readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    if (file.size() > kMaxInputBytes)
        return std::nullopt;
    QByteArray bytes = file.read(kMaxInputBytes + 1);
    if (bytes.size() > kMaxInputBytes)
        return std::nullopt;
    return fromData(bytes);
}

std::optional<QVariantMap> readDictionary(const QString& path) {
    auto v = readFile(path);
    if (!v || v->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    return v->toMap();
}

bool writeFile(const QString& path, const QVariant& value, Format format) {
    return writeData(path, toData(value, format));
}

bool writeData(const QString& path, const QByteArray& bytes) {
    if (bytes.isEmpty() || path.isEmpty())
        return false;
    return files::replaceFile(path, bytes, std::nullopt, true);
}

QVariantMap& childMap(QVariantMap& parent, const QString& key) {
    QVariant& slot = parent[key];
    if (slot.typeId() != QMetaType::QVariantMap)
        slot = QVariantMap();
    return *static_cast<QVariantMap*>(slot.data());
}

quint64 unsignedValue(const QVariantMap& map, const QString& key) {
    auto it = map.constFind(key);
    if (it == map.cend())
        return 0;
    const QVariant& v = it.value();
    switch (v.typeId()) {
    case QMetaType::ULongLong:
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return v.toULongLong();
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar: {
        qint64 s = v.toLongLong();
        return s > 0 ? quint64(s) : 0;
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        double d = v.toDouble();
        if (!(d > 0))
            return 0;
        if (d >= 18446744073709551615.0)
            return std::numeric_limits<quint64>::max();
        return quint64(d);
    }
    default:
        return 0;
    }
}

bool boolValue(const QVariantMap& map, const QString& key, bool fallback) {
    auto it = map.constFind(key);
    if (it == map.cend())
        return fallback;
    const QVariant& v = it.value();
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::QString: {
        const QString s = v.toString().trimmed();
        return s.compare(QLatin1String("YES"), Qt::CaseInsensitive) == 0 ||
               s.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || s == QLatin1String("1");
    }
    case QMetaType::Double:
    case QMetaType::Float:
        return v.toDouble() != 0.0;
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return v.toULongLong() != 0;
    default:
        return fallback;
    }
}

}  // namespace platform::plist
