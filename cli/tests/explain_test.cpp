// The text of `junkward explain` for an engine's explanation.

#include "cli/Explain.h"

#include <QVariantList>
#include <gtest/gtest.h>

using junkwardcli::formatExplanation;

TEST(Explain, namesTheDecidingFilterAndListsEachFiltersEvidence) {
    const QVariantMap e{
        {"Engine On", true},
        {"Decided By", "ChiSquare"},
        {"Verdict", 0},
        {"Subject", "Win\nnow\r"},
        {"Filters",
         QVariantList{
             QVariantMap{{"SWPluginIdentifier", "ChiSquare"},
                         {"Score", 0.99871},
                         {"Verdict", 0},
                         {"Trained", true},
                         {"Enabled", true},
                         {"Tokens", QVariantList{QVariantMap{
                                        {"Token", "w:jackpot"}, {"Probability", 0.9912}, {"Spam", 40}, {"Ham", 0}}}}},
             QVariantMap{{"SWPluginIdentifier", "Bayesian"},
                         {"Score", 0.5},
                         {"Verdict", 2},
                         {"Trained", false},
                         {"Enabled", false},
                         {"Malus", 2}}}}};
    const QString text = formatExplanation(e);
    EXPECT_TRUE(text.startsWith("Decided by: ChiSquare (spam)\n")) << qPrintable(text);
    EXPECT_TRUE(text.contains("Subject: Win now \n")) << qPrintable(text);  // one line, whatever the header held
    EXPECT_TRUE(text.contains("ChiSquare: score 0.9987, spam\n  0.9912  w:jackpot  (in 40 spam, 0 good)"))
        << qPrintable(text);
    EXPECT_TRUE(text.contains(
        "Bayesian: score 0.5000, no opinion (not trained enough to decide) [switched off], 2 malus points"))
        << qPrintable(text);
}

TEST(Explain, anEmptyOrOddExplanationStillPrints) {
    EXPECT_EQ(formatExplanation({}), "No explanation: the message is empty.\n");
    const QString text = formatExplanation({{"Engine On", false}, {"Decided By", "NONE"}, {"Filters", "not a list"}});
    EXPECT_TRUE(text.contains("switched off")) << qPrintable(text);
    EXPECT_TRUE(text.contains("Decided by: no filter")) << qPrintable(text);
}
