#include "mailparse/SAColor.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "mailparse/SAClassIdentity_p.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"

SA_DEFINE_CLASS_IDENTITY(SAColor, SAObject)

SAMutableDictionary* SAColor::sNamedColorsDictionary_ = nullptr;

namespace {

struct NamedColor {
    const char* name;
    unsigned long rgb;
};

// The HTML named colours as this library has always stored them: capitalised
// (two in lower case), with three values that differ from the usual table
// (Mediumpurple, Olivedrab, Palevioletred).
constexpr NamedColor kNamedColors[] = {
    {"Aliceblue", 0xF0F8FF},
    {"Antiquewhite", 0xFAEBD7},
    {"Aqua", 0x00FFFF},
    {"Aquamarine", 0x7FFFD4},
    {"Azure", 0xF0FFFF},
    {"Beige", 0xF5F5DC},
    {"Bisque", 0xFFE4C4},
    {"Black", 0x000000},
    {"Blanchedalmond", 0xFFEBCD},
    {"Blue", 0x0000FF},
    {"Blueviolet", 0x8A2BE2},
    {"Brown", 0xA52A2A},
    {"Burlywood", 0xDEB887},
    {"Cadetblue", 0x5F9EA0},
    {"Chartreuse", 0x7FFF00},
    {"Chocolate", 0xD2691E},
    {"Coral", 0xFF7F50},
    {"Cornflowerblue", 0x6495ED},
    {"Cornsilk", 0xFFF8DC},
    {"Crimson", 0xDC143C},
    {"Cyan", 0x00FFFF},
    {"Darkblue", 0x00008B},
    {"Darkcyan", 0x008B8B},
    {"Darkgoldenrod", 0xB8860B},
    {"Darkgray", 0xA9A9A9},
    {"Darkgreen", 0x006400},
    {"Darkkhaki", 0xBDB76B},
    {"Darkmagenta", 0x8B008B},
    {"Darkolivegreen", 0x556B2F},
    {"Darkorange", 0xFF8C00},
    {"Darkorchid", 0x9932CC},
    {"Darkred", 0x8B0000},
    {"Darksalmon", 0xE9967A},
    {"Darkseagreen", 0x8FBC8F},
    {"Darkslateblue", 0x483D8B},
    {"Darkslategray", 0x2F4F4F},
    {"Darkturquoise", 0x00CED1},
    {"Darkviolet", 0x9400D3},
    {"Deeppink", 0xFF1493},
    {"Deepskyblue", 0x00BFFF},
    {"Dimgray", 0x696969},
    {"Dodgerblue", 0x1E90FF},
    {"Firebrick", 0xB22222},
    {"Floralwhite", 0xFFFAF0},
    {"Forestgreen", 0x228B22},
    {"Fuchsia", 0xFF00FF},
    {"Gainsboro", 0xDCDCDC},
    {"Ghostwhite", 0xF8F8FF},
    {"Gold", 0xFFD700},
    {"Goldenrod", 0xDAA520},
    {"Gray", 0x808080},
    {"Green", 0x008000},
    {"Greenyellow", 0xADFF2F},
    {"Honeydew", 0xF0FFF0},
    {"Hotpink", 0xFF69B4},
    {"Indianred", 0xCD5C5C},
    {"Indigo", 0x4B0082},
    {"Ivory", 0xFFFFF0},
    {"Khaki", 0xF0E68C},
    {"Lavender", 0xE6E6FA},
    {"Lavenderblush", 0xFFF0F5},
    {"Lawngreen", 0x7CFC00},
    {"Lemonchiffon", 0xFFFACD},
    {"Lightblue", 0xADD8E6},
    {"Lightcoral", 0xF08080},
    {"Lightcyan", 0xE0FFFF},
    {"Lightgoldenrodyellow", 0xFAFAD2},
    {"Lightgreen", 0x90EE90},
    {"Lightgrey", 0xD3D3D3},
    {"Lightpink", 0xFFB6C1},
    {"Lightsalmon", 0xFFA07A},
    {"Lightseagreen", 0x20B2AA},
    {"Lightskyblue", 0x87CEFA},
    {"Lightslategray", 0x778899},
    {"Lightsteelblue", 0xB0C4DE},
    {"Lightyellow", 0xFFFFE0},
    {"Lime", 0x00FF00},
    {"Limegreen", 0x32CD32},
    {"Linen", 0xFAF0E6},
    {"Magenta", 0xFF00FF},
    {"Maroon", 0x800000},
    {"Mediumaquamarine", 0x66CDAA},
    {"Mediumblue", 0x0000CD},
    {"Mediumorchid", 0xBA55D3},
    {"Mediumpurple", 0x9370D8},
    {"Mediumseagreen", 0x3CB371},
    {"Mediumslateblue", 0x7B68EE},
    {"Mediumspringgreen", 0x00FA9A},
    {"Mediumturquoise", 0x48D1CC},
    {"Mediumvioletred", 0xC71585},
    {"Midnightblue", 0x191970},
    {"Mintcream", 0xF5FFFA},
    {"Mistyrose", 0xFFE4E1},
    {"Moccasin", 0xFFE4B5},
    {"navajowhite", 0xFFDEAD},
    {"Navy", 0x000080},
    {"Oldlace", 0xFDF5E6},
    {"Olive", 0x808000},
    {"Olivedrab", 0x688E23},
    {"Orange", 0xFFA500},
    {"Orangered", 0xFF4500},
    {"Orchid", 0xDA70D6},
    {"Palegoldenrod", 0xEEE8AA},
    {"Palegreen", 0x98FB98},
    {"Paleturquoise", 0xAFEEEE},
    {"Palevioletred", 0xD87093},
    {"Papayawhip", 0xFFEFD5},
    {"Peachpuff", 0xFFDAB9},
    {"Peru", 0xCD853F},
    {"Pink", 0xFFC0CB},
    {"Plum", 0xDDA0DD},
    {"Powderblue", 0xB0E0E6},
    {"Purple", 0x800080},
    {"Red", 0xFF0000},
    {"Rosybrown", 0xBC8F8F},
    {"Royalblue", 0x4169E1},
    {"Saddlebrown", 0x8B4513},
    {"Salmon", 0xFA8072},
    {"Sandybrown", 0xF4A460},
    {"Seagreen", 0x2E8B57},
    {"Seashell", 0xFFF5EE},
    {"Sienna", 0xA0522D},
    {"Silver", 0xC0C0C0},
    {"Skyblue", 0x87CEEB},
    {"Slateblue", 0x6A5ACD},
    {"Slategray", 0x708090},
    {"Snow", 0xFFFAFA},
    {"Springgreen", 0x00FF7F},
    {"Steelblue", 0x4682B4},
    {"Tan", 0xD2B48C},
    {"Teal", 0x008080},
    {"Thistle", 0xD8BFD8},
    {"Tomato", 0xFF6347},
    {"Turquoise", 0x40E0D0},
    {"Violet", 0xEE82EE},
    {"Wheat", 0xF5DEB3},
    {"White", 0xFFFFFF},
    {"Whitesmoke", 0xF5F5F5},
    {"Yellow", 0xFFFF00},
    {"yellowgreen", 0x9ACD32},
};

constexpr unsigned long kNamedColorCount = sizeof(kNamedColors) / sizeof(kNamedColors[0]);
static_assert(kNamedColorCount == 140);

// A byte of a hexadecimal colour value as a digit: letters beyond F give values
// beyond 15, other bytes give 0.
unsigned int colorDigit(unsigned char byte) {
    if (byte >= '0' && byte <= '9')
        return byte - '0';
    if (byte >= 'A' && byte <= 'Z')
        return byte - 55;
    if (byte >= 'a' && byte <= 'z')
        return byte - 87;
    return 0;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr unsigned long kLongestName = 20;

struct IndexEntry {
    std::string upperName;
    const SAColor* color;
};

// The table's names in upper case, sorted, for lookups that ignore case
// without walking all 140 items. Built with the table; it points into it.
std::vector<IndexEntry>& colorIndex() {
    static std::vector<IndexEntry> index;
    return index;
}

std::string upper(const char* bytes, unsigned long length) {
    std::string out(bytes, length);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return out;
}

}  // namespace

const SAColor* SAColor::findNamedColor(const char* name, unsigned long length) {
    namedColors();
    if (length == 0 || length > kLongestName)
        return nullptr;
    const std::string key = upper(name, length);
    const std::vector<IndexEntry>& index = colorIndex();
    auto found = std::lower_bound(index.begin(), index.end(), key,
                                  [](const IndexEntry& entry, const std::string& k) { return entry.upperName < k; });
    return found != index.end() && found->upperName == key ? found->color : nullptr;
}

SAColor::SAColor() : _red(0), _green(0), _blue(0) {}

SAColor::SAColor(float red, float green, float blue) : _red(red), _green(green), _blue(blue) {}

SAColor::SAColor(unsigned long rgb)
    : _red(static_cast<float>((rgb >> 16) & 0xFF) / 255.0f),
      _green(static_cast<float>((rgb >> 8) & 0xFF) / 255.0f),
      _blue(static_cast<float>(rgb & 0xFF) / 255.0f) {}

SAColor::SAColor(const SAString* value)
    : SAColor(value ? value->cString() : nullptr, value && value->cString() ? value->length() : 0) {}

SAColor::SAColor(const char* bytes, unsigned long length) : _red(0), _green(0), _blue(0) {
    if (!bytes || length == 0)
        return;

    // A value that does not start with "#" may be a colour name (surrounding
    // blanks trimmed, case ignored).
    if (bytes[0] != '#') {
        unsigned long first = 0, last = length;
        while (first < last && isBlank(bytes[first]))
            ++first;
        while (last > first && isBlank(bytes[last - 1]))
            --last;
        if (const SAColor* named = findNamedColor(bytes + first, last - first)) {
            _red = named->_red;
            _green = named->_green;
            _blue = named->_blue;
            return;
        }
    }

    // Otherwise two bytes per component, red, green, blue, from the untrimmed value.
    unsigned long position = bytes[0] == '#' ? 1 : 0;
    float* components[3] = {&_red, &_green, &_blue};
    for (float* component : components) {
        unsigned int accumulated = 0;
        for (int digit = 0; digit < 2 && position < length; ++digit, ++position)
            accumulated = accumulated * 16 + colorDigit(static_cast<unsigned char>(bytes[position]));
        *component = static_cast<float>(accumulated & 0xFF) / 255.0f;
    }
}

void SAColor::description() {
    printHeader();
    std::printf("\n{\nred: %f ; green: %f ; blue: %f\n}\n", _red, _green, _blue);
}

SAColor* SAColor::whiteColor() { return new SAColor(1.0f, 1.0f, 1.0f); }

SAColor* SAColor::blackColor() { return new SAColor(0.0f, 0.0f, 0.0f); }

float SAColor::luminosity() const {
    const float largest = std::max({_red, _green, _blue});
    const float smallest = std::min({_red, _green, _blue});
    return (largest + smallest) / 2.0f;
}

bool SAColor::isWhiteColor() const { return _red > 0.99f && _green > 0.99f && _blue > 0.99f; }

bool SAColor::isYellowColor() const { return _red > 0.9f && _green > 0.9f; }

bool SAColor::isLightGreenColor() const {
    return _red > 0.74f && _red < 0.81f && _green > 0.9f && _blue > 0.09f && _blue < 0.16f;
}

SAMutableDictionary* SAColor::namedColors() {
    if (!sNamedColorsDictionary_) {
        auto* table = new SAMutableDictionary(kNamedColorCount);
        for (const NamedColor& entry : kNamedColors) {
            SARef<SAString> name = SARef<SAString>::adopt(new SAString(entry.name));
            SARef<SAColor> color = SARef<SAColor>::adopt(new SAColor(entry.rgb));
            table->setObjectForKey(color.get(), name.get());
        }
        sNamedColorsDictionary_ = table;
        std::vector<IndexEntry>& index = colorIndex();
        for (unsigned long slot = 0; slot < table->slotCount(); ++slot) {
            const SADictionaryItem* item = table->itemAtSlot(slot);
            if (item && item->key->length() <= kLongestName)
                index.push_back(
                    {upper(item->key->cString(), item->key->length()), dynamic_cast<SAColor*>(item->value)});
        }
        std::sort(index.begin(), index.end(),
                  [](const IndexEntry& a, const IndexEntry& b) { return a.upperName < b.upperName; });
    }
    return sNamedColorsDictionary_;
}
