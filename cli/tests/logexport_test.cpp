#include "cli/LogExport.h"

#include <QDateTime>
#include <gtest/gtest.h>

using namespace junkwardcli;

TEST(LogExport, senderDisplayTakesTheNameOrTheAddress) {
    struct Case {
        const char* from;
        const char* name;
        const char* address;
    };
    const Case cases[] = {
        {"\"Alice Smith\" <alice@example.org>", "Alice Smith", "alice@example.org"},
        {"Bob <bob@example.org>", "Bob", "bob@example.org"},
        {"carol@example.org", "carol@example.org", "carol@example.org"},
        {"<dave@example.org>", "", "dave@example.org"},
        {"broken > order <x", "broken > order <x", "broken > order <x"},
        {"  'Eve'  <eve@example.org>", "Eve", "eve@example.org"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(displayStringForSender(c.from, false), QString::fromUtf8(c.name)) << c.from;
        EXPECT_EQ(displayStringForSender(c.from, true), QString::fromUtf8(c.address)) << c.from;
    }
}

TEST(LogExport, linesCarryClassDateSenderSubjectAndReason) {
    const QDateTime when = QDateTime(QDate(2024, 3, 15), QTime(12, 30), Qt::UTC);
    QVariantList records;
    records << QVariantMap{
        {"Msg-ID", "<1@x>"}, {"Filt-ID", "NONE"}, {"Date", when}, {"From", "Alice <a@x>"}, {"Subject", "Lunch"}};
    records << QVariantMap{{"Msg-ID", "<2@x>"}, {"Filt-ID", "Bayesian"}, {"From", "-"}};
    records << QVariantMap{{"Msg-ID", "<3@x>"}, {"Subject", "no reason"}};
    records << QVariantMap{{"Msg-ID", "<4@x>"}, {"Filt-ID", "LEARN_HAM"}};
    const QString text =
        exportLogText(records, [](const QString& code) { return code == "NONE" ? QString("Legitimate") : code; });
    const QStringList lines = text.split('\n');
    ASSERT_EQ(lines.size(), 5);  // four lines and the empty rest after the last "\n"
    EXPECT_TRUE(lines[0].startsWith("[L] "));
    EXPECT_TRUE(lines[0].endsWith("\tAlice\tLunch\tLegitimate"));
    EXPECT_EQ(lines[1], "[S] \t-\t\tBayesian");
    EXPECT_EQ(lines[2], "[S] \t\tno reason\t");
    EXPECT_EQ(lines[3], "[L] \t\t\tLEARN_HAM");
    EXPECT_TRUE(lines[4].isEmpty());
    for (const char* code : {"NONE", "LEARN_HAM", "WHITELIST", "INT_SIGNED"})
        EXPECT_TRUE(isLegitimateReason(code)) << code;
    for (const char* code : {"LEARN_SPAM", "BLACKLIST", "INT_INVIS", "Bayesian", ""})
        EXPECT_FALSE(isLegitimateReason(code)) << code;
}
