#pragma once
// Which part of the engine decides each message: the built-in checks run in
// this process exactly as the engine runs them (default "General" switches,
// the engine's advertisement pattern), and, where none decides, the verdict of
// the filter chain the caller supplies. Tallied per check and filter, split by
// good mail and spam, for the benchmarks that judge the corpus.
//
// Set JUNKWARD_BENCH_MISJUDGED=1 to list every good message judged spam with
// the part that decided it; =2 lists the missed spam too.

#include "engine/SievraController.h"
#include "engine/SievraFilteringChecks_p.h"
#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SARef.h"
#include "platform/Bundle.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <regex.h>

namespace bench {

// The engine's "ADV Subject" pattern, read from the staged engine bundle.
class AdvertisementPattern {
public:
    explicit AdvertisementPattern(const QString& engineBundle) {
        const auto bundle = platform::Bundle::open(engineBundle);
        const QString pattern =
            bundle ? bundle->localizedString("ADV Subject", QString(), "RegEx").trimmed() : QString();
        compiled_ = !pattern.isEmpty() &&
                    regcomp(&regex_, pattern.toUtf8().constData(), REG_EXTENDED | REG_ICASE | REG_NOSUB) == 0;
    }
    ~AdvertisementPattern() {
        if (compiled_)
            regfree(&regex_);
    }
    AdvertisementPattern(const AdvertisementPattern&) = delete;
    AdvertisementPattern& operator=(const AdvertisementPattern&) = delete;

    bool loaded() const { return compiled_; }
    bool matches(const QString& subject) const {
        return compiled_ && regexec(&regex_, subject.toUtf8().constData(), 0, nullptr, 0) == 0;
    }

private:
    regex_t regex_{};
    bool compiled_ = false;
};

// The code of the built-in check that decides the message and its verdict
// (spam or not), or an empty code when none does. "unparsable" for a message
// the parser rejects (the engine calls it spam).
struct BuiltInDecision {
    QString code;
    bool spam = false;
};

inline BuiltInDecision builtInDecision(const QByteArray& bytes, const AdvertisementPattern& pattern) {
    const auto raw = SARef<SAData>::adopt(new SAData(reinterpret_cast<const unsigned char*>(bytes.constData()),
                                                     static_cast<unsigned long>(bytes.size()), false));
    const auto lineFeeds = SARef<SAData>::adopt(SievraController::copyDataWithLineFeeds(raw.get()));
    const auto part =
        SARef<SAMIMEPart>::adopt(new SAMIMEPart(lineFeeds ? lineFeeds.get() : raw.get(), true, nullptr, nullptr));
    if (part->process(true, false) == SAMIMEProcessFailure)
        return {QStringLiteral("unparsable"), true};
    std::optional<QString> subject;
    SievraController::createLogRecord(part.get(), &subject);
    const sievra::BuiltInCheckResult result = sievra::runBuiltInChecks(
        part.get(), sievra::BuiltInCheckSwitches(), subject, [&](const QString& s) { return pattern.matches(s); });
    if (!result.code)
        return {};
    return {QString::fromLatin1(result.code), result.verdict == 0};
}

// Decisions of a run, by deciding check or filter.
class DecisionTally {
public:
    // path: the message file; decider: the check code or the filter's name;
    // judgedSpam: the final answer for the message.
    void add(const QString& path, bool isSpam, const QString& decider, bool judgedSpam) {
        Row& row = rows_[decider];
        if (judgedSpam)
            (isSpam ? row.spamAsSpam : row.hamAsSpam) += 1;
        else
            (isSpam ? row.spamAsGood : row.hamAsGood) += 1;
        if (!isSpam && judgedSpam)
            falsePositives_.append(decider + "\t" + path);
        if (isSpam && !judgedSpam)
            missed_.append(decider + "\t" + path);
    }

    void print(const char* title) const {
        std::printf("\n%s: decisions by deciding check or filter\n", title);
        std::printf("  %-26s %14s %14s %14s %14s\n", "decided by", "good as spam", "spam as spam", "good as good",
                    "spam as good");
        for (auto it = rows_.cbegin(); it != rows_.cend(); ++it)
            std::printf("  %-26s %14llu %14llu %14llu %14llu\n", qPrintable(it.key()),
                        (unsigned long long)it->hamAsSpam, (unsigned long long)it->spamAsSpam,
                        (unsigned long long)it->hamAsGood, (unsigned long long)it->spamAsGood);
        const int listing = qEnvironmentVariableIntValue("JUNKWARD_BENCH_MISJUDGED");
        if (listing >= 1)
            for (const QString& line : falsePositives_)
                std::printf("  good judged spam\t%s\n", qPrintable(line));
        if (listing >= 2)
            for (const QString& line : missed_)
                std::printf("  spam missed\t%s\n", qPrintable(line));
    }

private:
    struct Row {
        quint64 hamAsSpam = 0, spamAsSpam = 0, hamAsGood = 0, spamAsGood = 0;
    };
    QMap<QString, Row> rows_;
    QStringList falsePositives_;
    QStringList missed_;
};

}  // namespace bench
