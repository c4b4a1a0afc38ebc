#include "cli/MessageSource.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace junkwardcli;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

std::vector<SourceMessage> collect(const QString& path, std::vector<SourceProblem>* problems, bool expand = true) {
    std::vector<SourceMessage> out;
    forEachMessage(path, expand, problems, [&](SourceMessage&& m) { out.push_back(std::move(m)); });
    return out;
}

}  // namespace

TEST(MessageSource, mboxSplitsOnlyAtSeparatorsAfterAnEmptyLine) {
    const QByteArray mbox =
        "From alice@example.org Mon Jan  1 00:00:00 2024\n"
        "Subject: one\n\nbody one\nFrom inside a paragraph is not a separator\n\n"
        "From the desk of the president: neither is this\n\n"
        "From bob@example.org Tue Jan  2 00:00:00 2024\n"
        "Subject: two\n\nbody two\n\n"
        "From carol@example.org Wed Jan  3 00:00:00 2024\r\n"
        "Subject: three\r\n\r\nbody three\r\n\r\n"
        // A sender with a space in it, as some agents write it: the time of day
        // tells it from a line of text.
        "From dave@[10.0.0.1] [x]  Sun Aug  5 09:51:15 2001\n"
        "Subject: four\n\nbody four\n\n"
        "From the desk of the president, Sun Aug  5, a letter\n\n"
        "From erin@[10.0.0.2] (relay) Thu Aug 16 23:05:00 2001\n"
        "Subject: five\n\nbody five\n";
    const std::vector<QByteArray> parts = splitMbox(mbox);
    ASSERT_EQ(parts.size(), 5u);
    EXPECT_TRUE(parts[3].startsWith("From dave@"));
    EXPECT_TRUE(parts[3].contains("From the desk of the president, Sun"));
    EXPECT_TRUE(parts[4].startsWith("From erin@"));
    EXPECT_TRUE(parts[0].startsWith("From alice@"));
    EXPECT_TRUE(parts[0].contains("From inside a paragraph"));
    EXPECT_TRUE(parts[0].contains("From the desk"));
    EXPECT_TRUE(parts[1].startsWith("From bob@"));
    EXPECT_TRUE(parts[2].startsWith("From carol@"));
    EXPECT_TRUE(parts[2].endsWith("body three\r\n\r\n"));
}

TEST(MessageSource, recognisesMessagesAndMboxes) {
    struct Case {
        QByteArray bytes;
        bool message;
        bool mbox;
    };
    const Case cases[] = {
        {"Subject: hi\n\nx", true, false},
        {"X-Header:value", true, false},
        {"From someone Mon\nSubject: x\n", true, true},
        {"From: someone\n", true, false},
        {": no name\n", false, false},
        {"just some text\n", false, false},
        {QByteArray("\x00\x01\x02garbage", 10), false, false},
        {"", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(looksLikeMessage(c.bytes), c.message) << c.bytes.constData();
        EXPECT_EQ(looksLikeMbox(c.bytes), c.mbox) << c.bytes.constData();
    }
}

TEST(MessageSource, foldersYieldTheirMessagesAndReportTheRest) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A Maildir: new/ then cur/, tmp/ ignored.
    QDir root(dir.path());
    root.mkpath("maildir/new");
    root.mkpath("maildir/cur");
    root.mkpath("maildir/tmp");
    writeFile(dir.filePath("maildir/new/1"), "Subject: new one\n\nx\n");
    writeFile(dir.filePath("maildir/cur/2:2,S"), "Subject: seen one\n\nx\n");
    writeFile(dir.filePath("maildir/tmp/3"), "Subject: being delivered\n\nx\n");
    std::vector<SourceProblem> problems;
    std::vector<SourceMessage> got = collect(dir.filePath("maildir"), &problems);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].bytes.contains("new one"));
    EXPECT_TRUE(got[1].bytes.contains("seen one"));
    EXPECT_TRUE(problems.empty());

    // A plain folder with a message, a non-message, an empty file and an mbox.
    root.mkpath("plain");
    writeFile(dir.filePath("plain/a.eml"), "Subject: a\n\nx\n");
    writeFile(dir.filePath("plain/b.txt"), "shopping list\nmilk\n");
    writeFile(dir.filePath("plain/c.eml"), "");
    writeFile(
        dir.filePath("plain/d.mbox"),
        "From x Mon Jan  1 00:00:00 2024\nSubject: d1\n\n1\n\nFrom y Tue Jan  2 00:00:00 2024\nSubject: d2\n\n2\n");
    problems.clear();
    got = collect(dir.filePath("plain"), &problems);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].origin, dir.filePath("plain/d.mbox") + "#1");
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_TRUE(problems[0].text.contains("not a mail message"));
    EXPECT_TRUE(problems[1].text.contains("empty"));

    // A folder of nothing but non-messages says so.
    root.mkpath("junk");
    writeFile(dir.filePath("junk/x"), "hello\n");
    problems.clear();
    EXPECT_TRUE(collect(dir.filePath("junk"), &problems).empty());
    EXPECT_EQ(problems.size(), 1u);
}

TEST(MessageSource, missingPathsFoldersWithoutExpansionAndBrokenSeparatorsAreReported) {
    QTemporaryDir dir;
    std::vector<SourceProblem> problems;
    EXPECT_FALSE(forEachMessage(dir.filePath("absent"), true, &problems, [](SourceMessage&&) {}));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_TRUE(problems[0].text.contains("does not exist"));

    problems.clear();
    EXPECT_FALSE(forEachMessage(dir.path(), false, &problems, [](SourceMessage&&) {}));
    EXPECT_TRUE(problems[0].text.contains("folder"));

    // A first line that opens like a separator but is none is reported; a
    // message opening with its From: header is not.
    for (const char* first : {"Fromnobody\n", "From nobody at all\n", "From \n"}) {
        SCOPED_TRACE(first);
        writeFile(dir.filePath("broken"), QByteArray(first) + "Subject: x\n\nbody\n");
        problems.clear();
        const std::vector<SourceMessage> got = collect(dir.filePath("broken"), &problems);
        ASSERT_EQ(got.size(), 1u);
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_TRUE(problems[0].text.contains("broken mbox separator"));
    }
    for (const char* first :
         {"From:nobody\n", "From: Ann <ann@example.org>\n", "From ann@example.org Sat Mar 15 12:00:00 2008\n"}) {
        SCOPED_TRACE(first);
        writeFile(dir.filePath("fine"), QByteArray(first) + "Subject: x\n\nbody\n");
        problems.clear();
        EXPECT_EQ(collect(dir.filePath("fine"), &problems).size(), 1u);
        EXPECT_TRUE(problems.empty());
    }
}
