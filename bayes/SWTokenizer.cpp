#include "SWTokenizer.h"

#include "platform/Bundle.h"
#include "platform/PropertyList.h"

#include <QFile>
#include <QVariantList>

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr char16_t kObjectReplacement = 0xFFFC;
constexpr char16_t kPound = 0x00A3;
constexpr qsizetype kSubjectKeyLength = 17;
constexpr int kAggressionRun = 9;

class CharacterSet {
public:
    void assign(const QString& members) {
        bits_.reset();
        for (QChar c : members)
            bits_.set(c.unicode());
    }
    void add(char16_t c) { bits_.set(c); }
    bool contains(char16_t c) const { return bits_.test(c); }

private:
    std::bitset<65536> bits_;
};

struct Tables {
    bool separatorsLoaded = false;
    bool accentsLoaded = false;
    CharacterSet subjectFakeSeparator;
    CharacterSet start;
    CharacterSet end;
    CharacterSet virtualSet;
    // Accent folding: the plain letter of each accented code unit, 0 for none
    // (the first entry of the table that lists a character wins).
    std::array<char16_t, 65536> accents{};
};

Tables& tables() {
    static Tables* t = new Tables();  // lives for the process
    return *t;
}

inline bool isStart(const Tables& t, char16_t c) { return c == kObjectReplacement || t.start.contains(c); }
inline bool isDigit(char16_t c) { return c >= '0' && c <= '9'; }
inline bool isUpper(char16_t c) { return c >= 'A' && c <= 'Z'; }
inline bool isLower(char16_t c) { return c >= 'a' && c <= 'z'; }
inline bool isLetter(char16_t c) { return isUpper(c) || isLower(c); }
inline bool isNumberCharacter(char16_t c) { return isDigit(c) || c == 'O' || c == 'I'; }  // "0OI123456789"
inline bool isPriceCharacter(char16_t c) { return c == '.' || isNumberCharacter(c); }     // ".0OI123456789"

void loadSeparators(Tables& t, const QVariantMap& separators) {
    auto value = [&](const char* key) { return separators.value(QLatin1String(key)).toString(); };
    t.subjectFakeSeparator.assign(value(SWTokenizerSubjectFakeSeparatorKey));
    t.start.assign(value(SWTokenizerStartSetKey));
    t.end.assign(value(SWTokenizerEndSetKey));
    t.virtualSet.assign(value(SWTokenizerVirtualSetKey));
    t.separatorsLoaded = true;
}

// Reads the accent table; false (table left empty) when it is not an array of
// entries.
bool loadAccents(Tables& t, const QVariant& alphabet) {
    t.accents.fill(0);
    if (alphabet.typeId() != QMetaType::QVariantList)
        return false;
    for (const QVariant& entry : alphabet.toList()) {
        if (entry.typeId() != QMetaType::QVariantMap)
            continue;
        const QVariantMap map = entry.toMap();
        const QString accented = map.value(QLatin1String(SWTokenizerAccentuatedLetterKey)).toString();
        const QString letter = map.value(QLatin1String(SWTokenizerLetterKey)).toString();
        if (letter.isEmpty())
            continue;
        for (QChar c : accented)
            if (c.unicode() > 0x7F && t.accents[c.unicode()] == 0)
                t.accents[c.unicode()] = letter.at(0).unicode();
    }
    t.accentsLoaded = true;
    return true;
}

// What the normalisation rules look at in a token, gathered in one pass so the
// common plain word is settled without further scans.
struct TokenProfile {
    bool allNumber = false;  // every character is one of "0OI123456789"
    bool control = false;    // a character at or below "#" other than "!"
    bool high = false;       // a character above U+007F
    bool lookAlike = false;  // "|" or "@" before the last position
    bool mixed = false;      // a non-digit follows the first digit
    qsizetype digits = 0;
};

TokenProfile profileOf(const char16_t* buf, qsizetype n) {
    enum : uint8_t { kDigit = 1, kNumber = 2, kControl = 4, kLookAlike = 8, kHigh = 16 };
    static const auto classes = [] {
        std::array<uint8_t, 128> table{};
        for (int c = 0; c < 128; ++c) {
            uint8_t f = 0;
            if (isDigit(char16_t(c)))
                f |= kDigit;
            if (isNumberCharacter(char16_t(c)))
                f |= kNumber;
            if (c <= '#' && c != '!')
                f |= kControl;
            if (c == '|' || c == '@')
                f |= kLookAlike;
            table[size_t(c)] = f;
        }
        return table;
    }();
    TokenProfile profile;
    uint8_t any = 0;        // the union of the classes
    uint8_t all = kNumber;  // kNumber stays when every character is a number character
    qsizetype firstDigit = -1;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = buf[i];
        const uint8_t f = c < 0x80 ? classes[c] : uint8_t(kHigh);
        any |= f;
        all &= f;
        if (f & kDigit) {
            ++profile.digits;
            if (firstDigit < 0)
                firstDigit = i;
        } else if (firstDigit >= 0) {
            profile.mixed = true;
        }
    }
    profile.allNumber = (all & kNumber) != 0;
    profile.control = (any & kControl) != 0;
    profile.high = (any & kHigh) != 0;
    if (any & kLookAlike)
        for (qsizetype i = 0; i + 1 < n && !profile.lookAlike; ++i)
            profile.lookAlike = buf[i] == '|' || buf[i] == '@';
    return profile;
}

// A price or percentage keeps only price characters, a letter O among them
// read as a zero; false when another character is there.
bool normaliseAmount(char16_t* buf, qsizetype from, qsizetype to, bool& modified) {
    for (qsizetype i = from; i < to; ++i) {
        if (!isPriceCharacter(buf[i]))
            return false;
        if (buf[i] == 'O') {
            buf[i] = '0';
            modified = true;
        }
    }
    return true;
}

// Digits, "|" and "@" standing for letters, every position but the last. Digits
// take part only when a non-digit follows the first digit (mixed).
void replaceLookAlikes(char16_t* buf, qsizetype n, bool mixed, bool& modified) {
    for (qsizetype i = 0; i + 1 < n; ++i) {
        const char16_t c = buf[i];
        if (!((isDigit(c) && mixed) || c == '|' || c == '@'))
            continue;
        const char16_t previous = i > 0 ? buf[i - 1] : 0;
        const char16_t next = buf[i + 1];
        const bool bothUpper = i > 0 && isUpper(previous) && isUpper(next);
        char16_t r = c;
        switch (c) {
        case '0':
            r = i == 0 ? u'O' : (bothUpper ? u'O' : u'o');
            break;
        case '1':
        case '|':
            if (i > 0) {
                if (bothUpper)
                    r = 'I';
                else if (isLetter(previous))
                    r = next == 'i' ? u'l' : u'i';
            }
            break;
        case '3':
            r = (i > 0 && bothUpper) ? u'E' : c;
            break;
        case '4':
            r = 'A';
            break;
        case '5':
            r = 'S';
            break;
        case '6':
            r = 'b';
            break;
        case '8':
            r = 'B';
            break;
        case '9':
            r = 'g';
            break;
        case '@':
            r = i == 0 ? u'A' : (bothUpper ? u'A' : u'a');
            break;
        default:
            break;
        }
        if (r != c) {
            buf[i] = r;
            modified = true;
        }
    }
}

// The last character: "@" and "|" after a letter.
void replaceLastLookAlike(char16_t* buf, qsizetype n, bool& modified) {
    char16_t& last = buf[n - 1];
    const char16_t previous = n > 1 ? buf[n - 2] : 0;
    char16_t r = last;
    if (last == '@')
        r = isUpper(previous) ? u'A' : u'a';
    else if (last == '|')
        r = isUpper(previous) ? u'I' : (isLower(previous) ? u'l' : last);
    if (r != last) {
        last = r;
        modified = true;
    }
}

// Accented letters become their plain letters.
void foldAccents(const Tables& t, char16_t* buf, qsizetype n, bool& modified) {
    for (qsizetype i = 0; i < n; ++i) {
        if (buf[i] > 0x7F) {
            const char16_t plain = t.accents[buf[i]];
            if (plain) {
                buf[i] = plain;
                modified = true;
            }
        }
    }
}

// One lower-case letter hidden in a shouted word of 7 or more ("VIAGgRA") is
// removed.
void removeHiddenLowercase(char16_t* buf, qsizetype& n, bool& modified) {
    if (n < 7)
        return;
    qsizetype lowerCount = 0, lowerAt = -1;
    for (qsizetype i = 0; i < n && lowerCount < 2; ++i) {
        if (isLower(buf[i])) {
            ++lowerCount;
            lowerAt = i;
        } else if (!(isUpper(buf[i]) || buf[i] == '!' || buf[i] == '?')) {
            return;
        }
    }
    if (lowerCount != 1)
        return;
    for (qsizetype i = lowerAt; i + 1 < n; ++i)
        buf[i] = buf[i + 1];
    --n;
    modified = true;
}

// Normalises buf[0..n) in place as a token already cleaned and split at "%".
// Returns false when the token is dropped; n may shrink.
bool normaliseCharacters(const Tables& t, char16_t* buf, qsizetype& n, bool& modified) {
    // 1. What the rules below look at, in one pass.
    const TokenProfile profile = profileOf(buf, n);

    // 2. All-number tokens ("2008", "IOI") say nothing.
    if (profile.allNumber)
        return false;

    // 3. Prices and percentages keep their digits; no other rule applies to them.
    if (buf[0] == '$' || buf[0] == kPound)
        return normaliseAmount(buf, 1, n, modified);
    if (buf[n - 1] == '%')
        return normaliseAmount(buf, 0, n - 1, modified);

    // 4. Spaces, control characters, quotes and "#" do not belong in a word.
    if (profile.control)
        return false;

    // 5. More digits than other characters: a number, not a word.
    if (profile.digits > n - profile.digits)
        return false;

    // 6. Look-alike characters, every position but the last.
    if (profile.lookAlike || profile.mixed)
        replaceLookAlikes(buf, n, profile.mixed, modified);

    // 7. A token still starting with a digit is dropped.
    if (isDigit(buf[0]))
        return false;

    // 8. The last character.
    replaceLastLookAlike(buf, n, modified);

    // 9. Accented letters.
    if (profile.high)
        foldAccents(t, buf, n, modified);

    // 10. A hidden lower-case letter.
    removeHiddenLowercase(buf, n, modified);
    return true;
}

// Hands every form of token to sink (a view valid only during the call);
// dropped is true when the token yields nothing.
template <typename Sink>
void preprocessInto(const Tables& t, QStringView token, Sink& sink, bool& dropped) {
    dropped = true;
    if (token.size() > SWTokenizerMaximumTokenLength)
        return;
    // Working copy without the characters inserted to break the word.
    char16_t buf[SWTokenizerMaximumTokenLength + 2];
    qsizetype n = 0;
    bool modified = false;
    for (QChar qc : token) {
        const char16_t c = qc.unicode();
        if (t.virtualSet.contains(c))
            modified = true;
        else
            buf[n++] = c;
    }
    if (n <= 2)
        return;

    // "50%off": the pieces on each side of the first inner "%" are tokens of
    // their own; both are cut from the cleaned copy.
    for (qsizetype p = 0; p + 1 < n; ++p) {
        if (buf[p] != '%')
            continue;
        dropped = false;
        bool pieceDropped;
        if (p >= 2)
            preprocessInto(t, QStringView(buf, p + 1), sink, pieceDropped);
        if (n - p - 1 > 2)
            preprocessInto(t, QStringView(buf + p + 1, n - p - 1), sink, pieceDropped);
        return;
    }

    if (!normaliseCharacters(t, buf, n, modified))
        return;
    dropped = false;
    sink(modified ? QStringView(buf, n) : token);
}

// Counts the forms of every candidate in an open-addressing table keyed by the
// form's code units; a form already counted is found through a view of the
// working buffer, without copying it. take() sorts the distinct forms once, so
// the bag is built in order instead of being searched for every occurrence.
class TokenCounter {
public:
    void operator()(QStringView form) {
        if (used_ * 2 >= slots_.size())  // at most half full: short probes
            grow();
        const uint32_t hash = hashOf(form);
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.count == 0) {
                slot.hash = hash;
                slot.count = 1;
                slot.key = form.toString();
                ++used_;
                return;
            }
            if (slot.hash == hash && sameUnits(slot.key, form)) {
                ++slot.count;
                return;
            }
        }
    }

    void add(const Tables& t, QStringView candidate) {
        bool dropped;
        preprocessInto(t, candidate, *this, dropped);
    }

    SWTokenBag take() {
        // Sorted by the first four code units packed into an integer, the rest
        // compared only between forms that share them.
        struct Entry {
            uint64_t prefix;
            Slot* slot;
        };
        std::vector<Entry> filled;
        filled.reserve(used_);
        for (Slot& slot : slots_)
            if (slot.count > 0)
                filled.push_back({prefixOf(slot.key), &slot});
        std::sort(filled.begin(), filled.end(), [](const Entry& a, const Entry& b) {
            if (a.prefix != b.prefix)
                return a.prefix < b.prefix;
            return unitsLess(a.slot->key, b.slot->key);
        });
        std::vector<SWTokenBag::Entry> ordered;
        ordered.reserve(filled.size());
        for (const Entry& e : filled)
            ordered.emplace_back(std::move(e.slot->key), e.slot->count);
        slots_.clear();
        used_ = 0;
        return SWTokenBag::fromSorted(std::move(ordered));
    }

private:
    struct Slot {
        QString key;
        uint32_t hash = 0;
        int count = 0;  // 0: free
    };

    static bool sameUnits(const QString& a, QStringView b) {
        return a.size() == b.size() && std::memcmp(a.constData(), b.data(), size_t(b.size()) * sizeof(QChar)) == 0;
    }

    // QString's own order (by UTF-16 code unit), without its out-of-line call.
    static bool unitsLess(const QString& a, const QString& b) {
        const char16_t* x = reinterpret_cast<const char16_t*>(a.constData());
        const char16_t* y = reinterpret_cast<const char16_t*>(b.constData());
        const qsizetype n = std::min(a.size(), b.size());
        for (qsizetype i = 0; i < n; ++i)
            if (x[i] != y[i])
                return x[i] < y[i];
        return a.size() < b.size();
    }

    // Orders as unitsLess() does on the first four units: a missing unit sorts
    // before any unit, as a shorter string sorts before its extensions.
    static uint64_t prefixOf(const QString& key) {
        uint64_t prefix = 0;
        const char16_t* units = reinterpret_cast<const char16_t*>(key.constData());
        for (qsizetype i = 0; i < 4; ++i)
            prefix = (prefix << 16) | (i < key.size() ? units[i] : 0);
        return prefix;
    }

    static uint32_t hashOf(QStringView form) {
        uint32_t h = 2166136261u;  // FNV-1a over the code units
        for (QChar c : form)
            h = (h ^ c.unicode()) * 16777619u;
        return h;
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_ = std::vector<Slot>(old.empty() ? 256 : old.size() * 2);
        const size_t mask = slots_.size() - 1;
        for (Slot& slot : old) {
            if (slot.count == 0)
                continue;
            size_t i = slot.hash & mask;
            while (slots_[i].count != 0)
                i = (i + 1) & mask;
            slots_[i] = std::move(slot);
        }
    }

    std::vector<Slot> slots_;
    size_t used_ = 0;
};

}  // namespace

void SWTokenizer::loadCharacterTables(const QVariantMap& separators, const QVariant& alphabet) {
    Tables& t = tables();
    loadSeparators(t, separators);
    loadAccents(t, alphabet);
}

bool SWTokenizer::characterTablesLoaded() { return tables().separatorsLoaded; }

void SWTokenizer::initializeCharacterSet(const QString& resourcesFolder) {
    Tables& t = tables();
    if (!t.separatorsLoaded) {
        QFile file(resourcesFolder + QStringLiteral("/English.lproj/") + QLatin1String(SWTokenizerSeparatorsTable) +
                   QStringLiteral(".strings"));
        QVariantMap separators;
        if (file.open(QIODevice::ReadOnly) && file.size() < (1 << 20))
            separators = platform::parseStringsTable(file.readAll());
        loadSeparators(t, separators);  // absent keys give empty sets
    }
    if (!t.accentsLoaded) {
        const auto alphabet = platform::plist::readFile(
            resourcesFolder + QLatin1Char('/') + QLatin1String(SWTokenizerAlphabetResource) + QStringLiteral(".plist"));
        if (alphabet)
            loadAccents(t, *alphabet);
    }
}

void SWTokenizer::initializeCharacterSet(const platform::Bundle& bundle) {
    initializeCharacterSet(bundle.resourcePath());
}

QString SWTokenizer::preprocessSubject(const QString& subject) {
    const Tables& t = tables();
    QString result;
    result.reserve(subject.size());
    for (QChar c : subject)
        if (!t.subjectFakeSeparator.contains(c.unicode()))
            result.append(c);
    return result;
}

std::optional<QStringList> SWTokenizer::preprocessToken(const QString& token) {
    QStringList forms;
    auto collect = [&forms](QStringView form) { forms.append(form.toString()); };
    bool dropped;
    preprocessInto(tables(), QStringView(token), collect, dropped);
    if (dropped)
        return std::nullopt;
    return forms;
}

SWTokenBag SWTokenizer::tokenize(const QString& text, bool aggressive) {
    aggressionDetected_ = false;
    TokenCounter counter;
    const Tables& t = tables();
    if (text.size() > SWTokenizerMaximumTextLength)
        return {};
    const char16_t* data = reinterpret_cast<const char16_t*>(text.utf16());
    const qsizetype length = text.size();

    qsizetype i = 0;
    for (;;) {
        // Skip separators, watching for long runs of empty lines.
        int crRun = 0, lfRun = 0;
        while (i < length && isStart(t, data[i])) {
            const char16_t c = data[i];
            if (c == '\r') {
                ++crRun;
                lfRun = 0;
            } else if (c == '\n') {
                ++lfRun;
                crRun = 0;
            } else {
                crRun = lfRun = 0;
            }
            if (aggressive && (crRun > kAggressionRun || lfRun > kAggressionRun) && i != length - 1)
                aggressionDetected_ = true;
            ++i;
        }
        if (i >= length)
            return counter.take();

        // The token runs to the next end character, which is consumed.
        const qsizetype s = i;
        qsizetype e = s + 1;
        while (e < length && !t.end.contains(data[e]))
            ++e;
        const qsizetype tokenLength = e - s;
        i = e + 1;

        if (tokenLength >= 3 && tokenLength <= SWTokenizerMaximumTokenLength) {
            counter.add(t, QStringView(data + s, tokenLength));
        } else if (tokenLength == 1 && e < length) {
            // Spelled-out letters: "v.i.a.g.r.a". Count the separators that are
            // followed by another letter; a separator followed by a start
            // character or the end of the text closes the run uncounted, so the
            // next word is read whole.
            const char16_t d = data[e];
            qsizetype k = 0;
            for (qsizetype pos = e; pos < length; pos += 2) {
                if (data[pos] != d) {
                    if (!t.end.contains(data[pos]))
                        --k;  // the last letter begins a word: not spelled out
                    break;
                }
                if (pos + 1 >= length || isStart(t, data[pos + 1]))
                    break;
                ++k;
            }
            if (k >= 3) {
                if (k <= SWTokenizerMaximumTokenLength - 1) {
                    char16_t letters[SWTokenizerMaximumTokenLength];
                    qsizetype count = 0;
                    for (qsizetype pos = s; pos < length && count < k + 1; pos += 2) {
                        if (t.end.contains(data[pos]))
                            break;
                        letters[count++] = data[pos];
                    }
                    counter.add(t, QStringView(letters, count));
                }
                i = std::min(length, e + 2 * k + 1);
            }
        }
    }
}

SWTokenBag SWTokenizer::tokenizeSubject(const QString& subject) {
    const SWTokenBag tokens = tokenize(preprocessSubject(subject), false);
    SWTokenBag result;
    const QString prefix = QLatin1String(SWTokenizerSubjectPrefix);
    for (auto it = tokens.constBegin(); it != tokens.constEnd(); ++it)
        result.insert(prefix + it.key().left(kSubjectKeyLength), it.value());
    return result;
}
