#include "SWChiSquareTokens.h"

#include "common/SAEncodedText.h"
#include "mailparse/SAArray.h"
#include "mailparse/SAData.h"
#include "mailparse/SADictionary.h"
#include "mailparse/SAEncodedString.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"
#include "platform/HTMLText.h"

#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr qsizetype kMinimumWord = 3;
constexpr qsizetype kMaximumWord = 12;
constexpr qsizetype kMaximumHeaderValue = 8192;  // bytes of one header value read
constexpr int kMaximumHeaderValues = 16;         // values of one header read
constexpr qsizetype kMaximumText = 1 << 20;      // characters of one text part read
constexpr int kMaximumDepth = 32;

// The distinct tokens of a message, in the order found, their code units in
// one buffer. An open-addressing table of indexes into that list with a cheap
// hash of its own: most words repeat, and a repeated one costs a hash and a
// comparison; a new one is appended to the buffer, no allocation of its own.
class Collector {
public:
    Collector() : slots_(kInitialSlots, kEmpty) {
        list_.units.reserve(4096);
        list_.spans.reserve(512);
        hashes_.reserve(512);
    }
    void add(QStringView token) {
        if (!full())
            insert(token);
    }
    void add(const QString& token) { add(QStringView(token)); }
    // prefix + text, case folded (ASCII inline), built in a scratch buffer.
    void addFolded(const QString& prefix, QStringView text) {
        if (full())
            return;
        buffer_.resize(size_t(prefix.size() + text.size()));
        char16_t* out = buffer_.data();
        std::copy_n(reinterpret_cast<const char16_t*>(prefix.constData()), prefix.size(), out);
        out += prefix.size();
        for (QChar c : text) {
            const char16_t u = c.unicode();
            *out++ = u < 0x80 ? (u >= 'A' && u <= 'Z' ? char16_t(u + 32) : u) : c.toCaseFolded().unicode();
        }
        insert(QStringView(buffer_.data(), qsizetype(buffer_.size())));
    }
    bool full() const { return list_.size() >= size_t(SWChiSquareMaximumTokens); }
    SWChiSquareTokenList take() { return std::move(list_); }

    // Text parts read, by kind.
    int htmlParts = 0, plainParts = 0;

private:
    static constexpr size_t kInitialSlots = 1024;  // a power of two
    static constexpr uint32_t kEmpty = UINT32_MAX;

    static uint32_t hashOf(QStringView text) {
        // Four UTF-16 units at a time, multiplied and folded.
        uint64_t h = 0x9e3779b97f4a7c15ull ^ uint64_t(text.size());
        const char16_t* p = text.utf16();
        qsizetype n = text.size();
        for (; n >= 4; p += 4, n -= 4) {
            uint64_t chunk;
            std::memcpy(&chunk, p, 8);
            h = (h ^ chunk) * 0xff51afd7ed558ccdull;
            h ^= h >> 32;
        }
        for (; n > 0; ++p, --n)
            h = (h ^ *p) * 0xc4ceb9fe1a85ec53ull;
        h ^= h >> 29;
        return uint32_t(h);
    }

    // Adds text unless known.
    void insert(QStringView text) {
        const uint32_t hash = hashOf(text);
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const uint32_t at = slots_[i];
            if (at == kEmpty) {
                slots_[i] = uint32_t(list_.spans.size());
                list_.spans.emplace_back(uint32_t(list_.units.size()), uint32_t(text.size()));
                list_.units.insert(list_.units.end(), text.utf16(), text.utf16() + text.size());
                hashes_.push_back(hash);
                break;
            }
            if (hashes_[at] == hash && list_[at] == text)
                return;
        }
        if (list_.size() * 2 > slots_.size())
            grow();
    }

    void grow() {
        slots_.assign(slots_.size() * 2, kEmpty);
        const size_t mask = slots_.size() - 1;
        for (uint32_t at = 0; at < uint32_t(list_.size()); ++at) {
            size_t i = hashes_[at] & mask;
            while (slots_[i] != kEmpty)
                i = (i + 1) & mask;
            slots_[i] = at;
        }
    }

    SWChiSquareTokenList list_;
    std::vector<uint32_t> hashes_;
    std::vector<uint32_t> slots_;
    std::vector<char16_t> buffer_;
};

bool isWordEdge(QChar c) { return c.isLetterOrNumber() || c == QLatin1Char('$'); }

// One whitespace-separated chunk: edges stripped of punctuation, case folded;
// links are left to the link hosts; overlong chunks count by first letter and
// length only.
void addChunk(QStringView chunk, const QString& prefix, Collector& out) {
    qsizetype begin = 0, end = chunk.size();
    while (begin < end && !isWordEdge(chunk[begin]))
        ++begin;
    while (end > begin && !isWordEdge(chunk[end - 1]) && chunk[end - 1] != QLatin1Char('!'))
        --end;
    chunk = chunk.mid(begin, end - begin);
    if (chunk.size() < kMinimumWord)
        return;
    // One pass for the link marks ("://" anywhere, a leading "www.") and the
    // first "@".
    qsizetype at = -1;
    const char16_t* units = chunk.utf16();
    for (qsizetype i = 0; i < chunk.size(); ++i) {
        if (units[i] == ':' && i + 2 < chunk.size() && units[i + 1] == '/' && units[i + 2] == '/')
            return;
        if (units[i] == '@' && at < 0)
            at = i;
    }
    const auto isW = [](char16_t c) { return c == 'w' || c == 'W'; };
    if (chunk.size() >= 4 && isW(units[0]) && isW(units[1]) && isW(units[2]) && units[3] == '.')
        return;
    if (at > 0 && chunk.indexOf(QLatin1Char('.'), at) > at) {
        out.addFolded(prefix + QStringLiteral("email:"), chunk.mid(at + 1));
        return;
    }
    if (chunk.size() > kMaximumWord) {
        out.add(prefix + QLatin1String("skip:") + chunk[0].toCaseFolded() + QLatin1Char(' ') +
                QString::number(chunk.size() / 10 * 10));
        return;
    }
    out.addFolded(prefix, chunk);
}

void addWords(QStringView text, const QString& prefix, Collector& out) {
    text = text.left(kMaximumText);
    qsizetype start = -1;
    for (qsizetype i = 0; i <= text.size() && !out.full(); ++i) {
        const bool space = i == text.size() || text[i].isSpace();
        if (space && start >= 0) {
            addChunk(text.mid(start, i - start), prefix, out);
            start = -1;
        } else if (!space && start < 0) {
            start = i;
        }
    }
}

QString fromBytes(const char* bytes, qsizetype length) {
    return QString::fromUtf8(bytes, std::min(length, kMaximumHeaderValue));
}

// The values of a header (case-insensitive), as text on one line.
QStringList headerTexts(SAMIMEPart* part, const char* name) {
    QStringList result;
    if (!part || !part->_headers)
        return result;
    SARef<SAString> key = SARef<SAString>::adopt(new SAString(name));
    SAObject* values = part->_headers->objectForKey(key.get(), 1);
    if (!values || !values->isKindOfClass(GETIDSAArray()))
        return result;
    auto* array = static_cast<SAArray*>(values);
    for (unsigned long i = 0; i < array->count() && i < unsigned(kMaximumHeaderValues); ++i) {
        SAObject* value = array->objectAtIndex(i);
        if (!value || !value->isKindOfClass(GETIDSAString()))
            continue;
        auto* s = static_cast<SAString*>(value);
        if (!s->cString())
            continue;
        QString text = fromBytes(s->cString(), qsizetype(s->length()));
        for (QChar& c : text)
            if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QLatin1Char('\t'))
                c = QLatin1Char(' ');
        result << text.trimmed();
    }
    return result;
}

// The bare addresses of an address header value.
QStringList addressesIn(const QString& value) {
    QStringList result;
    for (QStringView piece : QStringView(value).split(QLatin1Char(','))) {
        const qsizetype open = piece.lastIndexOf(QLatin1Char('<'));
        const qsizetype close = piece.lastIndexOf(QLatin1Char('>'));
        QStringView address = open >= 0 && close > open ? piece.mid(open + 1, close - open - 1) : piece;
        address = address.trimmed();
        if (address.contains(QLatin1Char('@')) && !address.contains(QLatin1Char(' ')))
            result << address.toString().toCaseFolded();
    }
    return result;
}

// The last two labels of a host name ("mail.example.com" -> "example.com"); the
// first three of an IP address.
QString domainOf(QStringView host) {
    host = host.trimmed();
    while (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    // The non-empty labels: the first three and the last two are kept.
    QStringView first[3], last[2];
    qsizetype count = 0;
    bool digits = true;
    for (qsizetype start = 0; start <= host.size();) {
        qsizetype end = host.indexOf(QLatin1Char('.'), start);
        if (end < 0)
            end = host.size();
        if (end > start) {
            const QStringView label = host.mid(start, end - start);
            if (count < 3)
                first[count] = label;
            last[0] = last[1];
            last[1] = label;
            ++count;
            for (QChar c : label)
                digits = digits && c.isDigit();
        }
        start = end + 1;
    }
    if (count == 0)
        return {};
    const auto joined = [](std::initializer_list<QStringView> labels) {
        QString text;
        for (QStringView label : labels) {
            if (!text.isEmpty())
                text += QLatin1Char('.');
            text += label;
        }
        return text;
    };
    if (count == 4 && digits)
        return joined({first[0], first[1], first[2]});
    if (count == 1)
        return last[1].toString().toCaseFolded();
    return joined({last[0], last[1]}).toCaseFolded();
}

QString domainOfAddress(const QString& address) {
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    return at >= 0 ? domainOf(QStringView(address).mid(at + 1)) : QString();
}

// The outline of a Message-ID: letters, digits and the rest collapsed to one
// character per run, so machine-made IDs of one mailer share a token.
QString shapeOf(QStringView id) {
    QString shape;
    QChar last;
    for (QChar c : id.left(200)) {
        const QChar kind = c.isDigit()    ? QLatin1Char('9')
                           : c.isUpper()  ? QLatin1Char('A')
                           : c.isLetter() ? QLatin1Char('a')
                                          : c;
        if (kind != last)
            shape += kind;
        last = kind;
    }
    return shape;
}

// A loopback, private or link-local address (its first three parts) or a
// local host name: a hop inside the receiving side, not a sender.
bool isInternalHost(const QString& domain) {
    if (domain.startsWith(QLatin1String("localhost")) || domain == QLatin1String("localdomain") ||
        domain.endsWith(QLatin1String(".localdomain")))
        return true;
    const auto parts = QStringView(domain).split(QLatin1Char('.'));
    bool numeric = parts.size() == 3;
    for (QStringView part : parts)
        numeric =
            numeric && !part.isEmpty() && std::all_of(part.begin(), part.end(), [](QChar c) { return c.isDigit(); });
    if (!numeric)
        return false;
    const int first = parts[0].toInt(), second = parts[1].toInt();
    return first == 127 || first == 10 || (first == 192 && second == 168) || (first == 169 && second == 254) ||
           (first == 172 && second >= 16 && second <= 31);
}

void addAddressHeader(SAMIMEPart* message, const char* name, const QString& kind, Collector& out) {
    const QStringList values = headerTexts(message, name);
    if (values.isEmpty())
        return;
    out.add(QStringLiteral("h:has:") + kind);
    for (const QString& address : addressesIn(values.first())) {
        out.add(QStringLiteral("h:%1:addr:%2").arg(kind, address));
        out.add(QStringLiteral("h:%1:dom:%2").arg(kind, domainOfAddress(address)));
    }
}

// Header fields whose presence says nothing about the sender: those the
// receiving side adds (transport, delivery, mail programs' status, upstream
// filters' verdicts) and those read for tokens of their own already.
bool isFieldLeftOut(const QString& name, bool listMail) {
    static const QSet<QString> names = {
        // added on the receiving side
        QStringLiteral("received"), QStringLiteral("return-path"), QStringLiteral("delivered-to"),
        QStringLiteral("x-original-to"), QStringLiteral("envelope-to"), QStringLiteral("x-envelope-to"),
        QStringLiteral("x-envelope-from"), QStringLiteral("delivery-date"), QStringLiteral("x-delivery-agent"),
        QStringLiteral("x-apparently-to"), QStringLiteral("x-uidl"), QStringLiteral("status"),
        QStringLiteral("x-status"), QStringLiteral("x-keywords"), QStringLiteral("x-labels"),
        QStringLiteral("x-mime-autoconverted"), QStringLiteral("x-original-date"), QStringLiteral("lines"),
        QStringLiteral("content-length"), QStringLiteral("x-loop"), QStringLiteral("x-egroups-return"),
        // tokens of their own
        QStringLiteral("from"), QStringLiteral("to"), QStringLiteral("cc"), QStringLiteral("subject"),
        QStringLiteral("date"), QStringLiteral("message-id"), QStringLiteral("reply-to"),
        QStringLiteral("in-reply-to"), QStringLiteral("references"), QStringLiteral("mime-version"),
        QStringLiteral("x-mailer"), QStringLiteral("user-agent"), QStringLiteral("content-type"),
        QStringLiteral("content-transfer-encoding"), QStringLiteral("precedence")};
    static const char* const prefixes[] = {"x-spam",   "x-virus",   "x-mozilla", "x-bogosity", "x-razor",
                                           "x-dspam",  "x-dcc",     "x-pyzor",   "x-quarantine", "resent-",
                                           "x-antivirus", "x-filter"};
    if (names.contains(name) || name.contains(QLatin1String("mailscanner")))
        return true;
    for (const char* prefix : prefixes)
        if (name.startsWith(QLatin1String(prefix)))
            return true;
    // A list server's own fields say which list, not who wrote.
    return name.startsWith(QLatin1String("list-")) || name.startsWith(QLatin1String("x-list")) ||
           name.contains(QLatin1String("mailing-list")) || name.startsWith(QLatin1String("x-mailman")) ||
           name == QLatin1String("x-beenthere") || name.startsWith(QLatin1String("x-unsubscri")) ||
           (listMail && (name == QLatin1String("errors-to") || name == QLatin1String("sender")));
}

// One token for each other header field present ("h:field:x-priority",
// "h:field:organization"): which fields a message carries is a mark of the
// program that wrote it.
void addFieldNames(SAMIMEPart* message, Collector& out, bool listMail) {
    if (!message->_headers)
        return;
    for (unsigned long i = 0; i < message->_headers->slotCount() && i < 400 && !out.full(); ++i) {
        const SADictionaryItem* item = message->_headers->itemAtSlot(i);
        if (!item || !item->key || !item->key->cString() || item->key->length() > 40)
            continue;
        const QString name = QString::fromLatin1(item->key->cString(), qsizetype(item->key->length())).toLower();
        // Only well-formed names: printable ASCII without space.
        if (name.isEmpty() ||
            std::any_of(name.begin(), name.end(), [](QChar c) { return c.unicode() <= 32 || c.unicode() >= 127; }))
            continue;
        if (!isFieldLeftOut(name, listMail))
            out.add(QStringLiteral("h:field:") + name);
    }
}

// In list mail the list server's own headers (its bounce address in
// Return-Path, its relays in Received, the List- and Precedence headers) are
// one piece of evidence, the list's name, not one clue each; the sender's side
// (From, Message-ID, mailer, the first Received hop) is read as for any mail.
void addHeaderTokens(SAMIMEPart* message, Collector& out, bool listMail) {
    // From: address, domain and the words of the name.
    const QStringList from = headerTexts(message, "From");
    if (from.isEmpty())
        out.add(QStringLiteral("h:no:from"));
    addAddressHeader(message, "From", QStringLiteral("from"), out);
    if (SARef<SAEncodedString> encoded = SARef<SAEncodedString>::adopt(message->copyFrom())) {
        QString name = SAEncodedText::stringWithEncodedString(encoded.get()).left(kMaximumHeaderValue);
        const qsizetype open = name.indexOf(QLatin1Char('<'));
        if (open >= 0)
            name.truncate(open);
        addWords(name, QStringLiteral("h:from:name:"), out);
    }
    addAddressHeader(message, "Reply-To", QStringLiteral("reply-to"), out);
    const QStringList returnPath = listMail ? QStringList() : headerTexts(message, "Return-Path");
    if (!returnPath.isEmpty()) {
        const QStringList addresses = addressesIn(returnPath.first());
        if (addresses.isEmpty())
            out.add(QStringLiteral("h:return-path:empty"));
        for (const QString& address : addresses)
            out.add(QStringLiteral("h:return-path:dom:") + domainOfAddress(address));
    }
    if (!from.isEmpty() && !returnPath.isEmpty()) {
        const QStringList a = addressesIn(from.first()), b = addressesIn(returnPath.first());
        if (!a.isEmpty() && !b.isEmpty())
            out.add(domainOfAddress(a.first()) == domainOfAddress(b.first()) ? QStringLiteral("h:return-path:same")
                                                                             : QStringLiteral("h:return-path:other"));
    }
    // A reply address, or a Sender acting for the author (a list's own Sender
    // aside), in another domain than the author's.
    const QStringList author = from.isEmpty() ? QStringList() : addressesIn(from.first());
    for (const auto& [name, kind] : {std::pair{"Reply-To", "reply-to"}, std::pair{"Sender", "sender"}}) {
        if (author.isEmpty() || (listMail && kind[0] == 's'))
            continue;
        const QStringList values = headerTexts(message, name);
        const QStringList other = values.isEmpty() ? QStringList() : addressesIn(values.first());
        if (!other.isEmpty())
            out.add(QStringLiteral("h:%1:%2").arg(QLatin1String(kind),
                                                  QLatin1String(domainOfAddress(author.first()) ==
                                                                        domainOfAddress(other.first())
                                                                    ? "same"
                                                                    : "other")));
    }
    // How the subject was written: the charset of its first encoded word, or
    // bytes beyond ASCII left unencoded.
    const QStringList subject = headerTexts(message, "Subject");
    if (!subject.isEmpty()) {
        const QString& value = subject.first();
        const qsizetype at = value.indexOf(QLatin1String("=?"));
        if (at >= 0) {
            const qsizetype q = value.indexOf(QLatin1Char('?'), at + 2);
            if (q > at + 2 && q - at < 40)
                out.add(QStringLiteral("h:subject-charset:") + value.mid(at + 2, q - at - 2).toCaseFolded());
        }
        if (std::any_of(value.begin(), value.end(), [](QChar c) { return c.unicode() >= 0x80; }))
            out.add(QStringLiteral("h:subject-8bit"));
    }

    // Recipients as the sender wrote them: how many, not who.
    qsizetype recipients = 0;
    for (const char* name : {"To", "Cc"})
        for (const QString& value : headerTexts(message, name))
            recipients += addressesIn(value).size();
    out.add(QStringLiteral("h:recipients:%1")
                .arg(recipients < 3    ? QString::number(recipients)
                     : recipients < 10 ? QStringLiteral("few")
                                       : QStringLiteral("many")));

    // The Message-ID's shape and domain.
    const QStringList messageID = headerTexts(message, "Message-ID");
    if (messageID.isEmpty()) {
        out.add(QStringLiteral("h:no:message-id"));
    } else {
        QStringView id = QStringView(messageID.first()).trimmed();
        const qsizetype at = id.lastIndexOf(QLatin1Char('@'));
        out.add(QStringLiteral("h:message-id:") + shapeOf(at >= 0 ? id.left(at) : id));
        if (at >= 0) {
            QStringView host = id.mid(at + 1);
            if (host.endsWith(QLatin1Char('>')))
                host.chop(1);
            out.add(QStringLiteral("h:message-id:dom:") + domainOf(host));
        }
    }

    // The mailer.
    QStringList mailer = headerTexts(message, "X-Mailer");
    mailer += headerTexts(message, "User-Agent");
    if (mailer.isEmpty())
        out.add(QStringLiteral("h:no:mailer"));
    for (const QString& value : mailer)
        addWords(value.left(200), QStringLiteral("h:mailer:"), out);

    // Sending hosts named by Received ("from helo (name [address])"); in list
    // mail only the first hop, the one the sender handed the message to.
    QStringList received = headerTexts(message, "Received");
    if (listMail && received.size() > 1)
        received = received.mid(received.size() - 1);
    for (const QString& value : received) {
        if (!value.startsWith(QLatin1String("from "), Qt::CaseInsensitive))
            continue;
        const qsizetype by = value.indexOf(QLatin1String(" by "), 0, Qt::CaseInsensitive);
        const QStringView clause = QStringView(value).mid(5, by > 5 ? by - 5 : value.size() - 5);
        for (QStringView word : clause.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            while (!word.isEmpty() && QStringLiteral("([<").contains(word.front()))
                word = word.mid(1);
            while (!word.isEmpty() && QStringLiteral(")]>,;").contains(word.back()))
                word.chop(1);
            if (word.contains(QLatin1Char('.')) && !word.contains(QLatin1Char('@')) && word.size() < 256) {
                const QString domain = domainOf(word);
                if (isInternalHost(domain))
                    continue;
                out.add(QStringLiteral("h:received:") + domain);
            }
        }
    }

    addFieldNames(message, out, listMail);

    // Replies; the list's name, or for other mail its bulk marks.
    for (const char* name : {"In-Reply-To", "References", "Mime-Version", "Date"}) {
        const bool present = !headerTexts(message, name).isEmpty();
        out.add(QLatin1String(present ? "h:has:" : "h:no:") + QString::fromLatin1(name).toLower());
    }
    if (listMail) {
        const QStringList id = headerTexts(message, "List-Id");
        QStringView name = id.isEmpty() ? QStringView() : QStringView(id.first());
        const qsizetype open = name.lastIndexOf(QLatin1Char('<')), close = name.lastIndexOf(QLatin1Char('>'));
        if (open >= 0 && close > open)
            name = name.mid(open + 1, close - open - 1);
        out.add(QStringLiteral("h:list:") +
                (name.isEmpty() ? QStringLiteral("unnamed") : name.left(100).toString().toCaseFolded()));
        return;
    }
    out.add(QStringLiteral("h:no:list-id"));
    out.add(QStringLiteral("h:no:list-unsubscribe"));
    for (const QString& value : headerTexts(message, "Precedence"))
        out.add(QStringLiteral("h:precedence:") + value.left(20).toCaseFolded());
}

// The charset of one part, and the type and file kind of an attachment. The
// types of text and multipart parts and the transfer encodings are left out:
// they mostly tell HTML mail from plain text, which "h:html-only" says once,
// and counted as three or four clues for that one fact.
void addPartHeaderTokens(SAMIMEPart* part, Collector& out) {
    for (const QString& value : headerTexts(part, "Content-Type")) {
        const qsizetype semicolon = value.indexOf(QLatin1Char(';'));
        const QString type = value.left(semicolon >= 0 ? semicolon : 60).trimmed().left(60).toCaseFolded();
        if (!type.startsWith(QLatin1String("text/")) && !type.startsWith(QLatin1String("multipart")))
            out.add(QStringLiteral("h:type:") + type);
        const qsizetype charset = value.indexOf(QLatin1String("charset="), 0, Qt::CaseInsensitive);
        if (charset >= 0) {
            QStringView cs = QStringView(value).mid(charset + 8);
            const qsizetype stop = cs.indexOf(QLatin1Char(';'));
            cs = cs.left(stop >= 0 ? stop : 40).trimmed();
            if (cs.startsWith(QLatin1Char('"')))
                cs = cs.mid(1);
            if (cs.endsWith(QLatin1Char('"')))
                cs.chop(1);
            out.add(QStringLiteral("h:charset:") + cs.left(40).toString().toCaseFolded());
        }
        break;
    }
    for (const char* name : {"Content-Disposition", "Content-Type"}) {
        for (const QString& value : headerTexts(part, name)) {
            const qsizetype at = value.indexOf(QLatin1String("name="), 0, Qt::CaseInsensitive);
            if (at < 0)
                continue;
            QStringView file = QStringView(value).mid(at + 5);
            const qsizetype stop = file.indexOf(QLatin1Char(';'));
            file = file.left(stop >= 0 ? stop : 255).trimmed();
            while (file.endsWith(QLatin1Char('"')))
                file.chop(1);
            const qsizetype dot = file.lastIndexOf(QLatin1Char('.'));
            if (dot >= 0 && file.size() - dot <= 6)
                out.add(QStringLiteral("h:file:") + file.mid(dot).toString().toCaseFolded());
            return;
        }
    }
}

// Where a mailing list's footer begins: the last separator line ("--", "-- "
// or a rule of underscores, dashes or equals signs) when only a short block
// follows it; -1 when there is none.
qsizetype footerStart(QStringView text) {
    qsizetype end = text.size();
    int lines = 0;
    while (end > 0 && text.size() - end < 2000 && lines < 20) {
        const qsizetype begin = text.lastIndexOf(QLatin1Char('\n'), end - 1) + 1;
        QStringView line = text.mid(begin, end - begin);
        while (!line.isEmpty() && (line.back() == QLatin1Char('\r') || line.back() == QLatin1Char(' ')))
            line.chop(1);
        bool rule = line.size() >= 8 && line.size() <= 80;
        for (QChar c : line)
            rule = rule &&
                   (c == QLatin1Char('_') || c == QLatin1Char('-') || c == QLatin1Char('=') || c == QLatin1Char('*'));
        if ((rule || line == u"--") && lines > 0)
            return begin;
        lines += line.isEmpty() ? 0 : 1;
        end = begin - 1;
    }
    return -1;
}

// A link to a picture file (".gif", ".jpg", ".jpeg", ".png"), by its path.
bool isPicturePath(QStringView rest) {
    const qsizetype query = rest.indexOf(QLatin1Char('?'));
    const QStringView path = query >= 0 ? rest.left(query) : rest;
    for (const char16_t* extension : {u".gif", u".jpg", u".jpeg", u".png"})
        if (path.endsWith(extension, Qt::CaseInsensitive))
            return true;
    return false;
}

void addURLHosts(SAMIMEPart* part, Collector& out, QStringView footer = {}) {
    if (!part->_urls)
        return;
    for (unsigned long i = 0; i < part->_urls->count() && !out.full(); ++i) {
        SAObject* object = part->_urls->objectAtIndex(i);
        if (!object || !object->isKindOfClass(GETIDSADictionary()))
            continue;
        SAObject* urlObject = static_cast<SADictionary*>(object)->objectForKey(sURLURLKey);
        if (!urlObject || !urlObject->isKindOfClass(GETIDSAString()))
            continue;
        auto* url = static_cast<SAString*>(urlObject);
        if (!url->cString())
            continue;
        const QString text = fromBytes(url->cString(), qsizetype(url->length()));
        if (!footer.isEmpty()) {
            // A link of the footer (the list's own pages) goes with it.
            const qsizetype scheme = text.indexOf(u"://");
            const QStringView rest = QStringView(text).mid(scheme >= 0 ? scheme + 3 : 0);
            if (!rest.isEmpty() && footer.contains(rest, Qt::CaseInsensitive))
                continue;
        }
        QStringView host(text);
        const qsizetype scheme = host.indexOf(u"://");
        if (scheme >= 0)
            host = host.mid(scheme + 3);
        qsizetype end = 0;
        while (end < host.size() && !QStringLiteral("/?#:)]>,*\"' ").contains(host[end]))
            ++end;
        host = host.left(end);
        const qsizetype at = host.lastIndexOf(QLatin1Char('@'));
        if (at >= 0)
            host = host.mid(at + 1);
        if (host.isEmpty() || host.size() > 255)
            continue;
        const QString domain = domainOf(host);
        out.add(QStringLiteral("u:") + domain);
        // The words of the path and query ("unsubscribe", "click", "remove");
        // not of a picture's: its file names ("spacer", "button", "logo") are
        // layout, the same in newsletters and spam.
        QStringView rest = QStringView(text).mid(host.data() - text.constData() + host.size()).left(512);
        if (isPicturePath(rest))
            rest = {};
        qsizetype start = -1;
        for (qsizetype j = 0; j <= rest.size(); ++j) {
            const bool letter = j < rest.size() && rest[j].isLetterOrNumber();
            if (letter && start < 0)
                start = j;
            else if (!letter && start >= 0) {
                if (j - start >= kMinimumWord && j - start <= kMaximumWord)
                    out.addFolded(QStringLiteral("u:path:"), rest.mid(start, j - start));
                start = -1;
            }
        }
        if (!domain.isEmpty() && domain.front().isDigit() && domain.count(QLatin1Char('.')) == 2)
            out.add(QStringLiteral("u:ip-address"));
    }
}

// The words of a text part; in list mail the list's footer is left out (and
// returned in footer): it is the same on every message of the list, good or
// spam, and would count as many independent clues.
void addTextPart(SAMIMEPart* part, Collector& out, bool listMail, QString* footer) {
    SAData* source = part->_simplifiedText ? part->_simplifiedText : part->_content;
    if (!source || source->length() == 0 || !source->bytes())
        return;
    if (part->_subtype == SAMIMESubtypeCalendar || part->_subtype == SAMIMESubtypeDirectory)
        return;
    QString text;
    unsigned long length = std::min<unsigned long>(source->length(), unsigned(kMaximumText) * 4);
    // A cut text ends before a byte that continues a UTF-8 character, so the
    // cut does not leave an unfinished character that makes it read as invalid.
    if (length < source->length())
        for (int back = 0; back < 3 && length > 0 && (source->bytes()[length] & 0xC0) == 0x80; ++back)
            --length;
    if (!SAEncodedText::decodeText(reinterpret_cast<const char*>(source->bytes()), length, part->charsetName(), &text))
        return;
    if (part->_subtype == SAMIMESubtypeHTML) {
        const std::optional<QString> rendered = platform::html::renderedText(text);
        if (!rendered)
            return;
        text = *rendered;
    }
    (part->_subtype == SAMIMESubtypeHTML ? out.htmlParts : out.plainParts) += 1;
    if (listMail) {
        const qsizetype at = footerStart(text);
        if (at >= 0) {
            *footer = text.mid(at);
            text.truncate(at);
        }
    }
    addWords(text, QStringLiteral("w:"), out);
}

void addPart(SAMIMEPart* part, Collector& out, int depth, bool listMail) {
    if (!part || depth > kMaximumDepth || out.full())
        return;
    addPartHeaderTokens(part, out);
    switch (part->_contentType) {
    case SAMIMETypeMultipart:
    case SAMIMETypeMessage:
        if (part->_parts)
            for (unsigned long i = 0; i < part->_parts->count(); ++i) {
                SAObject* child = part->_parts->objectAtIndex(i);
                if (child && child->isKindOfClass(GETIDSAMIMEPart()))
                    addPart(static_cast<SAMIMEPart*>(child), out, depth + 1, listMail);
            }
        break;
    case SAMIMETypeText: {
        QString footer;
        addTextPart(part, out, listMail, &footer);
        addURLHosts(part, out, footer);
        break;
    }
    default:
        break;
    }
}

}  // namespace

std::vector<QString> SWChiSquareTokenList::toStrings() const {
    std::vector<QString> strings;
    strings.reserve(size());
    for (size_t i = 0; i < size(); ++i)
        strings.push_back((*this)[i].toString());
    return strings;
}

std::vector<QString> SWChiSquareTokens::wordsOf(QStringView text, const QString& prefix) {
    Collector out;
    addWords(text, prefix, out);
    return out.take().toStrings();
}

std::vector<QString> SWChiSquareTokens::tokensOfMessage(SAMIMEPart* message) {
    return tokenListOfMessage(message).toStrings();
}

SWChiSquareTokenList SWChiSquareTokens::tokenListOfMessage(SAMIMEPart* message) {
    if (!message)
        return {};
    Collector out;
    bool listMail = false;
    for (const char* name : {"List-Id", "List-Unsubscribe", "List-Post", "Mailing-List"})
        listMail = listMail || !headerTexts(message, name).isEmpty();
    addHeaderTokens(message, out, listMail);
    if (SARef<SAEncodedString> subject = SARef<SAEncodedString>::adopt(message->copySubject()))
        addWords(SAEncodedText::stringWithEncodedString(subject.get()).left(kMaximumHeaderValue), QStringLiteral("s:"),
                 out);
    else
        out.add(QStringLiteral("h:no:subject"));
    addPart(message, out, 0, listMail);
    // HTML with no text of its own beside it: what mail programs write carries
    // a plain alternative; bulk mailers often send the HTML alone.
    if (out.htmlParts > 0 && out.plainParts == 0)
        out.add(QStringLiteral("h:html-only"));
    return out.take();
}
