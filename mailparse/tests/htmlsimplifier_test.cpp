#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "mailparse/SAColor.h"
#include "mailparse/SAData.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SANumber.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"
#include "mailparse/SATextTranslator.h"

namespace {

using T = SATextTranslator;

constexpr unsigned White = 1, Small = 2, Wrong = 4, Spans = 8, After = 16, Layout = 32;

struct Result {
    std::string text;
    unsigned flags = 0;
    bool null = false;
};

SARef<SAData> data(const std::string& bytes) {
    return SARef<SAData>::adopt(new SAData(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), false));
}

SARef<SAString> str(const char* text) { return SARef<SAString>::adopt(new SAString(text)); }

std::string text(SAData* out) { return out->bytes() ? std::string(out->bytes(), out->length()) : std::string(); }

Result html(const std::string& input) {
    T::clearHTMLTrickFlags();
    SARef<SAData> in = data(input);
    SARef<SAData> out = SARef<SAData>::adopt(T::simplifiedHTML(in.get()));
    Result result;
    result.null = !out;
    if (out)
        result.text = text(out.get());
    result.flags = (T::htmlWhiteTrick ? White : 0) | (T::htmlSmallFontTrick ? Small : 0) |
                   (T::tooManyWrongHTMLTags ? Wrong : 0) | (T::tooManySpanDisplayNone ? Spans : 0) |
                   (T::htmlAfter ? After : 0) | (T::floatLeftClearBothTrick ? Layout : 0);
    return result;
}

std::string flagNames(unsigned flags) {
    std::string names;
    const char* all[] = {"white", "small", "wrong", "spans", "after", "layout"};
    for (int i = 0; i < 6; ++i)
        if (flags & (1u << i))
            names += std::string(names.empty() ? "" : "|") + all[i];
    return names.empty() ? "none" : names;
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

struct HTMLCase {
    std::string input;
    std::string output;
    unsigned flags;
};

void expectCases(const std::vector<HTMLCase>& cases) {
    for (const HTMLCase& c : cases) {
        const Result r = html(c.input);
        EXPECT_FALSE(r.null) << c.input;
        EXPECT_EQ(r.text, c.output) << "input: " << c.input;
        EXPECT_EQ(flagNames(r.flags), flagNames(c.flags)) << "input: " << c.input;
    }
}

TEST(SATextTranslatorHTML, keepsTextAndStructureAndDropsPresentation) {
    expectCases({
        {"a <b>bold</b> c", "a bold c", 0},
        {"<blink>x</blink>", "<blink>x</blink>", 0},
        {"<body><style>p{color:red}</style>t</body>", "<body>t</body>", 0},
        {"<td bgcolor=red>x</td>", "<td>x</td>", 0},
        {"<TABLE border=1 bgcolor=x><TR valign=top><TD width=5>x</TD></TR></TABLE>",
         "<TABLE><TR><TD>x</TD></TR></TABLE>", 0},
        {"<th align=left>h</th>", "<th>h</th>", 0},
        {"<html lang=en><body>x</body></html>", "<html lang=en><body>x</body></html>", 0},
        {"<!DOCTYPE html PUBLIC>x", "<!DOCTYPE html PUBLIC>x", 0},
        {"<?xml version=\"1.0\"?>x", "x", 0},
        {"<o:p>x</o:p><st1:place>y</st1:place>", "xy", 0},
        {"<a href=\"http://x\">link</a> <img src=x>", "link ", 0},
        {"a<p>b</p>c", "a\rb c", 0},
        {"a<br>b<br/>c<BR />d<li>e</li>f<ol><ul></ol></ul>g<hr>h", "a b c d e f    g h", 0},
        {"<h1>t</h1><H6>u</h6><h7>v</h7>", " t  u <h7>v</h7>", 0},
        {"a > b", "a > b", 0},
        {"&lt;&#65;&amp;", "&lt;&#65;&amp;", 0},
        {"abc<font color=red", "abc", 0},
        {"<b<i>x", "<b<i>x", 0},
        {"<>x</>", "<>x</>", 0},
        {"<textarea>t</textarea>", "t", 0},
        {"<div>d</div><center>c</center>", "dc", 0},
    });
}

TEST(SATextTranslatorHTML, dropsScriptsFramesAppletsCommentsAndTheHead) {
    expectCases({
        // A head left open ends where the body begins.
        {"<html><head><title>t</title><body>shown</body></html>", "<html><body>shown</body></html>", 0},
        {"a<!-- x > y -->z", "az", 0},
        {"a<!---->z", "az", 0},
        {"a<!-- <font color=white> -->z", "az", 0},
        {"a<!-- never closed > at all", "a", 0},
        {"a<!-- never closed", "a", 0},
        {"a<script type=x>if (a) b();</script>z", "az", 0},
        {"<script>document.write('<p><font color=white>')</script>z", "z", 0},
        {"a<iframe src=x>in<b>z</b></iframe>b", "ab", 0},
        {"a<applet>in<x1></applet>b", "ab", 0},
        {"a<comment>in</comment>b", "ab", 0},
        {"<head><title>T</title><meta name=x><style>s</style></head><body>b</body>", "</head><body>b</body>", 0},
        {"<iframe><x1><x2><x3><x4><x5><x6></iframe>", "", 0},
        {"<head><x1><x2><x3><x4><x5><x6></head>", "</head>", 0},
        {"<script><x1><x2><x3><x4><x5><x6></script>", "", 0},
    });
}

TEST(SATextTranslatorHTML, countsUnknownTags) {
    expectCases({
        {"<x1><x2><x3><x4><x5>", "<x1><x2><x3><x4><x5>", 0},
        {"<x1><x2><x3><x4><x5><x6>", "<x1><x2><x3><x4><x5><x6>", Wrong},
        {"<x1><x2><x3><x4></x5>", "<x1><x2><x3><x4></x5>", Wrong},
        // Image maps and field sets are HTML, not made-up tags.
        {"<map><area></map><map></map><map></map><fieldset></fieldset>", "", 0},
        {"<x1><x2><x3></x4>", "<x1><x2><x3></x4>", 0},
        {"<x1><b><x2><i><x3><u><x4><x5>", "<x1><x2><x3><x4><x5>", 0},
        {"<span style=display:none><x1><x2><x3><x4><x5><x6></span>", "", Wrong},
    });
}

TEST(SATextTranslatorHTML, hidesTextWrittenInTheBackgroundColour) {
    expectCases({
        {"<font color=white>hidden</font>shown", "shown", White},
        {"<font color=\"#FEFEFE\">hidden</font>", "", White},
        // Hidden spacing or punctuation hides no words; a character reference may.
        {"<font color=white>. &nbsp;</font>x", "x", 0},
        {"<font color=white>&#86;</font>x", "x", White},
        {"<font color=black>shown</font>", "shown", 0},
        {"<font color=yellow>y</font>", "", White},
        {"<font color=#C7F21F>light green</font>", "", White},
        {"<font color=#C0C0C0>silver</font>", "silver", 0},
        {"<table><tr><td background-image=x.png><font color=white>x</font></td></tr></table>",
         "<table><tr><td></td></tr></table>", 0},
        // A cell painted by a style-sheet class has a background the simplifier cannot see.
        {"<table><tr><td class=title><font color=white>x</font></td></tr></table>",
         "<table><tr><td>x</td></tr></table>", 0},
        {"<table><tr><td class=title bgcolor=white><font color=white>x</font></td></tr></table>",
         "<table><tr><td></td></tr></table>", White},
        {"<table><tr><td background=x.png><font color=white>x</font></td></tr></table>",
         "<table><tr><td>x</td></tr></table>", 0},
        {"<table bgcolor=black><tr><td><font color=white>x</font></td></tr></table>",
         "<table><tr><td>x</td></tr></table>", 0},
        {"<body bgcolor=#000000><font color=#111111>x</font></body>", "<body></body>", White},
        {"<font color=white>a</font>b", "b", White},
        {"<font color=white>a<font color=black>b", "b", White},
        {"<font color=white>a<td>b", "<td>b", White},
        {"<font color=white>a</td>b", "</td>b", White},
        {"<font color=white><b></b><br></font>", " ", 0},
        {"<font size=7>big</font>", "big", 0},
    });
}

TEST(SATextTranslatorHTML, flagsTinyFonts) {
    expectCases({
        {"<p style=\"font-size:1px\">tiny</p>", "\r ", Small | White},
        {"<p style=\"FONT-SIZE: 0PX\">tiny", "\r", Small | White},
        {"<p style=\"font-size:2px\">x", "\rx", 0},
        {"<font style='font-size:1px'>x</font>y", "y", Small | White},
        {"<font style='font-size:1px' color=black>x</font>y", "y", Small | White},
        {"<span style='font-size:1px'>x</span>", "x", 0},
    });
}

TEST(SATextTranslatorHTML, flagsInvisibleSpans) {
    const std::string span = "<span style=\"display: none\">x</span>";
    expectCases({
        {repeat(span, 10) + "y", "y", 0},
        {repeat(span, 11) + "y", "y", Spans},
        {"<span style='display:block'>x</span>", "x", 0},
    });
}

TEST(SATextTranslatorHTML, flagsTextAfterTheEndOfTheDocument) {
    const std::string thirty(30, 'a');
    expectCases({
        {"<html>x</html>" + thirty + "b", "<html>x</html>", After},
        {"<html>x</html>" + thirty, "<html>x</html>", 0},
        {"<html>x</html>" + thirty + " \r\n\t", "<html>x</html>", 0},
        {"<html>x</html>" + thirty + "b<br>", "<html>x</html> ", 0},
        {"<html>x</html>" + thirty + "b<!-- c -->", "<html>x</html>", After},
        {"</html>a</html>" + thirty, "</html></html>", 0},
    });
}

TEST(SATextTranslatorHTML, flagsFloatingLayouts) {
    const std::string right = "<span style=\"float:right\">r</span>";
    const std::string zeroMargin = "<span style=\"float:right;margin-left:0px\">z</span>";
    const std::string zeroBorder = "<span style=\"float:right;border-width:0px\">z</span>";
    const std::string textarea = "<textarea style=\"visibility:hidden\"></textarea>";
    const std::string longText(40, 'w');
    expectCases({
        {"<div>ab</div><div style=\"float:left\">cd</div>", "abcd", Layout},
        {"<div>ab</div><div>cd</div>", "abcd", 0},
        {"<div style=\"float:left\">ab</div>", "ab", 0},
        {"<div>" + longText + "</div><div style=\"float:left\">" + longText + "</div>", longText + longText, 0},
        {"<div>ab</div><font style=\"float:left\">cd</font><div>", "abcd", Layout},
        {"<div>ab</div><span style=\"float:left\">cd</span><div>", "abcd", Layout},
        {repeat(right, 10), repeat("r", 10), 0},
        {repeat(right, 11), repeat("r", 11), Layout},
        {repeat(zeroMargin, 6), repeat("z", 6), 0},
        {repeat(zeroMargin, 7), repeat("z", 7), Layout},
        {repeat(zeroBorder, 7), repeat("z", 7), Layout},
        {repeat("<span style=\"float:right;margin-left:5px;border-width:0px\">z</span>", 7), repeat("z", 7), 0},
        {repeat(textarea, 10), "", 0},
        {repeat(textarea, 11), "", Layout},
        {"<head><style></style></head><body>text<style>x</style></body>", "</head><body>text</body>", Layout},
        {"<head><style></style></head><body>text<style>x</style><!-- c --></body>", "</head><body>text</body>", Layout},
        {"<head><style>a{}</style></head><body>text<style>x</style></body>", "</head><body>text</body>", 0},
        {"<head><style></style></head><body>text<style>x</style><b></body>", "</head><body>text</body>", 0},
    });
}

TEST(SATextTranslatorHTML, colourStackFollowsTableStructure) {
    expectCases({
        // /TD pops the cell: the next cell inherits the row's black again.
        {"<table bgcolor=black><tr><td bgcolor=white></td><td><font color=white>b</font>", "<table><tr><td></td><td>b",
         0},
        // /TD leaves a TH on top alone.
        {"<table bgcolor=black><tr><th bgcolor=white></td><font color=white>e", "<table><tr><th></td>", White},
        // /TR pops the cells, then the row.
        {"<table bgcolor=black><tr bgcolor=white><td><th></tr><font color=white>c", "<table><tr><td><th></tr>c", 0},
        // /TABLE pops cells and rows, then the table.
        {"<table bgcolor=black><tr><td></table><font color=white>d", "<table><tr><td></table>", White},
        {"<table bgcolor=black><table bgcolor=white></table><font color=white>f", "<table><table></table>f", 0},
        // /BODY pops the body item.
        {"<body bgcolor=black></body><font color=white>x</font>", "<body></body>", White},
        // Stray end tags never remove the white page itself.
        {"</body></body></table></tr></td><font color=white>z", "</body></body></table></tr></td>", White},
        {"<body></body></body><font color=black>z", "<body></body></body>z", 0},
    });
}

TEST(SATextTranslatorHTML, colourStackStaysExactWhenNestedVeryDeep) {
    const int depth = 100000;
    Result r = html(repeat("<td bgcolor=black>", depth) + "<font color=white>x</font>" + repeat("</td>", depth) +
                    "<font color=white>y");
    EXPECT_EQ(r.text, repeat("<td>", depth) + "x" + repeat("</td>", depth));
    EXPECT_EQ(flagNames(r.flags), "white");

    // A row opened deep down is popped with its cells, uncovering the black cells.
    r = html(repeat("<td bgcolor=black>", 300) + "<tr bgcolor=white><td><th></tr><font color=white>v");
    EXPECT_EQ(r.text, repeat("<td>", 300) + "<tr><td><th></tr>v");
    EXPECT_EQ(flagNames(r.flags), "none");
    r = html(repeat("<td bgcolor=black>", 300) + "<td background=x><font color=black>w");
    EXPECT_EQ(r.text, repeat("<td>", 301) + "w");
    r = html(repeat("<td bgcolor=black>", 300) + "<td><font color=white>w");
    EXPECT_EQ(r.text, repeat("<td>", 301) + "w");
}

TEST(SATextTranslatorHTML, survivesHostileInput) {
    const std::string lt(1 << 20, '<');
    Result r = html(lt);
    EXPECT_FALSE(r.null);
    EXPECT_EQ(r.text, "");

    r = html("a<!-- " + repeat("x > y ", 100000));
    EXPECT_EQ(r.text, "a");
    r = html("a<font " + repeat("color=white ", 100000));
    EXPECT_EQ(r.text, "a");
    r = html("a<font " + repeat("x=1 ", 100000) + "color=white>b</font>c");
    EXPECT_EQ(r.text, "ac");
    EXPECT_EQ(flagNames(r.flags), "white");
    r = html(repeat("<span style=\"" + repeat("a:b;", 1000) + "display:none\">", 200) + "z");
    EXPECT_EQ(flagNames(r.flags), "spans");

    std::string withNul("a\0b<b>\0</b>", 11);
    r = html(withNul);
    EXPECT_EQ(r.text, std::string("a\0b\0", 4));
    r = html(std::string("<td\0bgcolor=black>x", 19));
    EXPECT_EQ(r.text, std::string("<td\0bgcolor=black>x", 19));

    r = html("line1\r<p>line2\r<br>line3\r");
    EXPECT_EQ(r.text, "line1\r\rline2\r line3\r");
    r = html(repeat("<div><table>", 50000) + "deep");
    EXPECT_EQ(r.text, repeat("<table>", 50000) + "deep");
}

TEST(SATextTranslatorHTML, nullAndEmptyInputFail) {
    EXPECT_EQ(T::simplifiedHTML(nullptr), nullptr);
    SARef<SAData> empty = SARef<SAData>::adopt(new SAData());
    EXPECT_EQ(T::simplifiedHTML(empty.get()), nullptr);
    EXPECT_EQ(T::enrichedToPlain(empty.get()), nullptr);
    EXPECT_EQ(T::simplifiedPseudoHTML(empty.get()), nullptr);
    unsigned char* out = reinterpret_cast<unsigned char*>(&out);
    unsigned long outLength = 7;
    EXPECT_EQ(T::simplifiedHTMLBuffer(nullptr, 5, &out, &outLength), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outLength, 0u);
    const unsigned char byte = 'x';
    EXPECT_EQ(T::enrichedToPlainBuffer(&byte, 0, &out, &outLength), -1);
    EXPECT_EQ(T::simplifiedPseudoHTMLBuffer(&byte, 1, nullptr, &outLength), -1);

    // Everything dropped is an empty result, not a failure.
    SARef<SAData> tagOnly = data("<b>");
    SARef<SAData> result = SARef<SAData>::adopt(T::simplifiedHTML(tagOnly.get()));
    ASSERT_NE(result.get(), nullptr);
    EXPECT_EQ(result->length(), 0u);
}

TEST(SATextTranslatorHTML, buffersHoldTheirOutputAndTheCallerFreesThem) {
    const std::string input = "<td bgcolor=red>x</td>";
    unsigned char* out = nullptr;
    unsigned long outLength = 0;
    ASSERT_EQ(
        T::simplifiedHTMLBuffer(reinterpret_cast<const unsigned char*>(input.data()), input.size(), &out, &outLength),
        0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), outLength), "<td>x</td>");
    std::free(out);
}

TEST(SATextTranslatorHTML, outputNeverOutgrowsRandomInput) {
    const char alphabet[] = "<>/!-=\"' \n\r\t\0abcdefhilnoprstuwy:;#0123456789";
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> pick(0, sizeof(alphabet) - 2);
    std::uniform_int_distribution<int> size(1, 3000);
    const char* words[] = {"<td bgcolor=",
                           "<font color=",
                           "</td>",
                           "<span style=\"display:none;float:right\">",
                           "</table>",
                           "<!--",
                           "-->",
                           "</html>",
                           "<color><param>",
                           "</param>",
                           "<p style=\"font-size:1px\">",
                           "<script>",
                           "</script>",
                           "<head>",
                           "<style>",
                           "</style>",
                           "</body>",
                           "<nofill>"};
    for (int round = 0; round < 1500; ++round) {
        std::string input;
        const int n = size(random);
        while (static_cast<int>(input.size()) < n) {
            if (random() % 4 == 0)
                input += words[random() % (sizeof(words) / sizeof(words[0]))];
            else
                input += alphabet[pick(random)];
        }
        using Form = int (*)(const unsigned char*, unsigned long, unsigned char**, unsigned long*);
        for (Form form :
             {Form(T::simplifiedHTMLBuffer), Form(T::enrichedToPlainBuffer), Form(T::simplifiedPseudoHTMLBuffer)}) {
            unsigned char* out = nullptr;
            unsigned long outLength = 0;
            ASSERT_EQ(form(reinterpret_cast<const unsigned char*>(input.data()), input.size(), &out, &outLength), 0);
            EXPECT_LE(outLength, input.size());
            std::free(out);
        }
    }
}

// Tag table ---------------------------------------------------------------

TEST(SATextTranslatorTags, tableHoldsThe99NamesWithTheirKeepFlags) {
    const char* names[] = {
        "!DOCTYPE", "![endif]", "![if",     "A",        "ABBR",     "ACRONYM",    "ADDRESS", "APPLET",   "AREA",
        "B",        "BASE",     "BASEFONT", "BDO",      "BIG",      "BLOCKQUOTE", "BODY",    "CENTER",   "CODE",
        "COMMENT",  "DIR",      "DIV",      "FONT",     "BORDER",   "BUTTON",     "CAPTION", "CITE",     "COL",
        "COLGROUP", "DD",       "DEL",      "DFN",      "DL",       "DT",         "EM",      "EMBED",    "FORM",
        "FRAME",    "FRAMESET", "HEAD",     "HTML",     "I",        "IFRAME",     "IMG",     "INS",      "ISINDEX",
        "KBD",      "LAYER",    "ILAYER",   "INPUT",    "LABEL",    "LEGEND",     "LINK",    "MARQUEE",  "MENU",
        "META",     "NOBR",     "NOLAYER",  "NOFRAMES", "NOSCRIPT", "OBJECT",     "O",       "OPTGROUP", "OPTION",
        "OVERLAY",  "PARAM",    "PRE",      "Q",        "S",        "SAMP",       "SCRIPT",  "SELECT",   "SELECTED",
        "SMALL",    "SPAN",     "ST1",      "STRIKE",   "STRONG",   "STYLE",      "SUB",     "SUP",      "TABLE",
        "TBODY",    "TD",       "TEXTAREA", "TFOOT",    "TH",       "THEAD",      "TITLE",   "TR",       "TT",
        "U",        "U1",       "V",        "VAR",      "W",        "X-TAB",      "XML",     "FIELDSET", "MAP"};
    const std::set<std::string> kept = {"!DOCTYPE", "BODY", "HEAD", "HTML", "META", "TABLE", "TD", "TH", "TR"};
    ASSERT_EQ(sizeof(names) / sizeof(names[0]), 99u);
    EXPECT_EQ(T::tagTable()->count(), 99u);
    EXPECT_EQ(T::tagTable(), T::tagTable());
    for (const char* name : names) {
        std::string lower = name;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const std::string& spelling : {std::string(name), lower}) {
            bool drop = !kept.count(name);
            drop = !drop;
            EXPECT_TRUE(T::isHTMLTagKnown(spelling.data(), spelling.size(), &drop)) << spelling;
            EXPECT_EQ(drop, !kept.count(name)) << spelling;
        }
        auto* keep = dynamic_cast<SANumber*>(T::tagTable()->objectForKey(str(name).get(), 0));
        ASSERT_NE(keep, nullptr) << name << " stored as written";
        EXPECT_EQ(keep->boolValue(), kept.count(name) == 1) << name;
    }
}

TEST(SATextTranslatorTags, lookupRules) {
    struct Case {
        std::string name;
        bool known;
        bool drop;  // meaningful when known
    };
    const Case cases[] = {
        {"?xml", true, true},      {"?", true, true},     {"o:p", true, true},  {"td:x", true, false},
        {"st1:place", true, true}, {":td", false, false}, {"", false, false},   {"blink", false, false},
        {"tdx", false, false},     {"P", false, false},   {"BR", false, false}, {"LI", false, false},
        {"OL", false, false},      {"UL", false, false},  {"HR", false, false}, {"H1", false, false},
        {"H6", false, false},
    };
    for (const Case& c : cases) {
        for (bool sentinel : {false, true}) {
            bool drop = sentinel;
            EXPECT_EQ(T::isHTMLTagKnown(c.name.data(), c.name.size(), &drop), c.known) << c.name;
            EXPECT_EQ(drop, c.known ? c.drop : sentinel) << c.name << (c.known ? "" : " leaves the flag alone");
        }
    }
    // Only `length` bytes count, and the caller's buffer is not written.
    char buffer[] = "tdxyz";
    bool drop = true;
    EXPECT_TRUE(T::isHTMLTagKnown(buffer, 2, &drop));
    EXPECT_FALSE(drop);
    char colon[] = "o:p";
    EXPECT_TRUE(T::isHTMLTagKnown(colon, 3, &drop));
    EXPECT_STREQ(colon, "o:p");
    EXPECT_FALSE(T::isHTMLTagKnown(nullptr, 3, &drop));
}

// Attributes and declarations ------------------------------------------------

std::string attribute(SADictionary* attributes, const char* name) {
    auto* value = dynamic_cast<SAString*>(attributes->objectForKey(str(name).get(), SACaseInsensitiveSearch));
    return value ? std::string(value->cString(), value->length()) : std::string("<absent>");
}

SARef<SAMutableDictionary> tagAttributes(const std::string& tag) {
    return SARef<SAMutableDictionary>::adopt(T::attributesForHTMLTag(tag.data(), static_cast<int>(tag.size())));
}

SARef<SAMutableDictionary> declarations(const std::string& style) {
    SARef<SAString> value = SARef<SAString>::adopt(new SAString(style.data(), style.size()));
    return SARef<SAMutableDictionary>::adopt(T::attributesForHTMLAttribute(value.get()));
}

TEST(SATextTranslatorAttributes, parsesTagAttributes) {
    struct Case {
        std::string tag;
        std::vector<std::pair<const char*, const char*>> expected;
    };
    const std::vector<Case> cases = {
        {"td bgcolor=\"red\" width='5' nowrap align=center",
         {{"bgcolor", "red"}, {"WIDTH", "5"}, {"nowrap", ""}, {"align", "center"}, {"td", "<absent>"}}},
        {"font color = \"white\"", {{"color", "white"}}},
        {"font color=\" white \"", {{"color", "white"}}},
        {"font\ncolor=white\r\nsize=1\tface=x", {{"color", "white"}, {"size", "1"}, {"face", "x"}}},
        {"font face=\"it's\" color=white", {{"face", "it"}, {"color", "white"}}},
        {"font color=white COLOR=black color=red", {{"color", "white"}}},
        {"font color=\"white", {{"color", "white"}}},
        {"font =x color=", {{"color", ""}}},
        {"o:p color=red", {{"color", "red"}}},
        {"font", {{"color", "<absent>"}}},
    };
    for (const Case& c : cases) {
        SARef<SAMutableDictionary> attributes = tagAttributes(c.tag);
        for (const auto& [name, value] : c.expected)
            EXPECT_EQ(attribute(attributes.get(), name), value) << c.tag << " / " << name;
    }
    EXPECT_EQ(tagAttributes("font a=1 b=2 A=3")->count(), 2u);
    SARef<SAMutableDictionary> none = SARef<SAMutableDictionary>::adopt(T::attributesForHTMLTag(nullptr, 5));
    EXPECT_EQ(none->count(), 0u);
    EXPECT_EQ(tagAttributes("font")->count(), 0u);
    SARef<SAMutableDictionary> negative = SARef<SAMutableDictionary>::adopt(T::attributesForHTMLTag("font a=1", -3));
    EXPECT_EQ(negative->count(), 0u);
}

TEST(SATextTranslatorAttributes, manyAttributesStayBoundedButTheReadOnesAreKept) {
    std::string tag = "td";
    for (int i = 0; i < 5000; ++i)
        tag += " a" + std::to_string(i) + "=" + std::to_string(i);
    tag += " bgcolor=black background=x style=\"display:none\" color=white";
    SARef<SAMutableDictionary> attributes = tagAttributes(tag);
    EXPECT_LE(attributes->count(), 70u);
    EXPECT_EQ(attribute(attributes.get(), "a0"), "0");
    EXPECT_EQ(attribute(attributes.get(), "bgcolor"), "black");
    EXPECT_EQ(attribute(attributes.get(), "Background"), "x");
    EXPECT_EQ(attribute(attributes.get(), "style"), "display:none");
    EXPECT_EQ(attribute(attributes.get(), "color"), "white");
}

TEST(SATextTranslatorAttributes, parsesStyleDeclarations) {
    struct Case {
        std::string style;
        std::vector<std::pair<const char*, const char*>> expected;
    };
    const std::string longName(300, 'n');
    const std::string keptName(255, 'n');
    const std::vector<Case> cases = {
        {"font-size: 1px; float : left;display:none", {{"font-size", "1px"}, {"FLOAT", "left"}, {"display", "none"}}},
        {"font-size:1px !important", {{"font-size", "1px"}}},
        {"font-family: Times New Roman; color: red", {{"font-family", "Times"}, {"color", "red"}}},
        {"display:block;DISPLAY:none", {{"display", "none"}}},
        {"font-size;float:left", {{"font-size", "<absent>"}, {"float", "left"}}},
        {"font-\nsize:1px", {{"font-size", "1px"}}},
        {"margin-left:0px;;border-width:\t0px\n", {{"margin-left", "0px"}, {"border-width", "0px"}}},
        {longName + ":x", {{keptName.c_str(), "x"}}},
        {":x;y:z", {{"y", "z"}}},
        {"", {{"display", "<absent>"}}},
    };
    for (const Case& c : cases) {
        SARef<SAMutableDictionary> parsed = declarations(c.style);
        for (const auto& [name, value] : c.expected)
            EXPECT_EQ(attribute(parsed.get(), name), value) << c.style << " / " << name;
    }
    SARef<SAMutableDictionary> none = SARef<SAMutableDictionary>::adopt(T::attributesForHTMLAttribute(nullptr));
    EXPECT_EQ(none->count(), 0u);

    std::string many;
    for (int i = 0; i < 5000; ++i)
        many += "p" + std::to_string(i) + ":v;";
    many += "font-size:0px;float:right";
    SARef<SAMutableDictionary> parsed = declarations(many);
    EXPECT_LE(parsed->count(), 70u);
    EXPECT_EQ(attribute(parsed.get(), "font-size"), "0px");
    EXPECT_EQ(attribute(parsed.get(), "float"), "right");
}

// Colour stack ------------------------------------------------------------

TEST(SATextTranslatorColorStack, itemsTakeTheBackgroundColourOrInheritIt) {
    SARef<SAMutableArray> stack = SARef<SAMutableArray>::adopt(new SAMutableArray());
    SARef<SAString> td = str("TD");

    // Nothing to inherit and no BGCOLOR: nothing is pushed.
    T::addColorItemToStack(tagAttributes("td width=3").get(), td.get(), stack.get());
    EXPECT_EQ(stack->count(), 0u);
    T::addColorItemToStack(nullptr, td.get(), stack.get());
    EXPECT_EQ(stack->count(), 0u);

    T::addColorItemToStack(tagAttributes("td BGCOLOR=red").get(), td.get(), stack.get());
    ASSERT_EQ(stack->count(), 1u);
    auto* first = dynamic_cast<SADictionary*>(stack->objectAtIndex(0));
    ASSERT_NE(first, nullptr);
    auto* red = dynamic_cast<SAColor*>(first->objectForKey(T::sColorString));
    ASSERT_NE(red, nullptr);
    EXPECT_FLOAT_EQ(red->red(), 1.0f);
    EXPECT_FLOAT_EQ(red->green(), 0.0f);
    EXPECT_EQ(first->objectForKey(T::sTagString), td.get());
    EXPECT_EQ(first->objectForKey(T::sBackgroundString), nullptr);

    T::addColorItemToStack(tagAttributes("td background=\"img.gif\"").get(), td.get(), stack.get());
    ASSERT_EQ(stack->count(), 2u);
    auto* second = dynamic_cast<SADictionary*>(stack->objectAtIndex(1));
    EXPECT_EQ(second->objectForKey(T::sColorString), red) << "inherits the top colour";
    auto* background = dynamic_cast<SAString*>(second->objectForKey(T::sBackgroundString));
    ASSERT_NE(background, nullptr);
    EXPECT_STREQ(background->cString(), "img.gif");

    T::addColorItemToStack(tagAttributes("td").get(), td.get(), nullptr);
}

TEST(SATextTranslatorColorStack, copyColorAttributeReadsBgcolorOnly) {
    EXPECT_EQ(T::copyColorAttribute(nullptr), nullptr);
    EXPECT_EQ(T::copyColorAttribute(tagAttributes("td color=red").get()), nullptr);
    SARef<SAColor> color = SARef<SAColor>::adopt(T::copyColorAttribute(tagAttributes("td BgColor=\"#0000ff\"").get()));
    ASSERT_NE(color.get(), nullptr);
    EXPECT_FLOAT_EQ(color->blue(), 1.0f);
    EXPECT_FLOAT_EQ(color->red(), 0.0f);
}

// Enriched text -------------------------------------------------------------

struct EnrichedCase {
    std::string input;
    std::string output;
    bool white;
};

TEST(SATextTranslatorEnriched, convertsToPlainTextAndDetectsWhiteText) {
    const std::vector<EnrichedCase> cases = {
        {"<color><param>white</param>text</color> after", " after", true},
        {"<COLOR><PARAM>White</PARAM>text</COLOR>", "", true},
        {"<color><param>FFFF,FFFF,FFFF</param>x</color>", "", true},
        {"<color><param>E1E1,E1E1,E1E1</param>x</color>", "x", false},
        {"<color><param>E1E2,E1E1,E1E1</param>x</color>", "", true},
        {"<color><param>FFFF,FFFF,FFFF,</param>x</color>", "x", false},
        {"<color><param>red</param>x</color>", "x", false},
        {"<fontfamily><param>Times</param>x</fontfamily>", "x", false},
        {"<param>white</param>x", "x", false},
        {"one\ntwo", "one two", false},
        {"one\n\ntwo", "one\ntwo", false},
        {"one\n\n\ntwo", "one\n\ntwo", false},
        {"one\n<bold>two</bold>", "one two", false},
        {"a<<b", "a<b", false},
        {"<bold>x</bold>", "x", false},
        {"<nofill>a\nb</nofill>\nc", "a\nb c", false},
        {"abc<bold", "abc", false},
        {"abc<bold def\nghi", "abc", false},
        {"</param></color><color><param>white</param>x</color>y", "y", true},
        {"</nofill>a\nb", "a b", false},
        {std::string("a\0b", 3), std::string("a\0b", 3), false},
        {"<" + std::string(70, 'c') + ">x", "x", false},
    };
    for (const EnrichedCase& c : cases) {
        T::enrichedWhiteTrick = false;
        SARef<SAData> in = data(c.input);
        SARef<SAData> out = SARef<SAData>::adopt(T::enrichedToPlain(in.get()));
        ASSERT_NE(out.get(), nullptr) << c.input;
        EXPECT_EQ(text(out.get()), c.output) << "input: " << c.input;
        EXPECT_EQ(T::enrichedWhiteTrick, c.white) << "input: " << c.input;
    }
    // The HTML flags are left alone.
    T::clearHTMLTrickFlags();
    SARef<SAData> in = data("<color><param>white</param>x</color>");
    SARef<SAData> out = SARef<SAData>::adopt(T::enrichedToPlain(in.get()));
    EXPECT_FALSE(T::htmlWhiteTrick);
}

TEST(SATextTranslatorEnriched, hexComponentsReadFourBytes) {
    struct Case {
        const char* text;
        unsigned long long value;
    };
    const Case cases[] = {
        {"FFFF", 65535},
        {"e1e1", 57825},
        {"E1E1,", 57825},
        {"12345", 0x1234},
        {"zz", 595},
        {"1-2", 0x12},
        {"1x2", 0x1 * 256 + 33 * 16 + 2},
        {"", 0},
        {"1", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hexaToUnsignedLongLong(c.text), c.value) << c.text;
    EXPECT_EQ(hexaToUnsignedLongLong(nullptr), 0u);
}

TEST(SATextTranslatorEnriched, survivesHostileInput) {
    T::enrichedWhiteTrick = false;
    SARef<SAData> lt = data(std::string(1 << 20, '<'));
    SARef<SAData> out = SARef<SAData>::adopt(T::enrichedToPlain(lt.get()));
    ASSERT_NE(out.get(), nullptr);
    EXPECT_EQ(text(out.get()), std::string(1 << 19, '<'));

    SARef<SAData> params = data(repeat("<param>", 100000) + "x" + repeat("</param>", 100001) + "y");
    out = SARef<SAData>::adopt(T::enrichedToPlain(params.get()));
    EXPECT_EQ(text(out.get()), "y");

    SARef<SAData> crOnly = data("a\rb\r\rc");
    out = SARef<SAData>::adopt(T::enrichedToPlain(crOnly.get()));
    EXPECT_EQ(text(out.get()), "a\rb\r\rc");
}

// Pseudo-HTML ---------------------------------------------------------------

TEST(SATextTranslatorPseudo, containsPseudoTagsNeedsMoreThanTen) {
    struct Case {
        std::string text;
        bool expected;
    };
    const std::vector<Case> cases = {
        {repeat("<b>x", 10), false},
        {repeat("<b>x", 11), true},
        {repeat("<A1>", 11), true},
        {repeat("<>", 11), true},
        {repeat("<abcdefghijklmn>", 11), true},
        {repeat("<abcdefghijklmno>", 11), false},
        {repeat("< b>", 11), false},
        {repeat("<b x>", 11), false},
        {repeat("<b", 11), false},
        {std::string(1 << 20, '<'), false},
        // Japanese in ISO-2022-JP: its double-byte runs are no tags, ASCII between them may be.
        {repeat("\x1b$B<A>\x1b(B ", 11), false},
        {"\x1b$B$\\\x1b(B " + repeat("<b>x", 11), true},
        {repeat("\x0e<A>\x0f", 11), false},
    };
    for (const Case& c : cases) {
        SARef<SAData> in = data(c.text);
        EXPECT_EQ(T::containsPseudoTags(in.get()), c.expected) << c.text.substr(0, 60);
    }
    EXPECT_FALSE(T::containsPseudoTags(nullptr));
}

TEST(SATextTranslatorPseudo, dropsShortBracketedWords) {
    struct Case {
        std::string input;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"a<b>c", "ac"},
        {"Buy <xq7>now</xq7>!", "Buy now/xq7>!"},  // closing tags are not pseudo tags
        {"<abcdefghijklmn>x", "x"},
        {"<abcdefghijklmno>x", "<abcdefghijklmno>x"},
        {"<x y", "x y"},
        {"a<=b", "a=b"},
        // Double-byte ISO-2022-JP runs are copied untouched; the ASCII after them is not.
        {"\x1b$B<A><=\x1b(B<b>x", "\x1b$B<A><=\x1b(Bx"},
        {"<>", ">"},
        {"a<", "a"},
        {"a<bc", "a"},
        {"a < b", "a  b"},
        {std::string("<\0b", 3), std::string("\0b", 2)},
        {std::string(1 << 20, '<'), std::string(1 << 19, '<')},
    };
    for (const Case& c : cases) {
        SARef<SAData> in = data(c.input);
        SARef<SAData> out = SARef<SAData>::adopt(T::simplifiedPseudoHTML(in.get()));
        ASSERT_NE(out.get(), nullptr) << c.input.substr(0, 60);
        EXPECT_EQ(text(out.get()), c.output) << "input: " << c.input.substr(0, 60);
    }
}

}  // namespace

TEST(SATextTranslatorHTML, repeatedAttributesAndDeclarationsFollowTheDictionaryRules) {
    // An attribute counts at its first occurrence (any case), trimmed; a style
    // declaration at its last; names cut at line ends the way the dictionaries
    // of attributesForHTMLTag and attributesForHTMLAttribute read them.
    expectCases({
        {"<font color=white COLOR=black>x</font>", "", White},
        {"<font COLOR=black color=white>x</font>", "x", 0},
        {"<font color=\"  white \">x</font>", "", White},
        {"<font =white color=black>x</font>", "x", 0},
        {"<font colour=white>x</font>", "x", 0},
        {"<p style=\"font-size:1px; FONT-SIZE: 3px\">x", "\rx", 0},
        {"<p style=\"font-size:3px;font-size:0px\">x", "\r", Small | White},
        {"<p style=\"font-\nsize:1px\">x", "\r", Small | White},
        {"<p style=\"font-size :1px extra\">x", "\r", Small | White},
        {"<p STYLE='font-size:1px' style='font-size:9px'>x", "\r", Small | White},
        {"<p style= font-size:1px>x", "\r", Small | White},
        {"<table><tr><td BACKGROUND=\"\"><font color=white>x</font></td></tr></table>",
         "<table><tr><td>x</td></tr></table>", 0},
        {"<table BGCOLOR=black bgcolor=white><tr><td><font color=white>x</font></td></tr></table>",
         "<table><tr><td>x</td></tr></table>", 0},
        {"<table bgcolor=white BGCOLOR=black><tr><td><font color=white>x</font></td></tr></table>",
         "<table><tr><td></td></tr></table>", White},
    });
    // Eleven spans whose display is none only by their last declaration.
    const std::string span = "<span style=\"display:none;display:block\">x</span>";
    const std::string hidden = "<span style=\"display:block; Display:NONE\">x</span>";
    expectCases({
        {repeat(span, 11), repeat("x", 11), 0},
        {repeat(hidden, 11) + "y", "y", Spans},
    });
}

TEST(SATextTranslatorHTML, longTextRunsAreCountedByteForByte) {
    // Runs longer than a scan block, with blanks and line-end bytes at every
    // offset: after </html> only bytes other than blanks and line ends count.
    for (unsigned long pad = 0; pad < 40; ++pad) {
        std::string filler;
        for (unsigned long i = 0; i < pad; ++i)
            filler += " \r\n\t"[i % 4];
        const std::string visible(30, 'v');
        EXPECT_EQ(html("<html>x</html>" + filler + visible + filler).flags, 0u) << pad;
        EXPECT_EQ(html("<html>x</html>" + filler + visible + filler + "w" + filler).flags, After) << pad;
        // Text itself goes across whole, line ends included.
        const Result r = html("<b>" + filler + visible + filler + "</b>");
        EXPECT_EQ(r.text, filler + visible + filler);
    }
}
