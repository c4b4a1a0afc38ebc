// The verdict header goes on top of the header block and takes every earlier
// one with it; nothing else of the message changes.
#include "cli/VerdictHeader.h"

#include <gtest/gtest.h>

namespace {

using junkwardcli::withHeaders;

const QByteArray kLine = "X-Junkward-Status: Yes, reason=T, version=1";

TEST(VerdictHeader, isAddedOnTopAndEveryOtherByteIsKept) {
    const struct {
        const char* name;
        QByteArray in;
        QByteArray out;
    } cases[] = {
        {"line feeds", "Subject: a\nFrom: b\n\nbody\n", kLine + "\nSubject: a\nFrom: b\n\nbody\n"},
        {"CR LF and no final line end", "Subject: a\r\n\r\nbody\r\nend", kLine + "\r\nSubject: a\r\n\r\nbody\r\nend"},
        {"carriage returns only", "Subject: a\r\rbody\r", kLine + "\rSubject: a\r\rbody\r"},
        {"mbox separator stays first", "From a@b Mon Jan  1 00:00:00 2024\nSubject: a\n\nb\n",
         "From a@b Mon Jan  1 00:00:00 2024\n" + kLine + "\nSubject: a\n\nb\n"},
        {"headers only, no line end", "Subject: a", kLine + "\nSubject: a"},
        {"empty message", "", kLine + "\n"},
        {"forged header with folded lines, any case",
         "Subject: a\nx-junkward-status : No,\n reason=forged\n\tversion=0\nTo: c\n\nX-Junkward-Status: body line\n",
         kLine + "\nSubject: a\nTo: c\n\nX-Junkward-Status: body line\n"},
        {"several forged, one at the end of the block", "X-Junkward-Status: No\nA: 1\nX-JUNKWARD-STATUS: No\n\nb",
         kLine + "\nA: 1\n\nb"},
        {"a longer name is another header", "X-Junkward-Status-Old: 1\nA: 2\n\nb",
         kLine + "\nX-Junkward-Status-Old: 1\nA: 2\n\nb"},
        {"continuation of a kept header stays", "A: 1\n 2\nX-Junkward-Status: No\n\nb", kLine + "\nA: 1\n 2\n\nb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(withHeaders(c.in, {kLine}, {"X-Junkward-Status"}), c.out);
    }
}

TEST(VerdictHeader, valuesAreOneLineOfCommaSeparatedFields) {
    EXPECT_EQ(junkwardcli::verdictValue(true, "INT_TAGS", "5.0.0"), "Yes, reason=INT_TAGS, version=5.0.0");
    EXPECT_EQ(junkwardcli::verdictValue(false, "", "5.0.0"), "No, reason=NONE, version=5.0.0");
    // A plug-in's identifier cannot break the line or add fields.
    EXPECT_EQ(junkwardcli::verdictValue(false, "Evil\r\nBcc: x, y", "5"), "No, reason=Evil__Bcc:_x__y, version=5");
    EXPECT_EQ(junkwardcli::unsureValue("engine-timeout", "5.0.0"), "Unsure, error=engine-timeout, version=5.0.0");
}

}  // namespace
