#include "mailparse/SATextTranslator.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mailparse/SAColor.h"
#include "mailparse/SAData.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SAMutableString.h"
#include "mailparse/SANumber.h"
#include "mailparse/SARef.h"

bool SATextTranslator::htmlWhiteTrick = false;
bool SATextTranslator::htmlSmallFontTrick = false;
bool SATextTranslator::tooManyWrongHTMLTags = false;
bool SATextTranslator::tooManySpanDisplayNone = false;
bool SATextTranslator::htmlAfter = false;
bool SATextTranslator::floatLeftClearBothTrick = false;
bool SATextTranslator::enrichedWhiteTrick = false;

SAMutableDictionary* SATextTranslator::sHTMLTagsDictionary_ = nullptr;

SAString* const SATextTranslator::sHTMLTAG_BGCOLOR = new SAString("BGCOLOR");
SAString* const SATextTranslator::sHTMLTAG_COLOR = new SAString("COLOR");
SAString* const SATextTranslator::sHTMLTAG_TEXT = new SAString("TEXT");
SAString* const SATextTranslator::sHTMLTAG_STYLE = new SAString("STYLE");
SAString* const SATextTranslator::sHTMLTAG_BORDERWIDTH = new SAString("BORDER-WIDTH");
SAString* const SATextTranslator::sHTMLTAG_MARGINLEFT = new SAString("MARGIN-LEFT");
SAString* const SATextTranslator::sHTMLTAG_FONTSIZE = new SAString("FONT-SIZE");
SAString* const SATextTranslator::sHTMLTAG_FLOAT = new SAString("FLOAT");
SAString* const SATextTranslator::sHTMLTAG_CLEAR = new SAString("CLEAR");
SAString* const SATextTranslator::sHTMLTAG_DISPLAY = new SAString("DISPLAY");
SAString* const SATextTranslator::sHTMLTAG_VISIBILITY = new SAString("VISIBILITY");
SAString* const SATextTranslator::sHTMLTAG_TH = new SAString("TH");
SAString* const SATextTranslator::sHTMLTAG_TD = new SAString("TD");
SAString* const SATextTranslator::sHTMLTAG_TR = new SAString("TR");
SAString* const SATextTranslator::sHTMLTAG_TABLE = new SAString("TABLE");
SAString* const SATextTranslator::sHTMLTAG_BODY = new SAString("BODY");
SAString* const SATextTranslator::sBackgroundString = new SAString("Background");
SAString* const SATextTranslator::sBackgroundImageString = new SAString("background-image");
SAString* const SATextTranslator::sZeroPixel = new SAString("0px");
SAString* const SATextTranslator::sOnePixel = new SAString("1px");
SAString* const SATextTranslator::sNone = new SAString("none");
SAString* const SATextTranslator::sLeft = new SAString("left");
SAString* const SATextTranslator::sRight = new SAString("right");
SAString* const SATextTranslator::sBoth = new SAString("both");
SAString* const SATextTranslator::sHidden = new SAString("hidden");
SAString* const SATextTranslator::sColorString = new SAString("Color");
SAString* const SATextTranslator::sTagString = new SAString("Tag");

namespace {

using T = SATextTranslator;

struct TagRecord {
    const char* name;
    bool keep;
};

// Every tag name the simplifier knows, with whether the tag stays in its output.
// P, BR, LI, OL, UL, HR and H1-H6 are handled by name instead. Besides the
// tags of the traditional list, the two HTML 4 elements it lacks, FIELDSET and
// MAP (image maps of newsletters), are known: only made-up tags are wrong.
constexpr TagRecord kTagRecords[] = {
    {"![endif]", false}, {"![if", false},     {"!DOCTYPE", true},  {"A", false},        {"ABBR", false},
    {"ACRONYM", false},  {"ADDRESS", false},  {"APPLET", false},   {"AREA", false},     {"B", false},
    {"BASE", false},     {"BASEFONT", false}, {"BDO", false},      {"BIG", false},      {"BLOCKQUOTE", false},
    {"BODY", true},      {"CENTER", false},   {"CODE", false},     {"COMMENT", false},  {"DIR", false},
    {"DIV", false},      {"FONT", false},     {"BORDER", false},   {"BUTTON", false},   {"CAPTION", false},
    {"CITE", false},     {"COL", false},      {"COLGROUP", false}, {"DD", false},       {"DEL", false},
    {"DFN", false},      {"DL", false},       {"DT", false},       {"EM", false},       {"EMBED", false},
    {"FORM", false},     {"FRAME", false},    {"FRAMESET", false}, {"HEAD", true},      {"HTML", true},
    {"I", false},        {"IFRAME", false},   {"IMG", false},      {"INS", false},      {"ISINDEX", false},
    {"KBD", false},      {"LAYER", false},    {"ILAYER", false},   {"INPUT", false},    {"LABEL", false},
    {"LEGEND", false},   {"LINK", false},     {"MARQUEE", false},  {"MENU", false},     {"META", true},
    {"NOBR", false},     {"NOLAYER", false},  {"NOFRAMES", false}, {"NOSCRIPT", false}, {"OBJECT", false},
    {"O", false},        {"OPTGROUP", false}, {"OPTION", false},   {"OVERLAY", false},  {"PARAM", false},
    {"PRE", false},      {"Q", false},        {"S", false},        {"SAMP", false},     {"SCRIPT", false},
    {"SELECT", false},   {"SELECTED", false}, {"SMALL", false},    {"SPAN", false},     {"ST1", false},
    {"STRIKE", false},   {"STRONG", false},   {"STYLE", false},    {"SUB", false},      {"SUP", false},
    {"TABLE", true},     {"TBODY", false},    {"TD", true},        {"TEXTAREA", false}, {"TFOOT", false},
    {"TH", true},        {"THEAD", false},    {"TITLE", false},    {"TR", true},        {"TT", false},
    {"U", false},        {"U1", false},       {"V", false},        {"VAR", false},      {"W", false},
    {"X-TAB", false},    {"XML", false},      {"FIELDSET", false}, {"MAP", false},
};
constexpr unsigned long kTagRecordCount = sizeof(kTagRecords) / sizeof(kTagRecords[0]);
static_assert(kTagRecordCount == 99);
constexpr unsigned long kLongestTagName = 10;  // "BLOCKQUOTE"

// Attribute and declaration dictionaries keep at most this many items, plus the
// names the simplifier reads, so a tag with a million attributes stays cheap.
constexpr unsigned long kMaxStoredAttributes = 64;
// Longest CSS property name kept.
constexpr unsigned long kMaxPropertyNameLength = 255;
// Longest enriched-text command name kept.
constexpr unsigned long kMaxCommandLength = 61;
// Longest run of letters and digits that makes a pseudo tag.
constexpr unsigned long kMaxPseudoTagLength = 14;

// A tag name of up to 16 bytes, upper-cased and packed into two words, so a
// lookup compares integers instead of strings.
struct PackedName {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    unsigned long length = 0;

    bool operator<(const PackedName& other) const {
        if (length != other.length)
            return length < other.length;
        if (high != other.high)
            return high < other.high;
        return low < other.low;
    }
    bool operator==(const PackedName& other) const {
        return length == other.length && high == other.high && low == other.low;
    }
};

/// The first `length` (at most 16) bytes of `name`, ASCII letters upper-cased.
PackedName packUpper(const char* name, unsigned long length) {
    unsigned char bytes[16] = {};
    for (unsigned long i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        bytes[i] = (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c;
    }
    PackedName packed;
    std::memcpy(&packed.low, bytes, 8);
    std::memcpy(&packed.high, bytes + 8, 8);
    packed.length = length;
    return packed;
}

// A table of at most 128 packed names, found through a hash of the packed
// words (open addressing over 256 slots); keys are compared whole.
template <class V>
class PackedTable {
public:
    void insert(const PackedName& key, V value) {
        std::size_t at = slotOf(key);
        while (_slots[at].used && !(_slots[at].key == key))
            at = (at + 1) % kSlots;
        _slots[at] = Slot{key, value, true};
    }

    const V* find(const PackedName& key) const {
        for (std::size_t at = slotOf(key);; at = (at + 1) % kSlots) {
            const Slot& slot = _slots[at];
            if (!slot.used)
                return nullptr;
            if (slot.key == key)
                return &slot.value;
        }
    }

private:
    static constexpr std::size_t kSlots = 256;
    struct Slot {
        PackedName key;
        V value{};
        bool used = false;
    };

    static std::size_t slotOf(const PackedName& key) {
        const std::uint64_t h = key.low * 0x9E3779B97F4A7C15ULL ^ key.high * 0xC2B2AE3D27D4EB4FULL ^ key.length;
        return static_cast<std::size_t>((h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ULL >> 56) % kSlots;
    }

    std::array<Slot, kSlots> _slots{};
};

// The tag table's names upper-cased with their keep flags, so a lookup that
// ignores case does not walk all 99 items. Built with the table.
PackedTable<bool>& tagIndex() {
    static PackedTable<bool> index;
    return index;
}

bool isBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Narrows value[0..length) to its part without leading and trailing blanks.
void trimBlanks(const char*& value, unsigned long& length) {
    while (length > 0 && isBlank(value[0])) {
        ++value;
        --length;
    }
    while (length > 0 && isBlank(value[length - 1]))
        --length;
}

bool isAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

unsigned char asciiUpper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

// True when the `length` bytes at `bytes` equal `literal`, ignoring ASCII case.
bool equalsIgnoringCase(const char* bytes, unsigned long length, std::string_view literal) {
    if (length != literal.size())
        return false;
    for (unsigned long i = 0; i < length; ++i)
        if (asciiUpper(static_cast<unsigned char>(bytes[i])) != asciiUpper(static_cast<unsigned char>(literal[i])))
            return false;
    return true;
}

std::string_view view(const SAString* string) { return std::string_view(string->cString(), string->length()); }

SAString* stringValue(const SADictionary* dictionary, const SAString* key) {
    if (!dictionary)
        return nullptr;
    auto* value = dynamic_cast<SAString*>(dictionary->objectForKey(key, SACaseInsensitiveSearch));
    return value && value->cString() ? value : nullptr;
}

unsigned long long hexaDigits(const char* text, unsigned long available) {
    unsigned long long value = 0;
    for (unsigned long i = 0; i < 4 && i < available; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= '0' && c <= '9')
            value = value * 16 + (c - '0');
        else if (c >= 'A' && c <= 'Z')
            value = value * 16 + (c - 55);
        else if (c >= 'a' && c <= 'z')
            value = value * 16 + (c - 87);
    }
    return value;
}

// Stores `value` under `key` in an attribute or declaration dictionary. Names
// match ignoring case: for attributes the first occurrence wins (as in HTML),
// for declarations the last (as in CSS). Past kMaxStoredAttributes items only
// the names in `read` are still stored. Values are trimmed when `trim` is set.
void storeBounded(SAMutableDictionary* dictionary, const char* key, unsigned long keyLength, const char* value,
                  unsigned long valueLength, bool lastWins, bool trim, std::initializer_list<const SAString*> read) {
    if (keyLength == 0)
        return;
    if (dictionary->count() >= kMaxStoredAttributes) {
        bool wanted = false;
        for (const SAString* name : read)
            wanted = wanted || equalsIgnoringCase(key, keyLength, view(name));
        if (!wanted)
            return;
    }
    const SADictionaryItem* existing = nullptr;
    for (unsigned long slot = 0; slot < dictionary->slotCount() && !existing; ++slot) {
        const SADictionaryItem* item = dictionary->itemAtSlot(slot);
        if (item && equalsIgnoringCase(item->key->cString(), item->key->length(), std::string_view(key, keyLength)))
            existing = item;
    }
    if (existing && !lastWins)
        return;
    if (trim)
        trimBlanks(value, valueLength);
    SARef<SAString> valueString = SARef<SAString>::adopt(SAString::create(value, valueLength));
    if (!valueString->cString())
        return;
    if (existing) {
        dictionary->setObjectForKey(valueString.get(), existing->key);
        return;
    }
    // No item has this name in any case, so none has it exactly.
    dictionary->setObjectForNewKey(valueString.get(), SAString::create(key, keyLength));
}

// Calls visit(name, nameLength, value, valueLength) for every attribute of a
// tag, given its text between "<" and ">" (the name is skipped), in order.
// Values are as written: quotes removed, blanks not trimmed.
template <class Visit>
void forEachAttribute(const char* text, unsigned long size, Visit visit) {
    // The tag name runs to the first blank or ":".
    unsigned long pos = 0;
    while (pos < size && !isBlank(text[pos]) && text[pos] != ':')
        ++pos;

    while (pos < size) {
        while (pos < size && isBlank(text[pos]))
            ++pos;
        if (pos >= size)
            break;
        const unsigned long nameStart = pos;
        while (pos < size && !isBlank(text[pos]) && text[pos] != '=')
            ++pos;
        const unsigned long nameEnd = pos;
        while (pos < size && isBlank(text[pos]))
            ++pos;
        unsigned long valueStart = pos, valueEnd = pos;
        // A name not followed by "=" is an attribute without a value.
        if (pos < size && text[pos] == '=') {
            ++pos;
            while (pos < size && isBlank(text[pos]))
                ++pos;
            if (pos < size && (text[pos] == '"' || text[pos] == '\'')) {
                valueStart = ++pos;
                while (pos < size && text[pos] != '"' && text[pos] != '\'')
                    ++pos;
                valueEnd = pos;
                if (pos < size)
                    ++pos;
            } else {
                valueStart = pos;
                while (pos < size && !isBlank(text[pos]))
                    ++pos;
                valueEnd = pos;
            }
        }
        visit(text + nameStart, nameEnd - nameStart, text + valueStart, valueEnd - valueStart);
    }
}

// Calls visit(name, nameLength, value, valueLength) for every declaration of
// a STYLE attribute value, in order: the name without its line-end bytes
// (at most kMaxPropertyNameLength of them), the first word of the value.
template <class Visit>
void forEachDeclaration(const char* text, unsigned long size, Visit visit) {
    char name[kMaxPropertyNameLength];
    unsigned long pos = 0;
    while (pos < size) {
        while (pos < size && isBlank(text[pos]))
            ++pos;
        if (pos >= size)
            break;
        // The property name runs to a blank, ":" or ";"; line ends inside it are left out.
        unsigned long nameLength = 0;
        while (pos < size && text[pos] != ' ' && text[pos] != '\t' && text[pos] != ':' && text[pos] != ';') {
            if (text[pos] != '\n' && text[pos] != '\r' && nameLength < kMaxPropertyNameLength)
                name[nameLength++] = text[pos];
            ++pos;
        }
        while (pos < size && isBlank(text[pos]))
            ++pos;
        if (pos < size && text[pos] == ':') {
            ++pos;
            while (pos < size && isBlank(text[pos]))
                ++pos;
            const unsigned long valueStart = pos;
            while (pos < size && text[pos] != ';' && !isBlank(text[pos]))
                ++pos;
            visit(static_cast<const char*>(name), nameLength, text + valueStart, pos - valueStart);
        }
        // The rest of the declaration is ignored.
        while (pos < size && text[pos] != ';')
            ++pos;
        if (pos < size)
            ++pos;
    }
}

/// Number of CR, LF and tab bytes among the `count` bytes at `p`.
unsigned long countLineBytes(const unsigned char* p, unsigned long count) {
    unsigned long found = 0;
    unsigned long k = 0;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i tab = _mm_set1_epi8('\t');
    for (; k + 16 <= count; k += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        const __m128i hits =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, tab));
        found += static_cast<unsigned long>(__builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(hits))));
    }
#endif
    for (; k < count; ++k)
        found += p[k] == '\r' || p[k] == '\n' || p[k] == '\t';
    return found;
}

// A value the simplifier reads from a tag without building its dictionary:
// what stringValue(attributesForHTMLTag(...), name) or the declarations of
// attributesForHTMLAttribute would hold, as a view into the tag text.
struct ValueView {
    const char* bytes = nullptr;
    unsigned long length = 0;
    bool found = false;

    bool equalsIgnoringCase(const SAString* constant) const {
        return found && ::equalsIgnoringCase(bytes, length, view(constant));
    }
};

// The values of a few names read from one tag or STYLE value, each as the
// dictionary of attributesForHTMLTag (first occurrence, trimmed) or of
// attributesForHTMLAttribute (last occurrence) would hold it.
template <std::size_t N>
struct NamedViews {
    std::array<const SAString*, N> names;
    std::array<ValueView, N> values{};

    void record(const char* name, unsigned long nameLength, const char* value, unsigned long valueLength, bool lastWins,
                bool trim) {
        if (nameLength == 0)
            return;
        for (std::size_t k = 0; k < N; ++k) {
            if (!::equalsIgnoringCase(name, nameLength, view(names[k])))
                continue;
            if (values[k].found && !lastWins)
                return;
            if (trim)
                trimBlanks(value, valueLength);
            values[k] = ValueView{value, valueLength, true};
            return;
        }
    }

    const ValueView& of(const SAString* name) const {
        for (std::size_t k = 0; k < N; ++k)
            if (names[k] == name)
                return values[k];
        static const ValueView none;
        return none;
    }
};

// Writes into a buffer of fixed capacity; writes beyond it are refused.
struct Output {
    unsigned char* bytes;
    unsigned long capacity;
    unsigned long length = 0;

    void put(unsigned char c) {
        if (length < capacity)
            bytes[length++] = c;
    }
    void put(const unsigned char* from, unsigned long count) {
        if (count > capacity - length)
            count = capacity - length;
        std::memcpy(bytes + length, from, count);
        length += count;
    }
};

bool allocateOutput(const unsigned char* in, unsigned long length, unsigned char** out, unsigned long* outLength) {
    if (out)
        *out = nullptr;
    if (outLength)
        *outLength = 0;
    if (!in || length == 0 || !out || !outLength)
        return false;
    *out = static_cast<unsigned char*>(std::malloc(length));
    return *out != nullptr;
}

// Wraps the result of a buffer form in a new owning data object.
SAData* runBufferForm(int (*form)(const unsigned char*, unsigned long, unsigned char**, unsigned long*), SAData* data) {
    if (!data || data->length() == 0 || !data->bytes())
        return nullptr;
    unsigned char* out = nullptr;
    unsigned long outLength = 0;
    if (form(reinterpret_cast<const unsigned char*>(data->bytes()), data->length(), &out, &outLength) != 0)
        return nullptr;
    if (outLength == 0) {
        std::free(out);
        return new (std::nothrow) SAData();
    }
    if (outLength < data->length()) {
        if (void* shrunk = std::realloc(out, outLength))
            out = static_cast<unsigned char*>(shrunk);
    }
    auto* result = new (std::nothrow) SAData(out, outLength, true);
    if (!result || result->length() != outLength) {
        SAObject::release(result);
        std::free(out);
        return nullptr;
    }
    result->_setOwner(true);
    return result;
}

// ---------------------------------------------------------------------------
// The colour stack of one simplifiedHTML call: the SAMutableArray of colour
// items, topped (for pathologically deep nesting) by compact items that answer
// the same questions.

enum class StackTag : unsigned char { Other, Body, Table, Tr, Td, Th };

// Each item holds what the simplifier asks of a colour item of
// addColorItemToStack ({"Color", "Tag", optional "Background"}): the colour,
// whether a background was given, and the tag that pushed it.
class ColorStack {
public:
    ColorStack() {
        // The bottom item: white, as SAColor::whiteColor().
        _items.reserve(16);
        _items.push_back(Item{});
    }

    // The colour is the BGCOLOR of `attributes`, else the colour of the top item.
    void push(const ValueView& bgcolor, bool hasBackground, StackTag tag) {
        Item item = _items.back();
        if (bgcolor.found) {
            const SAColor color(bgcolor.bytes, bgcolor.length);
            item.red = color.red();
            item.green = color.green();
            item.blue = color.blue();
        }
        item.hasBackground = hasBackground;
        item.tag = tag;
        _items.push_back(item);
    }

    StackTag topTag() const { return _items.back().tag; }

    // The bottom item (white, pushed at the start) is never removed, so every
    // later colour test has a background to compare with.
    void pop() {
        if (!isBottom())
            _items.pop_back();
    }

    void popWhile(std::initializer_list<StackTag> tags) {
        for (;;) {
            const StackTag top = topTag();
            bool matches = false;
            for (StackTag tag : tags)
                matches = matches || (tag == top && !isBottom());
            if (!matches)
                return;
            pop();
        }
    }

    void popIf(StackTag tag) {
        if (topTag() == tag && !isBottom())
            pop();
    }

    struct Top {
        float red = 1, green = 1, blue = 1;
        bool hasBackground = false;
    };

    Top top() const {
        const Item& item = _items.back();
        Top top;
        top.red = item.red;
        top.green = item.green;
        top.blue = item.blue;
        top.hasBackground = item.hasBackground;
        return top;
    }

private:
    struct Item {
        float red = 1, green = 1, blue = 1;
        bool hasBackground = false;
        StackTag tag = StackTag::Other;
    };

    bool isBottom() const { return _items.size() <= 1; }

    std::vector<Item> _items;
};

// ---------------------------------------------------------------------------
// Tags the simplifier handles by name.

enum class Handled : unsigned char {
    Other,
    Body,
    Table,
    Tr,
    Td,
    Th,
    EndTd,
    EndTh,
    EndTr,
    EndTable,
    EndBody,
    Head,
    EndHead,
    Style,
    EndStyle,
    Script,
    EndScript,
    Applet,
    EndApplet,
    Iframe,
    EndIframe,
    Comment,
    EndComment,
    P,
    Font,
    EndFont,
    Span,
    EndSpan,
    Div,
    Textarea,
    Break,
    EndHtml,
};

struct HandledName {
    std::string_view name;
    Handled kind;
};

// Sorted by name for binary search; names in upper case.
constexpr HandledName kHandledNames[] = {
    {"/APPLET", Handled::EndApplet},
    {"/BODY", Handled::EndBody},
    {"/BR", Handled::Break},
    {"/COMMENT", Handled::EndComment},
    {"/FONT", Handled::EndFont},
    {"/H1", Handled::Break},
    {"/H2", Handled::Break},
    {"/H3", Handled::Break},
    {"/H4", Handled::Break},
    {"/H5", Handled::Break},
    {"/H6", Handled::Break},
    {"/HEAD", Handled::EndHead},
    {"/HTML", Handled::EndHtml},
    {"/IFRAME", Handled::EndIframe},
    {"/LI", Handled::Break},
    {"/OL", Handled::Break},
    {"/P", Handled::Break},
    {"/SCRIPT", Handled::EndScript},
    {"/SPAN", Handled::EndSpan},
    {"/STYLE", Handled::EndStyle},
    {"/TABLE", Handled::EndTable},
    {"/TD", Handled::EndTd},
    {"/TH", Handled::EndTh},
    {"/TR", Handled::EndTr},
    {"/UL", Handled::Break},
    {"APPLET", Handled::Applet},
    {"BODY", Handled::Body},
    {"BR", Handled::Break},
    {"BR/", Handled::Break},
    {"COMMENT", Handled::Comment},
    {"DIV", Handled::Div},
    {"FONT", Handled::Font},
    {"H1", Handled::Break},
    {"H2", Handled::Break},
    {"H3", Handled::Break},
    {"H4", Handled::Break},
    {"H5", Handled::Break},
    {"H6", Handled::Break},
    {"HEAD", Handled::Head},
    {"HR", Handled::Break},
    {"IFRAME", Handled::Iframe},
    {"LI", Handled::Break},
    {"OL", Handled::Break},
    {"P", Handled::P},
    {"SCRIPT", Handled::Script},
    {"SPAN", Handled::Span},
    {"STYLE", Handled::Style},
    {"TABLE", Handled::Table},
    {"TD", Handled::Td},
    {"TEXTAREA", Handled::Textarea},
    {"TH", Handled::Th},
    {"TR", Handled::Tr},
    {"UL", Handled::Break},
};

constexpr bool handledNamesSorted() {
    for (unsigned long i = 1; i < sizeof(kHandledNames) / sizeof(kHandledNames[0]); ++i)
        if (!(kHandledNames[i - 1].name < kHandledNames[i].name))
            return false;
    return true;
}
static_assert(handledNamesSorted());

// kHandledNames packed for lookups, built on first use.
const PackedTable<Handled>& handledIndex() {
    static const PackedTable<Handled> index = [] {
        PackedTable<Handled> table;
        for (const HandledName& entry : kHandledNames)
            table.insert(packUpper(entry.name.data(), entry.name.size()), entry.kind);
        return table;
    }();
    return index;
}

Handled classifyTag(const char* name, unsigned long length) {
    constexpr unsigned long longest = 8;  // "/COMMENT", "TEXTAREA"
    if (length == 0 || length > longest)
        return Handled::Other;
    const Handled* found = handledIndex().find(packUpper(name, length));
    return found ? *found : Handled::Other;
}

// ---------------------------------------------------------------------------
// One pass of simplifiedHTMLBuffer.

class HTMLSimplifier {
public:
    HTMLSimplifier(const unsigned char* in, unsigned long length, unsigned char* out)
        : _in(in), _length(length), _out{out, length} {}

    unsigned long run() {
        unsigned long i = 0;
        while (i < _length) {
            if (_in[i] != '<') {
                const void* open = std::memchr(_in + i, '<', _length - i);
                const unsigned long stop = open ? static_cast<const unsigned char*>(open) - _in : _length;
                text(i, stop);
                i = stop;
                continue;
            }
            // 1. "<" opens a tag and closes the current run of visible characters.
            closeRun();
            // 2. The tag runs to the next ">"; one never closed is dropped.
            const unsigned long start = i + 1;
            const void* close = start < _length ? std::memchr(_in + start, '>', _length - start) : nullptr;
            if (!close)
                break;
            const unsigned long end = static_cast<const unsigned char*>(close) - _in;
            i = tag(start, end);
        }
        finish();
        return _out.length;
    }

private:
    // Style sheets are read by the browser, not shown: their text is dropped
    // wherever the STYLE element stands.
    bool dropsText() const {
        return _inScript || _inApplet || _inIframe || _inCommentElement || _inHead || _inInvisibleSpan || _inStyle;
    }
    bool suppressesTags() const { return dropsText(); }

    void closeRun() {
        if (_run > 0) {
            _visibleTotal += _run;
            ++_runCount;
        }
        _textBeforeTag = _run;
        _run = 0;
    }

    // True when the bytes hold a letter or digit (any non-ASCII byte counts as
    // one), outside named character references such as "&nbsp;"; a numeric
    // reference counts, as it may stand for any letter.
    static bool holdsWords(const unsigned char* p, unsigned long count) {
        for (unsigned long k = 0; k < count; ++k) {
            const unsigned char c = p[k];
            if (c == '&' && k + 1 < count && std::isalpha(p[k + 1])) {
                unsigned long end = k + 1;
                while (end < count && std::isalnum(p[end]))
                    ++end;
                if (end < count && p[end] == ';') {
                    k = end;
                    continue;
                }
            }
            if (c >= 0x80 || std::isalnum(c))
                return true;
        }
        return false;
    }

    // 3. A run of text bytes, [from, to): no state changes inside it.
    void text(unsigned long from, unsigned long to) {
        const unsigned char* p = _in + from;
        const unsigned long count = to - from;
        const unsigned long counted = count - countLineBytes(p, count);
        _run += counted;
        if (_hidden) {
            // Hidden spaces or punctuation are layout; hidden words are the trick.
            if (!_tdBackground && holdsWords(p, count))
                T::htmlWhiteTrick = true;
            return;
        }
        if (_afterHTML) {
            // Visible: neither a space nor one of the bytes left out above.
            unsigned long spaces = 0;
            for (unsigned long k = 0; k < count; ++k)
                spaces += p[k] == ' ';
            _afterHTMLCount += counted - spaces;
            return;
        }
        if (dropsText())
            return;
        _out.put(p, count);
    }

    // The attributes the simplifier reads, parsed once per tag on first use.
    const NamedViews<6>& attributes() {
        if (!_attributesRead) {
            _attributesRead = true;
            _attributes.values = {};
            const unsigned long size = std::min<unsigned long>(_tagLength, INT_MAX);
            if (size > 0)
                forEachAttribute(
                    reinterpret_cast<const char*>(_tagText), size,
                    [this](const char* name, unsigned long nameLength, const char* value, unsigned long valueLength) {
                        _attributes.record(name, nameLength, value, valueLength, false, true);
                    });
        }
        return _attributes;
    }

    const NamedViews<6>& style() {
        if (!_styleRead) {
            _styleRead = true;
            _style.values = {};
            const ValueView& value = attributes().of(T::sHTMLTAG_STYLE);
            if (value.found)
                forEachDeclaration(value.bytes, value.length,
                                   [this](const char* name, unsigned long nameLength, const char* declared,
                                          unsigned long declaredLength) {
                                       _style.record(name, nameLength, declared, declaredLength, true, false);
                                   });
        }
        return _style;
    }

    bool styleIs(const SAString* property, const SAString* value) {
        return style().of(property).equalsIgnoringCase(value);
    }

    bool smallFontStyle() {
        return styleIs(T::sHTMLTAG_FONTSIZE, T::sOnePixel) || styleIs(T::sHTMLTAG_FONTSIZE, T::sZeroPixel);
    }

    void emitNormalised() {
        if (suppressesTags())
            return;
        _out.put('<');
        _out.put(reinterpret_cast<const unsigned char*>(_name), _nameLength);
        _out.put('>');
    }

    void emitConsumed(unsigned char c) {
        if (!suppressesTags())
            _out.put(c);
    }

    void pushColorItem(StackTag tag) {
        const NamedViews<6>& values = attributes();
        // A style-sheet class without a BGCOLOR may paint the background in
        // any colour: like a background picture, nothing to compare text with.
        const bool unknownBackground = values.of(T::sBackgroundString).found ||
                                       (values.of(classAttribute()).found && !values.of(T::sHTMLTAG_BGCOLOR).found);
        _colors.push(values.of(T::sHTMLTAG_BGCOLOR), unknownBackground, tag);
    }

    // What handling a tag by name leaves to do: copy it as written, write its
    // name alone, or nothing (consumed).
    enum class TagEffect { Kept, Normalised, Consumed };

    // 4. The tag text between "<" (at start - 1) and ">" (at end). Returns where
    // the scan goes on.
    unsigned long tag(unsigned long start, unsigned long end) {
        _tagText = _in + start;
        _tagLength = end - start;
        _attributesRead = false;
        _styleRead = false;

        // 4.1 Comments: no output, no state.
        if (_tagLength > 4 && std::memcmp(_tagText, "!--", 3) == 0)
            return afterComment(end);

        // 4.2 The tag name.
        readName();
        const bool closing = _nameLength > 0 && _name[0] == '/';
        if (_afterHTML)
            _tagAfterHTML = true;
        const bool followsEndStyle = _lastTagWasEndStyle;
        _lastTagWasEndStyle = false;
        const Handled kind = classifyTag(_name, _nameLength);

        // 4.3 Inside a script only its end tag counts: the rest is script text.
        if (_inScript) {
            if (kind == Handled::EndScript)
                _inScript = false;
            return end + 1;
        }

        // 4.4 Handling by name.
        const TagEffect effect = handleByName(kind, followsEndStyle);
        if (effect == TagEffect::Consumed)
            return end + 1;

        // 4.5 The tag table decides what stays; unknown tags are counted.
        const bool drop = dropsByTable(closing);

        // 4.6 Output.
        if (drop || suppressesTags())
            return end + 1;
        if (effect == TagEffect::Normalised) {
            emitNormalised();
        } else {
            _out.put('<');
            _out.put(_tagText, _tagLength);
            _out.put('>');
        }
        return end + 1;
    }

    // Where the scan goes on after a comment opened by the tag ending at end:
    // the tag itself when it ends in "--", else the next "-->", else the end.
    unsigned long afterComment(unsigned long end) const {
        if (std::memcmp(_tagText + _tagLength - 2, "--", 2) == 0)
            return end + 1;
        const unsigned long from = end + 1;
        const void* found = from < _length ? memmem(_in + from, _length - from, "-->", 3) : nullptr;
        if (!found)
            return _length;
        return static_cast<const unsigned char*>(found) - _in + 3;
    }

    // The name runs to the first space, colon or line break of the tag text.
    void readName() {
        _name = reinterpret_cast<const char*>(_tagText);
        _nameLength = 0;
        while (_nameLength < _tagLength) {
            const unsigned char c = _tagText[_nameLength];
            if (c == ' ' || c == ':' || c == '\r' || c == '\n' || c == '\t')
                break;
            ++_nameLength;
        }
    }

    TagEffect handleByName(Handled kind, bool followsEndStyle) {
        switch (kind) {
        case Handled::Body:
        case Handled::Table:
        case Handled::Tr:
        case Handled::Td:
        case Handled::Th:
            openTableItem(kind);
            return TagEffect::Normalised;
        case Handled::EndTd:
        case Handled::EndTh:
        case Handled::EndTr:
        case Handled::EndTable:
        case Handled::EndBody:
            closeTableItem(kind, followsEndStyle);
            return TagEffect::Normalised;
        case Handled::Head:
            _inHead = true;
            return TagEffect::Kept;
        case Handled::EndHead:
            _inHead = false;
            return TagEffect::Kept;
        case Handled::Style:
            _styleOpenedInHead = _inHead;
            _inStyle = true;
            return TagEffect::Kept;
        case Handled::EndStyle:
            _inStyle = false;
            if (_styleOpenedInHead && _textBeforeTag == 0)
                _emptyHeadStyle = true;
            _styleOpenedInHead = false;
            _lastTagWasEndStyle = true;
            return TagEffect::Kept;
        case Handled::Script:
            _inScript = true;
            return TagEffect::Consumed;
        case Handled::EndScript:
            return TagEffect::Consumed;
        case Handled::Applet:
        case Handled::EndApplet:
            _inApplet = kind == Handled::Applet;
            return TagEffect::Consumed;
        case Handled::Iframe:
        case Handled::EndIframe:
            _inIframe = kind == Handled::Iframe;
            return TagEffect::Consumed;
        case Handled::Comment:
        case Handled::EndComment:
            _inCommentElement = kind == Handled::Comment;
            return TagEffect::Consumed;
        case Handled::P:
            paragraph();
            return TagEffect::Consumed;
        case Handled::Font:
            font();
            return TagEffect::Consumed;
        case Handled::EndFont:
            _hidden = false;
            return TagEffect::Consumed;
        case Handled::Span:
            span();
            return TagEffect::Consumed;
        case Handled::EndSpan:
            _inInvisibleSpan = false;
            return TagEffect::Kept;
        case Handled::Div:
            ++_divCount;
            if (styleIs(T::sHTMLTAG_FLOAT, T::sLeft))
                ++_floatLeftCount;
            return TagEffect::Kept;
        case Handled::Textarea:
            if (styleIs(T::sHTMLTAG_VISIBILITY, T::sHidden))
                ++_hiddenTextareaCount;
            return TagEffect::Consumed;
        case Handled::Break:
            emitConsumed(' ');
            return TagEffect::Consumed;
        case Handled::EndHtml:
            _afterHTML = true;
            return TagEffect::Kept;
        case Handled::Other:
            break;
        }
        return TagEffect::Kept;
    }

    // BODY, TABLE, TR, TD and TH push their background; a cell, row or table
    // shows its text again.
    void openTableItem(Handled kind) {
        // The body begins where the head ends, whether or not "</head>" was written.
        if (kind == Handled::Body)
            _inHead = false;
        pushColorItem(kind == Handled::Body    ? StackTag::Body
                      : kind == Handled::Table ? StackTag::Table
                      : kind == Handled::Tr    ? StackTag::Tr
                      : kind == Handled::Td    ? StackTag::Td
                                               : StackTag::Th);
        if (kind != Handled::Body)
            _hidden = false;
        if (kind == Handled::Td &&
            (attributes().of(T::sBackgroundString).found || attributes().of(T::sBackgroundImageString).found))
            _tdBackground = true;
    }

    // Their end tags pop what they opened, and the cells and rows left open inside.
    void closeTableItem(Handled kind, bool followsEndStyle) {
        switch (kind) {
        case Handled::EndTd:
            _colors.popIf(StackTag::Td);
            _hidden = false;
            break;
        case Handled::EndTh:
            _colors.popIf(StackTag::Th);
            _hidden = false;
            break;
        case Handled::EndTr:
            _colors.popWhile({StackTag::Td, StackTag::Th});
            _colors.popIf(StackTag::Tr);
            _hidden = false;
            break;
        case Handled::EndTable:
            _colors.popWhile({StackTag::Td, StackTag::Tr, StackTag::Th});
            _colors.popIf(StackTag::Table);
            _hidden = false;
            break;
        default:  // EndBody
            if (_emptyHeadStyle && followsEndStyle)
                T::floatLeftClearBothTrick = true;
            _colors.popWhile({StackTag::Td, StackTag::Tr, StackTag::Th, StackTag::Table});
            _colors.pop();
            break;
        }
    }

    // Whether the tag table drops the tag; a tag it does not know is counted,
    // outside the sections whose tags are not looked at.
    bool dropsByTable(bool closing) {
        bool drop = false;
        if (_inIframe || _inApplet || _inCommentElement || _inHead)
            return drop;
        const char* bare = closing ? _name + 1 : _name;
        const unsigned long bareLength = closing ? _nameLength - 1 : _nameLength;
        if (!T::isHTMLTagKnown(bare, bareLength, &drop)) {
            ++_unknownTagCount;
            if (_unknownTagCount >= (closing ? 5u : 6u))
                T::tooManyWrongHTMLTags = true;
        }
        return drop;
    }

    void paragraph() {
        emitConsumed('\r');
        if (smallFontStyle()) {
            T::htmlSmallFontTrick = true;
            _hidden = true;
        }
    }

    void font() {
        const bool smallFont = smallFontStyle();
        if (smallFont) {
            T::htmlSmallFontTrick = true;
            _hidden = true;
        }
        if (styleIs(T::sHTMLTAG_FLOAT, T::sLeft))
            ++_floatLeftCount;
        const ValueView colorValue = attributes().of(T::sHTMLTAG_COLOR);
        if (!colorValue.found)
            return;
        const ColorStack::Top top = _colors.top();
        if (top.hasBackground)
            return;
        const SAColor color(colorValue.bytes, colorValue.length);
        const SAColor background(top.red, top.green, top.blue);
        const bool invisible = std::fabs(color.luminosity() - background.luminosity()) < 0.2f ||
                               (background.isWhiteColor() && (color.isYellowColor() || color.isLightGreenColor()));
        // A 1px font in the same tag stays hidden whatever its colour.
        _hidden = invisible || smallFont;
    }

    void span() {
        if (styleIs(T::sHTMLTAG_DISPLAY, T::sNone)) {
            ++_invisibleSpanCount;
            _inInvisibleSpan = true;
            if (_invisibleSpanCount > 10)
                T::tooManySpanDisplayNone = true;
        }
        if (styleIs(T::sHTMLTAG_FLOAT, T::sLeft))
            ++_floatLeftCount;
        if (styleIs(T::sHTMLTAG_FLOAT, T::sRight)) {
            ++_rightFloatSpanCount;
            const ValueView& marginLeft = style().of(T::sHTMLTAG_MARGINLEFT);
            if (marginLeft.found ? marginLeft.equalsIgnoringCase(T::sZeroPixel)
                                 : styleIs(T::sHTMLTAG_BORDERWIDTH, T::sZeroPixel))
                ++_zeroMarginFloatCount;
        }
    }

    // Flags decided at the end of the data.
    void finish() {
        // 5. Visible text after the closing HTML tag, with no tag there.
        if (_afterHTMLCount > 30 && !_tagAfterHTML)
            T::htmlAfter = true;
        // 6. Layout tricks: short runs of text among floating blocks, or many
        // right-floating spans, zero-margin floats or hidden text areas.
        const bool shortRuns =
            _runCount > 0 && static_cast<double>(_visibleTotal) / static_cast<double>(_runCount) < 35.0;
        if (shortRuns && _divCount >= 2 && _floatLeftCount >= 1)
            T::floatLeftClearBothTrick = true;
        if (_rightFloatSpanCount > 10 || _zeroMarginFloatCount > 6 || _hiddenTextareaCount > 10)
            T::floatLeftClearBothTrick = true;
    }

    const unsigned char* _in;
    unsigned long _length;
    Output _out;
    ColorStack _colors;

    // The tag being handled.
    const unsigned char* _tagText = nullptr;
    unsigned long _tagLength = 0;
    const char* _name = nullptr;
    unsigned long _nameLength = 0;
    static const SAString* classAttribute() {
        static const SAString* const name = new SAString("CLASS");
        return name;
    }
    NamedViews<6> _attributes{{T::sHTMLTAG_BGCOLOR, T::sHTMLTAG_COLOR, T::sHTMLTAG_STYLE, T::sBackgroundString,
                               T::sBackgroundImageString, classAttribute()}};
    NamedViews<6> _style{{T::sHTMLTAG_FONTSIZE, T::sHTMLTAG_FLOAT, T::sHTMLTAG_DISPLAY, T::sHTMLTAG_VISIBILITY,
                          T::sHTMLTAG_MARGINLEFT, T::sHTMLTAG_BORDERWIDTH}};
    bool _attributesRead = false;
    bool _styleRead = false;

    // States.
    bool _hidden = false;
    bool _inScript = false;
    bool _inApplet = false;
    bool _inIframe = false;
    bool _inCommentElement = false;
    bool _inHead = false;
    bool _inInvisibleSpan = false;
    bool _afterHTML = false;
    bool _tagAfterHTML = false;
    bool _tdBackground = false;
    bool _styleOpenedInHead = false;
    bool _inStyle = false;
    bool _emptyHeadStyle = false;
    bool _lastTagWasEndStyle = false;

    // Counters.
    unsigned long _run = 0;
    unsigned long _textBeforeTag = 0;
    unsigned long _visibleTotal = 0;
    unsigned long _runCount = 0;
    unsigned long _afterHTMLCount = 0;
    unsigned long _unknownTagCount = 0;
    unsigned long _invisibleSpanCount = 0;
    unsigned long _divCount = 0;
    unsigned long _floatLeftCount = 0;
    unsigned long _rightFloatSpanCount = 0;
    unsigned long _zeroMarginFloatCount = 0;
    unsigned long _hiddenTextareaCount = 0;
};

}  // namespace

unsigned long long hexaToUnsignedLongLong(const char* text) {
    if (!text)
        return 0;
    return hexaDigits(text, strnlen(text, 4));
}

void SATextTranslator::clearHTMLTrickFlags() {
    htmlWhiteTrick = false;
    htmlSmallFontTrick = false;
    tooManyWrongHTMLTags = false;
    tooManySpanDisplayNone = false;
    htmlAfter = false;
    floatLeftClearBothTrick = false;
}

SAData* SATextTranslator::simplifiedHTML(SAData* data) { return runBufferForm(simplifiedHTMLBuffer, data); }

SAData* SATextTranslator::simplifiedPseudoHTML(SAData* data) { return runBufferForm(simplifiedPseudoHTMLBuffer, data); }

SAData* SATextTranslator::enrichedToPlain(SAData* data) { return runBufferForm(enrichedToPlainBuffer, data); }

int SATextTranslator::simplifiedHTMLBuffer(const unsigned char* in, unsigned long length, unsigned char** out,
                                           unsigned long* outLength) {
    if (!allocateOutput(in, length, out, outLength))
        return -1;
    HTMLSimplifier simplifier(in, length, *out);
    *outLength = simplifier.run();
    return 0;
}

int SATextTranslator::enrichedToPlainBuffer(const unsigned char* in, unsigned long length, unsigned char** out,
                                            unsigned long* outLength) {
    if (!allocateOutput(in, length, out, outLength))
        return -1;
    Output output{*out, length};
    unsigned long params = 0, nofills = 0, colors = 0, newlines = 0;
    bool hidden = false;

    auto flushNewline = [&] {
        if (newlines == 1)
            output.put(' ');
        newlines = 0;
    };

    unsigned long i = 0;
    while (i < length) {
        const unsigned char c = in[i];
        if (c == '<') {
            // 1. "<<" is a literal "<".
            if (i + 1 < length && in[i + 1] == '<') {
                if (params == 0) {
                    flushNewline();
                    if (!hidden)
                        output.put('<');
                }
                i += 2;
                continue;
            }
            // 2. A command runs to ">"; one never closed ends the conversion.
            const void* close = std::memchr(in + i + 1, '>', length - i - 1);
            if (!close)
                break;
            const unsigned long end = static_cast<const unsigned char*>(close) - in;
            const char* name = reinterpret_cast<const char*>(in + i + 1);
            unsigned long nameLength = end - i - 1;
            if (nameLength > kMaxCommandLength)
                nameLength = kMaxCommandLength;
            flushNewline();
            if (equalsIgnoringCase(name, nameLength, "param"))
                ++params;
            else if (equalsIgnoringCase(name, nameLength, "nofill"))
                ++nofills;
            else if (equalsIgnoringCase(name, nameLength, "color"))
                ++colors;
            else if (equalsIgnoringCase(name, nameLength, "/param"))
                params -= params > 0;
            else if (equalsIgnoringCase(name, nameLength, "/nofill"))
                nofills -= nofills > 0;
            else if (equalsIgnoringCase(name, nameLength, "/color")) {
                colors -= colors > 0;
                hidden = false;
            }
            i = end + 1;
            continue;
        }
        if (params > 0) {
            // 3. Parameter text is skipped; a colour parameter may hide what follows.
            const void* next = std::memchr(in + i, '<', length - i);
            const unsigned long end = next ? static_cast<const unsigned char*>(next) - in : length;
            const char* param = reinterpret_cast<const char*>(in + i);
            const unsigned long paramLength = end - i;
            if (colors > 0) {
                bool white = paramLength >= 5 && equalsIgnoringCase(param, 5, "white");
                if (!white && paramLength == 14) {
                    const unsigned long long r = hexaDigits(param, 4);
                    const unsigned long long g = hexaDigits(param + 5, 4);
                    const unsigned long long b = hexaDigits(param + 10, 4);
                    white = r * r + g * g + b * b >= 10031191876ULL;
                }
                if (white) {
                    enrichedWhiteTrick = true;
                    hidden = true;
                }
            }
            i = end;
            continue;
        }
        // 4. Text: a single line end is a space, each further one a line end.
        if (c == '\n' && nofills == 0) {
            if (++newlines >= 2)
                output.put('\n');
            ++i;
            continue;
        }
        flushNewline();
        if (!hidden)
            output.put(c);
        ++i;
    }
    *outLength = output.length;
    return 0;
}

namespace {

// The double-byte runs of text in a 7-bit ISO-2022 charset, which writes its
// characters with the bytes of ASCII ("<" and ">" among them): ESC "$" (or SO)
// starts one, ESC "(" (or SI) ends it. Such runs hold no tags.
struct ISO2022Shifts {
    bool doubleByte = false;
    void see(const unsigned char* bytes, unsigned long i, unsigned long length) {
        const unsigned char c = bytes[i];
        if (c == 0x1B && i + 1 < length && (bytes[i + 1] == '$' || bytes[i + 1] == '('))
            doubleByte = bytes[i + 1] == '$';
        else if (c == 0x0E || c == 0x0F)
            doubleByte = c == 0x0E;
    }
};

bool hasShifts(const unsigned char* bytes, unsigned long length) {
    return std::memchr(bytes, 0x1B, length) || std::memchr(bytes, 0x0E, length);
}

}  // namespace

bool SATextTranslator::containsPseudoTags(SAData* data) {
    if (!data || !data->bytes())
        return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data->bytes());
    const unsigned long length = data->length();
    const bool shifts = hasShifts(bytes, length);
    ISO2022Shifts state;
    unsigned long count = 0;
    for (unsigned long i = 0; i < length; ++i) {
        if (shifts) {
            state.see(bytes, i, length);
            if (state.doubleByte || bytes[i] != '<')
                continue;
        } else {
            const void* open = std::memchr(bytes + i, '<', length - i);
            if (!open)
                break;
            i = static_cast<const unsigned char*>(open) - bytes;
        }
        unsigned long j = i + 1;
        while (j < length && j - i - 1 <= kMaxPseudoTagLength && isAsciiAlnum(bytes[j]))
            ++j;
        if (j < length && bytes[j] == '>' && j - i - 1 <= kMaxPseudoTagLength && ++count > 10)
            return true;
    }
    return false;
}

int SATextTranslator::simplifiedPseudoHTMLBuffer(const unsigned char* in, unsigned long length, unsigned char** out,
                                                 unsigned long* outLength) {
    if (!allocateOutput(in, length, out, outLength))
        return -1;
    Output output{*out, length};
    const bool shifts = hasShifts(in, length);
    ISO2022Shifts state;
    unsigned long i = 0;
    while (i < length) {
        if (shifts)
            state.see(in, i, length);
        if (in[i] != '<' || state.doubleByte) {
            output.put(in[i++]);
            continue;
        }
        unsigned long j = i + 1;
        while (j < length && isAsciiAlnum(in[j]))
            ++j;
        const unsigned long letters = j - i - 1;
        if (j >= length) {
            // Cut by the end of the data: dropped.
            break;
        }
        if (in[j] == '>' && letters >= 1 && letters <= kMaxPseudoTagLength) {
            // A short pseudo tag: dropped whole.
        } else if (in[j] == '>' && letters > kMaxPseudoTagLength) {
            output.put(in + i, j + 1 - i);
        } else {
            // Not a tag: the "<" goes, the letters and the next byte stay.
            output.put(in + i + 1, j - i);
            if (shifts)
                state.see(in, j, length);
        }
        i = j + 1;
    }
    *outLength = output.length;
    return 0;
}

SAMutableDictionary* SATextTranslator::tagTable() {
    if (!sHTMLTagsDictionary_) {
        auto* table = new SAMutableDictionary(kTagRecordCount);
        for (const TagRecord& record : kTagRecords) {
            SARef<SAString> name = SARef<SAString>::adopt(new SAString(record.name));
            SARef<SANumber> keep = SARef<SANumber>::adopt(new SANumber(record.keep));
            table->setObjectForKey(keep.get(), name.get());
        }
        sHTMLTagsDictionary_ = table;
        PackedTable<bool>& index = tagIndex();
        for (unsigned long slot = 0; slot < table->slotCount(); ++slot) {
            const SADictionaryItem* item = table->itemAtSlot(slot);
            auto* keep = item ? dynamic_cast<SANumber*>(item->value) : nullptr;
            if (keep)
                index.insert(packUpper(item->key->cString(), item->key->length()), keep->boolValue());
        }
    }
    return sHTMLTagsDictionary_;
}

bool SATextTranslator::isHTMLTagKnown(const char* name, unsigned long length, bool* dropOut) {
    tagTable();
    if (!name || length == 0)
        return false;
    if (name[0] == '?') {
        if (dropOut)
            *dropOut = true;
        return true;
    }
    const void* colon = std::memchr(name, ':', length);
    if (colon)
        length = static_cast<const char*>(colon) - name;
    if (length == 0)
        return false;
    if (length > kLongestTagName)
        return false;
    const bool* keep = tagIndex().find(packUpper(name, length));
    if (!keep)
        return false;
    if (dropOut)
        *dropOut = !*keep;
    return true;
}

SAMutableDictionary* SATextTranslator::attributesForHTMLTag(const char* text, int length) {
    auto* attributes = new SAMutableDictionary();
    if (!text || length <= 0)
        return attributes;
    const std::initializer_list<const SAString*> read = {sHTMLTAG_BGCOLOR, sHTMLTAG_COLOR,    sHTMLTAG_TEXT,
                                                         sHTMLTAG_STYLE,   sBackgroundString, sBackgroundImageString};
    forEachAttribute(text, static_cast<unsigned long>(length),
                     [&](const char* name, unsigned long nameLength, const char* value, unsigned long valueLength) {
                         storeBounded(attributes, name, nameLength, value, valueLength, false, true, read);
                     });
    return attributes;
}

SAMutableDictionary* SATextTranslator::attributesForHTMLAttribute(const SAString* style) {
    auto* declarations = new SAMutableDictionary();
    if (!style || !style->cString())
        return declarations;
    const std::initializer_list<const SAString*> read = {sHTMLTAG_FONTSIZE,   sHTMLTAG_FLOAT,
                                                         sHTMLTAG_DISPLAY,    sHTMLTAG_VISIBILITY,
                                                         sHTMLTAG_MARGINLEFT, sHTMLTAG_BORDERWIDTH};
    forEachDeclaration(style->cString(), style->length(),
                       [&](const char* name, unsigned long nameLength, const char* value, unsigned long valueLength) {
                           storeBounded(declarations, name, nameLength, value, valueLength, true, false, read);
                       });
    return declarations;
}

SAColor* SATextTranslator::copyColorAttribute(const SADictionary* attributes) {
    SAString* value = stringValue(attributes, sHTMLTAG_BGCOLOR);
    return value ? new SAColor(value) : nullptr;
}

void SATextTranslator::addColorItemToStack(const SADictionary* attributes, SAString* tag, SAMutableArray* stack) {
    if (!stack)
        return;
    SARef<SAColor> color = SARef<SAColor>::adopt(copyColorAttribute(attributes));
    if (!color) {
        auto* top = dynamic_cast<SADictionary*>(stack->lastObject());
        color = SARef<SAColor>::retained(top ? dynamic_cast<SAColor*>(top->objectForKey(sColorString)) : nullptr);
    }
    if (!color)
        return;
    SARef<SAMutableDictionary> item = SARef<SAMutableDictionary>::adopt(new SAMutableDictionary(3UL));
    item->setObjectForKey(color.get(), sColorString);
    if (tag)
        item->setObjectForKey(tag, sTagString);
    if (SAString* background = stringValue(attributes, sBackgroundString))
        item->setObjectForKey(background, sBackgroundString);
    stack->addObject(item.get());
}
