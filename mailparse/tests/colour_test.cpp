#include <gtest/gtest.h>

#include <cstdio>
#include <cctype>
#include <map>
#include <string>
#include <vector>

#include <QColor>

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

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The stored names, as the library's table holds them.
std::vector<std::string> storedNames() {
    std::vector<std::string> names;
    SAMutableDictionary* table = SAColor::namedColors();
    for (unsigned long slot = 0; table && slot < table->slotCount(); ++slot)
        if (const SADictionaryItem* item = table->itemAtSlot(slot))
            names.emplace_back(item->key->cString(), item->key->length());
    return names;
}

// Qt's table of the CSS colour names is the published one; the stored table
// departs from it in three values.
TEST(SAColor, everyNamedColourParsesInAnyCaseWithItsStoredValue) {
    const std::map<std::string, unsigned long> departures{
        {"Mediumpurple", 0x9370D8}, {"Olivedrab", 0x688E23}, {"Palevioletred", 0xD87093}};
    const std::vector<std::string> names = storedNames();
    ASSERT_EQ(names.size(), 140u);
    for (const std::string& name : names) {
        const QColor published(QString::fromStdString(name));
        ASSERT_TRUE(published.isValid()) << name << " is no published colour name";
        const auto found = departures.find(name);
        const unsigned long rgb = found != departures.end() ? found->second : (published.rgb() & 0xFFFFFF);
        const unsigned r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
        for (const std::string& spelling : {name, upper(name), " \t" + upper(name) + "\r\n"}) {
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
    for (const std::string& name : storedNames()) {
        const bool lowerCase = name == "navajowhite" || name == "yellowgreen";
        EXPECT_EQ(std::isupper(static_cast<unsigned char>(name[0])) != 0, !lowerCase) << name;
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
