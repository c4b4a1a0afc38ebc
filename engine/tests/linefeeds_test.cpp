// The copy of a message with CR LF line ends turned into LF, which the engine
// parses instead of the message when it has any.
#include "engine/SievraController.h"
#include "mailparse/SAData.h"
#include "mailparse/SARef.h"

#include <QByteArray>
#include <gtest/gtest.h>

namespace {

SARef<SAData> wrap(const QByteArray& bytes) {
    return SARef<SAData>::adopt(new SAData(reinterpret_cast<const unsigned char*>(bytes.constData()),
                                           static_cast<unsigned long>(bytes.size()), false));
}

struct Case {
    const char* name;
    QByteArray input;
    bool copied;
    QByteArray expected;
};

TEST(LineFeedsTest, CopiesOnlyMessagesWithCRLF) {
    const Case cases[] = {
        {"empty", QByteArray(), false, {}},
        {"one byte", QByteArray("\r"), false, {}},
        {"plain LF", QByteArray("A: b\n\nbody\n"), false, {}},
        {"lone CRs", QByteArray("A: b\r\rbody\r"), false, {}},
        {"LF then CR", QByteArray("A\n\r"), false, {}},
        {"only CRLF", QByteArray("\r\n"), true, QByteArray("\n")},
        {"CRLF at the end", QByteArray("A: b\n\nbody\r\n"), true, QByteArray("A: b\n\nbody\n")},
        {"CR before CRLF", QByteArray("A\r\r\nB"), true, QByteArray("A\r\nB")},
        {"CRLF after a lone CR", QByteArray("A\rB\r\n\r\nC"), true, QByteArray("A\rB\n\nC")},
        {"NUL bytes kept", QByteArray("A\0\r\nB\0", 6), true, QByteArray("A\0\nB\0", 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SARef<SAData> data = wrap(c.input);
        SAData* copy = SievraController::copyDataWithLineFeeds(data.get());
        ASSERT_EQ(copy != nullptr, c.copied);
        if (!copy)
            continue;
        EXPECT_EQ(QByteArray(copy->bytes(), static_cast<qsizetype>(copy->length())), c.expected);
        SAObject::release(copy);
    }
}

TEST(LineFeedsTest, FindsCRLFPastLongRunsOfLoneCRs) {
    QByteArray input(100000, '\r');
    EXPECT_EQ(SievraController::copyDataWithLineFeeds(wrap(input).get()), nullptr);
    input.append('\n');
    SARef<SAData> with = wrap(input);
    SAData* copy = SievraController::copyDataWithLineFeeds(with.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->length(), 100000u);
    SAObject::release(copy);
}

}  // namespace
