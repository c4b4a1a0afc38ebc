#include <gtest/gtest.h>

#include <cstdio>
#include <cctype>
#include <string>

#include "mailparse/SAColor.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"

namespace {

SARef<SAString> str(const char* text) { return SARef<SAString>::adopt(new SAString(text)); }

SARef<SAColor> parse(const char* text) {
    SARef<SAString> value = str(text);
    return SARef<SAColor>::adopt(new SAColor(value.get()));
}

void expectComponents(const SAColor& color, unsigned red, unsigned green, unsigned blue, const std::string& what) {
    EXPECT_FLOAT_EQ(color.red(), red / 255.0f) << what;
    EXPECT_FLOAT_EQ(color.green(), green / 255.0f) << what;
    EXPECT_FLOAT_EQ(color.blue(), blue / 255.0f) << what;
}

struct Named {
    const char* name;
    unsigned long rgb;
};

// The published HTML colour table (140 names, "Lightgrey" the only grey).
const Named kPublished[] = {
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
    {"Mediumpurple", 0x9370DB},
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
    {"Olivedrab", 0x6B8E23},
    {"Orange", 0xFFA500},
    {"Orangered", 0xFF4500},
    {"Orchid", 0xDA70D6},
    {"Palegoldenrod", 0xEEE8AA},
    {"Palegreen", 0x98FB98},
    {"Paleturquoise", 0xAFEEEE},
    {"Palevioletred", 0xDB7093},
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

// Where the stored table departs from the published one.
unsigned long storedValue(const Named& entry) {
    const std::string name = entry.name;
    if (name == "Mediumpurple")
        return 0x9370D8;
    if (name == "Olivedrab")
        return 0x688E23;
    if (name == "Palevioletred")
        return 0xD87093;
    return entry.rgb;
}

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST(SAColor, everyNamedColourParsesInAnyCaseWithItsStoredValue) {
    ASSERT_EQ(sizeof(kPublished) / sizeof(kPublished[0]), 140u);
    for (const Named& entry : kPublished) {
        const unsigned long rgb = storedValue(entry);
        const unsigned r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
        for (const std::string& spelling :
             {std::string(entry.name), upper(entry.name), " \t" + upper(entry.name) + "\r\n"}) {
            SARef<SAColor> color = parse(spelling.c_str());
            expectComponents(*color.get(), r, g, b, "\"" + spelling + "\"");
        }
    }
}

TEST(SAColor, namedTableHoldsExactly140NamesStoredCapitalisedWithTwoInLowerCase) {
    SAMutableDictionary* table = SAColor::namedColors();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->count(), 140u);
    EXPECT_EQ(SAColor::namedColors(), table) << "built once";
    for (const Named& entry : kPublished) {
        std::string stored = entry.name;
        EXPECT_NE(table->objectForKey(str(stored.c_str()).get(), 0), nullptr) << stored << " stored as written";
    }
    EXPECT_NE(table->objectForKey(str("navajowhite").get(), 0), nullptr);
    EXPECT_NE(table->objectForKey(str("yellowgreen").get(), 0), nullptr);
    EXPECT_EQ(table->objectForKey(str("Navajowhite").get(), 0), nullptr);
    for (const char* absent : {"Grey", "Darkgrey", "Lightgray", "Rebeccapurple", "Transparent"})
        EXPECT_EQ(table->objectForKey(str(absent).get(), SACaseInsensitiveSearch), nullptr) << absent;
}

TEST(SAColor, hexadecimalValuesParseTwoBytesPerComponent) {
    struct Case {
        const char* text;
        unsigned red, green, blue;
    };
    const Case cases[] = {
        {"#FF0000", 255, 0, 0},
        {"ff0000", 255, 0, 0},
        {"#ffffff", 255, 255, 255},
        {"#F00", 240, 0, 0},  // short form not expanded
        {"#1", 1, 0, 0},      // a single digit
        {"#", 0, 0, 0},
        {"", 0, 0, 0},
        {"#GG0000", 16, 0, 0},       // G counts 16: (16 * 16 + 16) & 0xFF
        {"#zz0000", 83, 0, 0},       // z counts 35: (35 * 16 + 35) & 0xFF
        {"#F.F.F.", 240, 240, 240},  // other bytes count nothing but use their place
        {"#123456789", 0x12, 0x34, 0x56},
        {"grass", 27, 188, 28},  // an unknown name reads as digits
        {"#red", 190, 13, 0},    // "#" means hexadecimal, never a name
        {"rgb(255,0,0)", 192, 176, 37},
    };
    for (const Case& c : cases) {
        SARef<SAColor> color = parse(c.text);
        expectComponents(*color.get(), c.red, c.green, c.blue, c.text);
    }
    SARef<SAString> withNul = SARef<SAString>::adopt(new SAString("#F\0F0FF", 7));
    SARef<SAColor> color = SARef<SAColor>::adopt(new SAColor(withNul.get()));
    expectComponents(*color.get(), 0xF0, 0xF0, 0xFF, "NUL inside the value");
    SARef<SAColor> none = SARef<SAColor>::adopt(new SAColor(static_cast<const SAString*>(nullptr)));
    expectComponents(*none.get(), 0, 0, 0, "null value");
}

TEST(SAColor, constructorsAndFactories) {
    SAColor packed(0x66CDAAUL);
    expectComponents(packed, 0x66, 0xCD, 0xAA, "packed");
    SAColor black;
    expectComponents(black, 0, 0, 0, "default");
    SARef<SAColor> white = SARef<SAColor>::adopt(SAColor::whiteColor());
    SARef<SAColor> otherWhite = SARef<SAColor>::adopt(SAColor::whiteColor());
    EXPECT_NE(white.get(), otherWhite.get()) << "each call gives a new colour";
    EXPECT_EQ(white->retainCount(), 1);
    expectComponents(*white.get(), 255, 255, 255, "white");
    SARef<SAColor> blackFactory = SARef<SAColor>::adopt(SAColor::blackColor());
    expectComponents(*blackFactory.get(), 0, 0, 0, "black");
    expectComponents(*parse("Mediumpurple").get(), 147, 112, 216, "Mediumpurple");
}

TEST(SAColor, luminosityIsTheMeanOfLargestAndSmallestComponent) {
    EXPECT_FLOAT_EQ(SAColor(1, 0, 0).luminosity(), 0.5f);
    EXPECT_FLOAT_EQ(SAColor(1, 1, 1).luminosity(), 1.0f);
    EXPECT_FLOAT_EQ(SAColor(0, 0, 0).luminosity(), 0.0f);
    EXPECT_FLOAT_EQ(SAColor(0.2f, 0.9f, 0.4f).luminosity(), 0.55f);
    // No weighting: pure blue is as light as pure yellow's darkest.
    EXPECT_FLOAT_EQ(SAColor(0, 0, 1).luminosity(), SAColor(1, 1, 0).luminosity());
}

TEST(SAColor, colourClasses) {
    struct Case {
        float red, green, blue;
        bool white, yellow, lightGreen;
    };
    const Case cases[] = {
        {1, 1, 1, true, true, false},
        {0.995f, 1, 1, true, true, false},
        {0.99f, 1, 1, false, true, false},
        {1, 1, 0.99f, false, true, false},
        {1, 1, 0, false, true, false},
        {0.91f, 0.91f, 0.5f, false, true, false},
        {0.9f, 1, 0, false, false, false},
        {0.78f, 0.95f, 0.12f, false, false, true},
        {0.81f, 0.95f, 0.12f, false, false, false},
        {0.74f, 0.95f, 0.12f, false, false, false},
        {0.78f, 0.9f, 0.12f, false, false, false},
        {0.78f, 0.95f, 0.09f, false, false, false},
        {0.78f, 0.95f, 0.16f, false, false, false},
        {0, 0, 0, false, false, false},
    };
    for (const Case& c : cases) {
        SAColor color(c.red, c.green, c.blue);
        const std::string what = std::to_string(c.red) + "," + std::to_string(c.green) + "," + std::to_string(c.blue);
        EXPECT_EQ(color.isWhiteColor(), c.white) << what;
        EXPECT_EQ(color.isYellowColor(), c.yellow) << what;
        EXPECT_EQ(color.isLightGreenColor(), c.lightGreen) << what;
    }
    EXPECT_TRUE(parse("yellow")->isYellowColor());
    EXPECT_FALSE(parse("yellow")->isWhiteColor());
    EXPECT_TRUE(parse("  White ")->isWhiteColor());
}

TEST(SAColor, descriptionPrintsTheThreeComponents) {
    SARef<SAColor> color = SARef<SAColor>::adopt(new SAColor(1.0f, 0.5f, 0.0f));
    testing::internal::CaptureStdout();
    color->description();
    const std::string printed = testing::internal::GetCapturedStdout();
    char head[64];
    std::snprintf(head, sizeof head, "<(SAColor *) %p [1]>\n", static_cast<void*>(color.get()));
    EXPECT_EQ(printed, std::string(head) + "{\nred: 1.000000 ; green: 0.500000 ; blue: 0.000000\n}\n");
}

TEST(SAColor, classIdentity) {
    SARef<SAColor> color = SARef<SAColor>::adopt(new SAColor());
    EXPECT_STREQ(color->stringFromClass(), "SAColor");
    EXPECT_STREQ(GETNAMESAColor(), "SAColor");
    EXPECT_STREQ(color->classID(), GETIDSAColor());
    EXPECT_TRUE(color->isKindOfClass(GETIDSAColor()));
    EXPECT_TRUE(color->isKindOfClass(GETIDSAObject()));
    EXPECT_FALSE(color->isKindOfClass(GETIDSAString()));
    EXPECT_FALSE(color->isKindOfClass(nullptr));
}

}  // namespace
