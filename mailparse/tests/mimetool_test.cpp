// junkward-mime: what it prints for a message file or standard input, and how
// it answers bad options and missing files.

#include <gtest/gtest.h>

#include <string>

#include "mailparse/tests/mimepart_test_support.h"

using namespace mimetest;

namespace {

std::string samplePath(const char* name) {
    const char* source = std::getenv("JUNKWARD_SOURCE_DIR");
    return std::string(source ? source : ".") + "/mailparse/tests/data/" + name;
}

TEST(MimeTool, printsTreePartsLinksAndChecks) {
    std::string out;
    ASSERT_EQ(runProgram(mimeTool(), {samplePath("spam-tricks.eml")}, &out), 0);
    EXPECT_EQ(out.rfind("== Result of parsing: 0\n== Parse tree\n(HEADERS)\n", 0), 0u) << out.substr(0, 200);
    EXPECT_NE(out.find("\"Cheap meds, no prescription %RND_WORD\""), std::string::npos) << "headers in the tree";
    EXPECT_NE(out.find("MIME part 1.1 (depth 1): text/html, type 2, subtype 1, charset -2, transfer encoding base64\n"),
              std::string::npos);
    EXPECT_NE(out.find("  flags: white trick, spam charset, too many invisible spans\n"), std::string::npos);
    EXPECT_NE(out.find("  URL: pharma.example/pills  [Arobaced 0, Backpathed 0, Encoded 1, Redirected 1] original: "
                       "partner.example/r?url=http://pharma.example/pills\n"),
              std::string::npos);
    for (const char* line : {"usesWhiteTrick               yes\n", "usesSmallFontTrick           no\n",
                             "usesSpamCharset              yes\n", "useTextBase64Encoding        yes\n",
                             "hasStrangeHierarchy          yes\n", "containsExoticCharset        no\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line;
}

TEST(MimeTool, readsStandardInputAndOtherLineEnds) {
    std::string fromFile;
    std::string fromInput;
    ASSERT_EQ(runProgram(mimeTool(), {"--no-tree", samplePath("bounce-report.eml")}, &fromFile), 0);
    ASSERT_EQ(runProgram(mimeTool(), {"--no-tree", "-"}, &fromInput, samplePath("bounce-report.eml")), 0);
    EXPECT_EQ(fromFile, fromInput);
    EXPECT_EQ(fromFile.find("== Parse tree"), std::string::npos);
    EXPECT_NE(fromFile.find("MIME part 1.3.1 (depth 2): text/plain"), std::string::npos);

    // A CR LF copy: read with LF line ends it has no body, which the tool points out.
    std::string message = sample("japanese.eml");
    std::string crlf;
    for (char c : message)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    char path[] = "/tmp/jw-mime-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, crlf.data(), crlf.size()), static_cast<ssize_t>(crlf.size()));
    close(fd);
    std::string lf;
    std::string both;
    EXPECT_EQ(runProgram(mimeTool(), {"--no-tree", path}, &lf), 0);
    EXPECT_EQ(runProgram(mimeTool(), {"--no-tree", "--crlf", path}, &both), 0);
    unlink(path);
    EXPECT_NE(lf.find("try --crlf"), std::string::npos);
    EXPECT_NE(both.find("charset 2080"), std::string::npos);
    EXPECT_NE(both.find("containsJapaneseCharset      yes"), std::string::npos);
}

TEST(MimeTool, helpAndErrors) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* output;  // expected start of standard output
    } cases[] = {
        {{"--help"}, 0, "Usage: junkward-mime"},
        {{"-h"}, 0, "Usage: junkward-mime"},
        {{"--bogus"}, 2, ""},
        {{"--cr", "--crlf", "x"}, 2, ""},
        {{"a", "b"}, 2, ""},
        {{"/nonexistent/message.eml"}, 1, ""},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(runProgram(mimeTool(), c.args, &out), c.status) << c.args[0];
        EXPECT_EQ(out.rfind(c.output, 0), 0u) << c.args[0];
    }
}

}  // namespace
