// Folded header values: a line end followed by blanks joins the lines, with
// one space or none; every other byte is kept as it is.
#include <gtest/gtest.h>

#include <string>

#include "mailparse/tests/mimepart_test_support.h"

using mimetest::text;

namespace {

TEST(Unfold, LineEndsFollowedByBlanksAreJoined) {
    struct Case {
        std::string in, kept, dropped;
    };
    const Case cases[] = {
        {"", "", ""},
        {"plain", "plain", "plain"},
        {"\n b", " b", "b"},
        {"a\n b\n\tc", "a b c", "abc"},
        {"a\n\n b", "a\n b", "a\nb"},
        {"a\n", "a\n", "a\n"},
        {"a\n \n b", "a  b", "ab"},
        {"a\n   ", "a ", "a"},
        {"a\r\n b", "a\r b", "a\rb"},
        {std::string("a\0\n b\0", 6), std::string("a\0 b\0", 5), std::string("a\0b\0", 4)},
        {std::string(5000, 'x') + "\n y", std::string(5000, 'x') + " y", std::string(5000, 'x') + "y"},
    };
    SAMIMEPart part(nullptr, true, nullptr, nullptr);
    for (const Case& c : cases) {
        SAString in(c.in.data(), c.in.size());
        SARef<SAString> kept = SARef<SAString>::adopt(part.copyWithoutLinearWhiteSpace(&in, true));
        SARef<SAString> dropped = SARef<SAString>::adopt(part.copyWithoutLinearWhiteSpace(&in, false));
        EXPECT_EQ(text(kept.get()), c.kept) << c.in.substr(0, 40);
        EXPECT_EQ(text(dropped.get()), c.dropped) << c.in.substr(0, 40);
    }
}

}  // namespace
