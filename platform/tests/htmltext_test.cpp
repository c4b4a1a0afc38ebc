// Text of HTML documents as a browser shows them, and documents built to hurt.

#include "platform/HTMLText.h"

#include <gtest/gtest.h>

TEST(HTMLText, documentsAreRenderedAsABrowserShowsThem) {
    struct Case {
        const char* html;
        const char16_t* text;
    };
    const Case cases[] = {
        {"<p>Hello <b>world</b></p><p>next</p>", u"Hello world\nnext"},
        {"one<br>two<br/>three", u"one\ntwo\nthree"},
        {"<html><head><title>T</title><style>p{}</style></head><body>seen<script>hidden()</script></body></html>",
         u"seen"},
        {"a <img src=x.gif> b", u"a \ufffc b"},
        {"caf&eacute; &amp; &lt;tag&gt;", u"caf\u00e9 & <tag>"},
        {"<table><tr><td>x</td><td>y</td></tr></table>", u"x\ty"},
        {"many    spaces\n\nand lines", u"many spaces and lines"},
        {"<pre>keep   this\n  layout</pre>", u"keep   this\n  layout"},
        {"<!-- a comment -->shown", u"shown"},
        {"", u""},
    };
    for (const Case& c : cases) {
        const auto text = platform::html::renderedText(QString::fromUtf8(c.html));
        ASSERT_TRUE(text) << c.html;
        EXPECT_EQ(*text, QString::fromUtf16(c.text)) << c.html;
    }
    // The last document is remembered: another one of the same size, then the
    // first again, each give their own text.
    for (const char* html : {"<b>ab</b>", "<i>cd</i>", "<b>ab</b>", "<b>ab</b>"})
        EXPECT_EQ(platform::html::renderedText(QString::fromLatin1(html)), QString::fromLatin1(html + 3, 2)) << html;
}

TEST(HTMLText, hostileDocumentsAreRenderedSafely) {
    const QString inputs[] = {
        QString("<div>").repeated(100000) + "deep" + QString("</div>").repeated(100000),
        QString(1 << 20, '<'),
        QString("<b><i><u>unclosed <a href='x"),
        QString("<img>").repeated(50000),
        QString("<![CDATA[ x ]]><?pi?><!DOCTYPE html>text"),
    };
    for (const QString& html : inputs) {
        const auto text = platform::html::renderedText(html);
        if (text) {
            EXPECT_LE(text->size(), html.size() + 1);
        }
    }
    const auto images = platform::html::renderedText(QString("<img>").repeated(50000));
    ASSERT_TRUE(images);
    EXPECT_EQ(images->count(QChar(0xFFFC)), 50000);
}
