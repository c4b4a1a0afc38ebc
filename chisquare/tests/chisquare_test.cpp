// The Chi-Square filter: scoring, settings, tokens, the token store and the
// filter over the staged bundle.

#include "SWChiSquareFilter.h"
#include "SWChiSquareScore.h"
#include "SWChiSquareStore.h"
#include "SWChiSquareTokens.h"

#include "mailparse/SAMimePart.h"
#include "tests/support/ParsedMessage.h"
#include "mailparse/SARef.h"
#include "platform/Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testsupport::ParsedMessage;

bool has(const std::vector<QString>& tokens, const QString& token) {
    return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

QByteArray note(int id, const QByteArray& body, const QByteArray& from = "someone@sender.example") {
    return "From: " + from + "\nTo: me@here.example\nMessage-ID: <" + QByteArray::number(id) +
           "@sender.example>\nSubject: note " + QByteArray::number(id) + "\nContent-Type: text/plain\n\n" + body + "\n";
}

TEST(ChiSquareScore, combinesEvidenceAndStaysUnsureWhenItConflicts) {
    // chi2Q of 2 degrees is e^(-x/2); with 4 degrees e^(-m)(1+m).
    EXPECT_NEAR(SWChiSquareScore::chi2Q(2.0, 2), std::exp(-1.0), 1e-12);
    EXPECT_NEAR(SWChiSquareScore::chi2Q(4.0, 4), std::exp(-2.0) * 3.0, 1e-12);
    EXPECT_EQ(SWChiSquareScore::chi2Q(1e6, 300), 0.0);  // no overflow, no NaN

    SWChiSquareSettings settings;
    // An unknown token is the prior; a token seen in spam only leans to spam, the
    // more so the more often it was seen.
    EXPECT_DOUBLE_EQ(SWChiSquareScore::tokenProbability({0, 0}, 100, 100, settings), 0.5);
    const double once = SWChiSquareScore::tokenProbability({1, 0}, 100, 100, settings);
    const double often = SWChiSquareScore::tokenProbability({50, 0}, 100, 100, settings);
    EXPECT_GT(once, 0.5);
    EXPECT_GT(often, once);
    // Counts above the totals (a damaged store) do not give probabilities above 1.
    EXPECT_LE(SWChiSquareScore::tokenProbability({500, 0}, 10, 10, settings), 1.0);

    const std::vector<QString> tokens{"a", "b", "c", "d"};
    auto scoreOf = [&](std::vector<SWChiSquareCounts> counts) {
        return SWChiSquareScore::score(tokens, counts, 100, 100, settings).score;
    };
    EXPECT_GT(scoreOf({{90, 0}, {80, 1}, {70, 0}, {60, 2}}), 0.99);
    EXPECT_LT(scoreOf({{0, 90}, {1, 80}, {0, 70}, {2, 60}}), 0.01);
    const double mixed = scoreOf({{90, 0}, {80, 1}, {0, 90}, {1, 80}});
    EXPECT_GT(mixed, 0.3);
    EXPECT_LT(mixed, 0.7);
    EXPECT_DOUBLE_EQ(scoreOf({{0, 0}, {0, 0}, {0, 0}, {0, 0}}), 0.5);  // nothing known

    // The clues are the strongest first, at most the configured number.
    settings.maximumClues = 2;
    const SWChiSquareResult result =
        SWChiSquareScore::score(tokens, {{1, 0}, {90, 0}, {0, 0}, {0, 90}}, 100, 100, settings);
    ASSERT_EQ(result.clues.size(), 2u);
    EXPECT_TRUE(result.clues[0].token == "b" || result.clues[0].token == "d");
}

TEST(ChiSquareScore, manyCluesStayNumericallySound) {
    // Near the middle of a distribution of many degrees, e^-m alone is 0.
    EXPECT_NEAR(SWChiSquareScore::chi2Q(2000, 2000), 0.4958, 1e-4);
    EXPECT_NEAR(SWChiSquareScore::chi2Q(1833, 2000), 0.9966, 1e-4);
    EXPECT_EQ(SWChiSquareScore::chi2Q(1e300, 2000), 0.0);
    EXPECT_EQ(SWChiSquareScore::chi2Q(0, 2000), 1.0);

    // A long message of a thousand tokens that each lean only a little to spam
    // is unsure, not certain spam.
    SWChiSquareSettings settings;
    settings.maximumClues = 1000;
    std::vector<QString> tokens;
    for (int i = 0; i < 1000; ++i)
        tokens.push_back(QString::number(i));
    const double score =
        SWChiSquareScore::score(tokens, std::vector<SWChiSquareCounts>(1000, {3, 2}), 100, 100, settings).score;
    EXPECT_GT(score, 0.4);
    EXPECT_LT(score, 0.7);
}

TEST(ChiSquareSettings, badValuesKeepTheirDefaultsAndAreReported) {
    QStringList problems;
    SWChiSquareSettings s = SWChiSquareSettings::fromDictionary(
        {{"Spam Cutoff", 0.9}, {"Ham Cutoff", 0.2}, {"Maximum Clues", 40}}, &problems);
    EXPECT_TRUE(problems.isEmpty());
    EXPECT_DOUBLE_EQ(s.spamCutoff, 0.9);
    EXPECT_DOUBLE_EQ(s.hamCutoff, 0.2);
    EXPECT_EQ(s.maximumClues, 40);

    const SWChiSquareSettings defaults;
    problems.clear();
    s = SWChiSquareSettings::fromDictionary(
        {{"Spam Cutoff", 1.5}, {"Unknown Word Strength", "strong"}, {"Minimum Deviation", -1}, {"Maximum Clues", true}},
        &problems);
    EXPECT_EQ(problems.size(), 4);
    EXPECT_DOUBLE_EQ(s.spamCutoff, defaults.spamCutoff);
    EXPECT_DOUBLE_EQ(s.strength, defaults.strength);
    EXPECT_DOUBLE_EQ(s.minimumDeviation, defaults.minimumDeviation);
    EXPECT_EQ(s.maximumClues, defaults.maximumClues);

    // Cutoffs in the wrong order: both defaults.
    problems.clear();
    s = SWChiSquareSettings::fromDictionary({{"Spam Cutoff", 0.3}, {"Ham Cutoff", 0.6}}, &problems);
    EXPECT_EQ(problems.size(), 1);
    EXPECT_DOUBLE_EQ(s.spamCutoff, defaults.spamCutoff);
    EXPECT_DOUBLE_EQ(s.hamCutoff, defaults.hamCutoff);
}

TEST(ChiSquareTokens, senderSideHeadersWordsAndLinksEachWithTheirPrefix) {
    const ParsedMessage p(
        "Received: from mail.bulk-sender.example (relay.bulk-sender.example [192.0.2.7]) by mx.here.example\n"
        "Delivered-To: me@here.example\nX-Spam-Status: No, score=0.1\n"
        "From: \"Cheap Deals\" <offers@bulk-sender.example>\nReply-To: claims@elsewhere.example\n"
        "Sender: relay@mass.example\n"
        "To: me@here.example\nSubject: Winning NOTICE =?koi8-r?B?8NLJ18XU?=\nMessage-ID: <AB12cd@bulk-sender.example>\n"
        "X-Mailer: MassMail 4.2\nX-Priority: 1\nX-Keywords: read\nX-Virus-Scanned: clean\nMIME-Version: 1.0\n"
        "Content-Type: multipart/alternative; boundary=b\n\n"
        "--b\nContent-Type: text/plain; charset=us-ascii\n\nClaim your prize, now! http://win.prize.example/x\n"
        "--b\nContent-Type: text/html; charset=utf-8\n\n<html><body><p>Fabulous <b>jackpot</b></p>"
        "<img src=\"http://pics.prize.example/layout/spacer.gif\"> <a href=\"http://win.prize.example/claim\">go</a>"
        "</body></html>\n--b--\n");
    const std::vector<QString> t = SWChiSquareTokens::tokensOfMessage(p.part());
    for (const char* expected : {"w:claim",
                                 "w:prize",
                                 "w:now!",
                                 "w:fabulous",
                                 "w:jackpot",
                                 "s:winning",
                                 "s:notice",
                                 "h:from:dom:bulk-sender.example",
                                 "h:from:addr:offers@bulk-sender.example",
                                 "h:from:name:cheap",
                                 "h:reply-to:dom:elsewhere.example",
                                 "h:message-id:<A9a",
                                 "h:message-id:dom:bulk-sender.example",
                                 "h:mailer:massmail",
                                 "h:received:bulk-sender.example",
                                 "h:received:192.0.2",
                                 "h:charset:utf-8",
                                 "h:has:mime-version",
                                 "h:no:in-reply-to",
                                 "h:field:x-priority",
                                 "h:reply-to:other",
                                 "h:sender:other",
                                 "h:subject-charset:koi8-r",
                                 "u:prize.example",
                                 "u:path:claim"})
        EXPECT_TRUE(has(t, expected)) << expected;
    // Fields read for tokens of their own do not count again; the file names
    // of pictures are layout; HTML with a plain alternative is not HTML alone,
    // and the types of its parts are not clues of their own.
    for (const char* unexpected : {"h:field:x-mailer", "h:field:from", "u:path:spacer", "u:path:layout",
                                   "h:html-only", "h:type:text/html", "h:type:multipart/alternative"})
        EXPECT_FALSE(has(t, unexpected)) << unexpected;
    // What the receiving side adds says nothing about the sender.
    for (const QString& token : t) {
        EXPECT_FALSE(token.contains("@here.example") || token.endsWith(":here.example")) << qPrintable(token);
        EXPECT_FALSE(token.contains("score")) << qPrintable(token);
        EXPECT_FALSE(token.startsWith("h:field:") && token != "h:field:x-priority" && token != "h:field:sender")
            << qPrintable(token);
    }

    const ParsedMessage htmlAlone("From: a@b.example\nSubject: s\nContent-Type: text/html\n\n<p>Only markup</p>\n");
    EXPECT_TRUE(has(SWChiSquareTokens::tokensOfMessage(htmlAlone.part()), "h:html-only"));
}

TEST(ChiSquareTokens, whatAListAddsCountsOnceAndInternalHopsNotAtAll) {
    const QByteArray footer =
        "-- \nExample Users' Group: users@list.example\n"
        "http://list.example/mailman/listinfo/users for subscription matters\n";
    const QByteArray message =
        "Return-Path: <users-bounces@list.example>\n"
        "Received: from lists.list.example (lists.list.example [203.0.113.9]) by mx.here.example\n"
        "Received: from localhost (localhost [127.0.0.1]) by lists.list.example\n"
        "Received: from inner (inner [192.168.7.2]) by lists.list.example\n"
        "Received: from outside.example (outside.example [198.51.100.4]) by inner\n"
        "From: seller@outside.example\nSubject: offer\nX-Mailman-Version: 2.1\nX-BeenThere: users@list.example\n"
        "Sender: users-bounces@list.example\n";
    const QByteArray body = "\nCheap watches at http://watches.example/buy today\n\n" + footer;

    // The sender's words, links and first hop; of the list only its name.
    const std::vector<QString> list =
        SWChiSquareTokens::tokensOfMessage(ParsedMessage(message + "List-Id: <users.list.example>\n" + body).part());
    for (const char* kept :
         {"w:watches", "u:watches.example", "h:received:outside.example", "h:list:users.list.example"})
        EXPECT_TRUE(has(list, kept)) << kept;
    for (const char* gone : {"w:subscription", "w:group", "u:list.example", "u:path:listinfo",
                             "h:received:list.example", "h:return-path:dom:list.example", "h:has:list-id",
                             "h:field:list-id", "h:field:x-mailman-version", "h:field:x-beenthere", "h:sender:other"})
        EXPECT_FALSE(has(list, gone)) << gone;

    // Without list headers the same closing lines are the sender's own, and
    // every hop but the internal ones counts.
    const std::vector<QString> direct = SWChiSquareTokens::tokensOfMessage(ParsedMessage(message + body).part());
    for (const char* kept : {"w:subscription", "u:list.example", "h:received:list.example",
                             "h:received:outside.example", "h:return-path:dom:list.example"})
        EXPECT_TRUE(has(direct, kept)) << kept;
    for (const char* gone : {"h:received:127.0.0", "h:received:192.168.7", "h:received:localhost"})
        EXPECT_FALSE(has(direct, gone)) << gone;

    // A separator with a long text after it is not a footer.
    QByteArray longTail = "\nfirst part\n--\n";
    for (int i = 0; i < 40; ++i)
        longTail += "line " + QByteArray::number(i) + " of the answer\n";
    EXPECT_TRUE(
        has(SWChiSquareTokens::tokensOfMessage(ParsedMessage(message + "List-Id: <l.example>\n" + longTail).part()),
            "w:answer"));
}

TEST(ChiSquareTokens, storeKeysAreDistinctAndInByteOrder) {
    // Keys sharing their first eight bytes, a key that is the start of another,
    // non-ASCII text (after every ASCII byte), and two tokens that are one key
    // once cut to the store's length.
    const std::vector<QString> tokens = {
        "w:zeta", "w:alpha", "w:alphabet", "w:alphabeta", "w:alphab", QString::fromUtf8("w:\xc3\xa9t\xc3\xa9"),
        "w:alpha\u0001", QString(130, 'x') + "1", QString(130, 'x') + "2", "w:\u00ff", "w:"};
    SWChiSquareTokenList list;
    for (const QString& t : tokens) {
        list.spans.emplace_back(uint32_t(list.units.size()), uint32_t(t.size()));
        list.units.insert(list.units.end(), t.utf16(), t.utf16() + t.size());
    }
    const SWChiSquareStore::Keys fromStrings("id", tokens), fromList("id", list);
    ASSERT_EQ(fromStrings.size(), tokens.size() - 1);
    ASSERT_EQ(fromList.size(), fromStrings.size());
    for (size_t i = 0; i < fromList.size(); ++i) {
        EXPECT_EQ(fromList[i], fromStrings[i]);
        if (i > 0)
            EXPECT_LT(fromList[i - 1], fromList[i]) << i;
    }
    EXPECT_EQ(fromList[fromList.size() - 1], std::string(120, 'x'));
}

TEST(ChiSquareTokens, hostileMessagesStayBounded) {
    // No text at all.
    EXPECT_TRUE(SWChiSquareTokens::tokensOfMessage(nullptr).empty());
    std::vector<QString> t = SWChiSquareTokens::tokensOfMessage(ParsedMessage("\n").part());
    EXPECT_TRUE(has(t, "h:no:from"));
    EXPECT_TRUE(std::none_of(t.begin(), t.end(), [](const QString& s) { return s.startsWith("w:"); }));

    // A million distinct words: the first ones, up to the limit.
    QByteArray body;
    body.reserve(9 << 20);
    for (int i = 0; i < 1000000; ++i)
        body += "w" + QByteArray::number(i, 36) + ' ';
    t = SWChiSquareTokens::tokensOfMessage(ParsedMessage(note(1, body)).part());
    EXPECT_EQ(t.size(), size_t(SWChiSquareMaximumTokens));

    // UTF-8 text longer than what is read, cut inside a character: still read as UTF-8.
    QByteArray accented;
    while (accented.size() < (5 << 20))
        accented += "r\xc3\xa9sum\xc3\xa9 ";  // 9 bytes: the cut at 4 MiB falls inside an "\xc3\xa9"
    t = SWChiSquareTokens::tokensOfMessage(
        ParsedMessage("From: a@b.example\nContent-Type: text/plain; charset=utf-8\n\n" + accented).part());
    EXPECT_TRUE(has(t, QString::fromUtf8("w:r\xc3\xa9sum\xc3\xa9")));

    // A 10 MB header value.
    const QByteArray huge = "Subject: " + QByteArray(10 << 20, 'x') + "\nFrom: a@b.example\n\nbody words here\n";
    t = SWChiSquareTokens::tokensOfMessage(ParsedMessage(huge).part());
    EXPECT_TRUE(has(t, "w:words"));
    EXPECT_LT(t.size(), 100u);
}

class ChiSquareStoreTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString file() const { return dir.path() + "/" + SWChiSquareStoreName; }
};

TEST_F(ChiSquareStoreTest, learningTheOtherWayTakesTheEarlierTrainingBack) {
    SWChiSquareStore store(dir.path());
    ASSERT_TRUE(store.isOpen());
    const std::vector<QString> tokens{"w:alpha", "w:beta"};
    EXPECT_EQ(store.learn("<1@x>", tokens, true), SWChiSquareStore::Training::Learned);
    EXPECT_EQ(store.learn("<1@x>", tokens, true), SWChiSquareStore::Training::AlreadyLearned);
    EXPECT_EQ(store.learn("<2@x>", {"w:beta"}, false), SWChiSquareStore::Training::Learned);
    std::vector<SWChiSquareCounts> counts;
    uint64_t spam = 0, ham = 0;
    ASSERT_TRUE(store.lookUp({"w:alpha", "w:beta", "w:gamma"}, counts, &spam, &ham));
    EXPECT_EQ(spam, 1u);
    EXPECT_EQ(ham, 1u);
    EXPECT_EQ(counts[0].spam, 1u);
    EXPECT_EQ(counts[1].spam, 1u);
    EXPECT_EQ(counts[1].ham, 1u);
    EXPECT_EQ(counts[2].spam + counts[2].ham, 0u);

    // The spam was a mistake: learned as good mail, it leaves the spam side.
    EXPECT_EQ(store.learn("<1@x>", tokens, false), SWChiSquareStore::Training::Learned);
    EXPECT_EQ(store.markForKey("<1@x>"), 1);
    ASSERT_TRUE(store.lookUp({"w:alpha", "w:beta"}, counts, &spam, &ham));
    EXPECT_EQ(spam, 0u);
    EXPECT_EQ(ham, 2u);
    EXPECT_EQ(counts[0].spam, 0u);
    EXPECT_EQ(counts[0].ham, 1u);
    EXPECT_EQ(counts[1].ham, 2u);
}

TEST_F(ChiSquareStoreTest, aKilledProcessLosesNothingItLearned) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SWChiSquareStore store(dir.path());
        for (int i = 0; i < 50; ++i)
            store.learn(QString("<%1@x>").arg(i), {"w:word", QString("w:n%1").arg(i)}, i % 2 == 0);
        raise(SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    SWChiSquareStore store(dir.path());
    ASSERT_TRUE(store.isOpen());
    std::vector<SWChiSquareCounts> counts;
    uint64_t spam = 0, ham = 0;
    ASSERT_TRUE(store.lookUp({"w:word", "w:n49"}, counts, &spam, &ham));
    EXPECT_EQ(spam, 25u);
    EXPECT_EQ(ham, 25u);
    EXPECT_EQ(counts[0].spam + counts[0].ham, 50u);
    EXPECT_EQ(counts[1].ham, 1u);
}

namespace {

struct Training {
    QString key;
    std::vector<QString> tokens;
    bool spam;
};

// Every token of the trainings with its counts, the totals and each key's mark.
QString snapshot(SWChiSquareStore& store, const std::vector<Training>& trainings) {
    std::vector<QString> tokens;
    for (const Training& t : trainings)
        tokens.insert(tokens.end(), t.tokens.begin(), t.tokens.end());
    std::vector<SWChiSquareCounts> counts;
    uint64_t spam = 0, ham = 0;
    if (!store.lookUp(tokens, counts, &spam, &ham))
        return "lookUp failed";
    QString out = QString("totals %1/%2\n").arg(spam).arg(ham);
    for (size_t i = 0; i < tokens.size(); ++i)
        out += QString("%1 %2/%3\n").arg(tokens[i]).arg(counts[i].spam).arg(counts[i].ham);
    for (const Training& t : trainings)
        out += QString("%1 %2\n").arg(t.key).arg(store.markForKey(t.key).value_or(0));
    return out;
}

// Batches of the trainings: one message learned twice in a batch, and one
// learned the other way in a later batch.
std::vector<std::vector<Training>> batches() {
    std::vector<std::vector<Training>> out(3);
    for (int i = 0; i < 30; ++i)
        out[size_t(i / 10)].push_back(
            {QString("<%1@x>").arg(i), {"w:common", QString("w:n%1").arg(i % 7)}, i % 3 == 0});
    out[0].push_back(out[0][1]);
    out[2].push_back({"<3@x>", out[0][3].tokens, false});
    return out;
}

}  // namespace

TEST_F(ChiSquareStoreTest, aBatchStoresWhatTheSameMessagesOneByOneStore) {
    QTemporaryDir other;
    SWChiSquareStore single(other.path()), batched(dir.path());
    std::vector<Training> all;
    for (const std::vector<Training>& batch : batches()) {
        ASSERT_TRUE(batched.beginBatch());
        for (const Training& t : batch) {
            all.push_back(t);
            const auto alone = single.learn(t.key, t.tokens, t.spam);
            EXPECT_EQ(batched.learn(t.key, t.tokens, t.spam), alone);
        }
        ASSERT_TRUE(batched.commitBatch());
    }
    EXPECT_EQ(batched.markForKey("<3@x>"), 1);  // taken back from the spam side
    EXPECT_EQ(snapshot(batched, all), snapshot(single, all));

    // An abandoned batch leaves nothing, not even its history entries.
    const QString before = snapshot(batched, all);
    ASSERT_TRUE(batched.beginBatch());
    batched.learn("<new@x>", {"w:common"}, true);
    batched.learn("<0@x>", {"w:common"}, false);
    batched.abortBatch();
    EXPECT_EQ(snapshot(batched, all), before);
    EXPECT_FALSE(batched.markForKey("<new@x>"));
}

TEST_F(ChiSquareStoreTest, aKilledBatchIsWhollyAbsentAndEarlierBatchesStay) {
    const std::vector<std::vector<Training>> trainings = batches();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SWChiSquareStore store(dir.path());
        for (const std::vector<Training>& batch : trainings) {
            store.beginBatch();
            for (const Training& t : batch)
                store.learn(t.key, t.tokens, t.spam);
            if (&batch == &trainings.back())
                raise(SIGKILL);  // in the middle of the last batch
            store.commitBatch();
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    QTemporaryDir other;
    SWChiSquareStore expected(other.path());
    std::vector<Training> all;
    for (size_t b = 0; b < trainings.size(); ++b)
        for (const Training& t : trainings[b]) {
            all.push_back(t);
            if (b + 1 < trainings.size())
                expected.learn(t.key, t.tokens, t.spam);
        }
    SWChiSquareStore store(dir.path());
    ASSERT_TRUE(store.isOpen());
    EXPECT_EQ(snapshot(store, all), snapshot(expected, all));
    EXPECT_FALSE(store.markForKey("<25@x>"));
    EXPECT_EQ(store.markForKey("<3@x>"), -1);  // the later take-back never happened
}

TEST_F(ChiSquareStoreTest, aBatchLargerThanTheMapGrowsIt) {
    // About 90 MB of distinct long keys, more than the map a new store starts with.
    SWChiSquareStore store(dir.path());
    ASSERT_TRUE(store.beginBatch());
    const QString filler(90, QChar('x'));
    for (int m = 0; m < 24; ++m) {
        std::vector<QString> tokens;
        for (int i = 0; i < 30000; ++i)
            tokens.push_back(QString("w:%1-%2-").arg(m).arg(i) + filler);
        tokens.push_back("w:shared");
        ASSERT_EQ(store.learn(QString("<%1@x>").arg(m), tokens, m % 2 == 0), SWChiSquareStore::Training::Learned);
    }
    ASSERT_TRUE(store.commitBatch());
    std::vector<SWChiSquareCounts> counts;
    uint64_t spam = 0, ham = 0;
    ASSERT_TRUE(store.lookUp({"w:shared", "w:23-29999-" + filler}, counts, &spam, &ham));
    EXPECT_EQ(spam + ham, 24u);
    EXPECT_EQ(counts[0].spam + counts[0].ham, 24u);
    EXPECT_EQ(counts[1].ham, 1u);
    EXPECT_EQ(store.tokenCount(), 24 * 30000 + 1);
}

TEST_F(ChiSquareStoreTest, aFileOfAnotherFormatIsReplaced) {
    for (const QByteArray& content : {QByteArray("not a store at all\n"), QByteArray(8192, '\0')}) {
        QFile f(file());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
        f.close();
        SWChiSquareStore store(dir.path());
        ASSERT_TRUE(store.isOpen());
        EXPECT_EQ(store.spamTotal() + store.hamTotal(), 0u);
        EXPECT_EQ(store.learn("<1@x>", {"w:a"}, true), SWChiSquareStore::Training::Learned);
    }
}

TEST(ChiSquareFilter, decidesOnlyOnceTrainedAndExplainsItsVerdict) {
    QTemporaryDir library, caches;
    qputenv("JUNKWARD_USER_LIBRARY", QFile::encodeName(library.path()));
    const auto bundle = platform::Bundle::open(qEnvironmentVariable("JUNKWARD_LOCAL_LIBRARY") +
                                               "/Application Support/Quillon/Junkward/Plugins/ChiSquare/Engine.bundle");
    ASSERT_TRUE(bundle);
    SWChiSquareFilter filter;
    ASSERT_TRUE(filter.initializeWithBundle(bundle, "ChiSquare"));
    EXPECT_TRUE(filter.status());  // on by default
    EXPECT_EQ(filter.identifier(), "ChiSquare");
    EXPECT_LT(filter.category(), 1000u);  // asked before the Bayesian filter
    filter.openStore(caches.path());
    filter.updatePreferences({{"Settings", QVariantMap{{"Minimum Learned", 5}}}});

    const QByteArray spam = note(900, "casino jackpot winner pharmacy discount", "promo@casino.example");
    const QByteArray ham = note(901, "agenda minutes project schedule review", "colleague@work.example");
    EXPECT_EQ(filter.filter(ParsedMessage(spam).part()), SWFilterStatusUndecided);
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(filter.learnMessageAsSpam(
            ParsedMessage(note(i, "casino jackpot winner pharmacy offer", "promo@casino.example")).part(),
            QString("<%1@sender.example>").arg(i)));
        if (i < 4)
            EXPECT_EQ(filter.filter(ParsedMessage(spam).part()), SWFilterStatusUndecided);  // not enough good mail yet
        ASSERT_TRUE(filter.learnMessageAsLegitimate(
            ParsedMessage(note(100 + i, "agenda minutes project schedule notes", "colleague@work.example")).part(),
            QString("<%1@sender.example>").arg(100 + i)));
    }
    EXPECT_EQ(filter.filter(ParsedMessage(spam).part()), SWFilterStatusSpam);
    EXPECT_GE(filter.lastVerdict().score, filter.settings().spamCutoff);
    EXPECT_EQ(filter.filter(ParsedMessage(ham).part()), SWFilterStatusLegitimate);

    const QVariantMap explanation = filter.explain(ParsedMessage(spam).part());
    EXPECT_GE(explanation.value("Score").toDouble(), 0.99);
    const QVariantList tokens = explanation.value("Tokens").toList();
    ASSERT_FALSE(tokens.isEmpty());
    EXPECT_LE(tokens.size(), SWChiSquareExplainedClues);
    EXPECT_GT(tokens.first().toMap().value("Probability").toDouble(), 0.5);

    // Automatic training leaves a message the user trained alone; the user's own
    // correction takes the earlier training back.
    const ParsedMessage first(note(0, "casino jackpot winner pharmacy offer", "promo@casino.example"));
    EXPECT_TRUE(filter.automaticallyTrainWithMessage(first.part(), "<0@sender.example>", SWFilterStatusLegitimate));
    EXPECT_EQ(filter.store()->markForKey("<0@sender.example>"), -1);
    EXPECT_TRUE(filter.learnMessageAsLegitimate(first.part(), "<0@sender.example>"));
    EXPECT_EQ(filter.store()->markForKey("<0@sender.example>"), 1);
    EXPECT_EQ(filter.store()->spamTotal(), 5u);
    EXPECT_EQ(filter.store()->hamTotal(), 7u);

    // A message without an ID is remembered by its content.
    const ParsedMessage anonymous("From: x@y.example\nSubject: hello\n\nplain words\n");
    EXPECT_TRUE(filter.learnMessageAsSpam(anonymous.part(), {}));
    EXPECT_TRUE(filter.learnMessageAsSpam(anonymous.part(), {}));
    EXPECT_EQ(filter.store()->spamTotal(), 6u);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
