// Chooses the Chi-Square filter's constants on the learned half of the corpus
// only: 5-fold cross-validation inside that half (the judged half of
// bayes_bench is never read). For each combination of strength, minimum
// deviation and number of clues, prints the held-out false positives and spam
// caught at candidate spam cutoffs, and the share of mail left unsure by a
// ham cutoff.
//
// With --timing, instead: the time per message of each step of judging (parse,
// tokens, store lookup, scoring) over a store that learned the learned half.
//
// Usage: build/bench/chisquare_bench [--timing] [corpus folder]
// The split is bayes_bench's: every other message of each set by file name.

#include "SWChiSquareScore.h"
#include "SWChiSquareStore.h"
#include "SWChiSquareTokens.h"

#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SARef.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QHash>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

struct Sample {
    std::vector<QString> tokens;
    bool spam = false;
};

std::vector<Sample> loadLearnedHalf(const QString& folder) {
    std::vector<Sample> samples;
    QDir root(folder);
    for (const QString& set : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        QDir dir(root.filePath(set));
        const QStringList files = dir.entryList(QDir::Files, QDir::Name);
        for (qsizetype i = 0; i < files.size(); i += 2) {  // the learned half only
            QFile f(dir.filePath(files[i]));
            if (!f.open(QIODevice::ReadOnly))
                continue;
            const QByteArray bytes = f.readAll();
            auto data = SARef<SAData>::adopt(
                new SAData(reinterpret_cast<const unsigned char*>(bytes.constData()), bytes.size(), false));
            auto part = SARef<SAMIMEPart>::adopt(new SAMIMEPart(data.get(), true, nullptr, nullptr));
            part->process(true, true);
            samples.push_back(
                {SWChiSquareTokens::tokensOfMessage(part.get()), set.contains("spam", Qt::CaseInsensitive)});
        }
    }
    return samples;
}

struct Scored {
    double score;
    bool spam;
};

std::vector<Scored> crossValidate(const std::vector<Sample>& samples, const SWChiSquareSettings& settings, int folds) {
    std::vector<Scored> out;
    for (int fold = 0; fold < folds; ++fold) {
        QHash<QString, SWChiSquareCounts> counts;
        uint64_t spamTotal = 0, hamTotal = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (int(i % size_t(folds)) == fold)
                continue;
            (samples[i].spam ? spamTotal : hamTotal) += 1;
            for (const QString& t : samples[i].tokens) {
                SWChiSquareCounts& c = counts[t];
                (samples[i].spam ? c.spam : c.ham) += 1;
            }
        }
        std::vector<SWChiSquareCounts> found;
        for (size_t i = size_t(fold); i < samples.size(); i += size_t(folds)) {
            found.clear();
            for (const QString& t : samples[i].tokens)
                found.push_back(counts.value(t));
            out.push_back({SWChiSquareScore::score(samples[i].tokens, found, spamTotal, hamTotal, settings).score,
                           samples[i].spam});
        }
    }
    return out;
}

std::vector<QByteArray> readLearnedHalf(const QString& folder, std::vector<bool>* spam) {
    std::vector<QByteArray> messages;
    QDir root(folder);
    for (const QString& set : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        QDir dir(root.filePath(set));
        const QStringList files = dir.entryList(QDir::Files, QDir::Name);
        for (qsizetype i = 0; i < files.size(); i += 2) {
            QFile f(dir.filePath(files[i]));
            if (f.open(QIODevice::ReadOnly)) {
                messages.push_back(f.readAll());
                spam->push_back(set.contains("spam", Qt::CaseInsensitive));
            }
        }
    }
    return messages;
}

int timing(const QString& corpus) {
    std::vector<bool> spam;
    const std::vector<QByteArray> messages = readLearnedHalf(corpus, &spam);
    QTemporaryDir dir;
    SWChiSquareStore store(dir.path());
    qint64 parseNs = 0, tokensNs = 0, lookUpNs = 0, scoreNs = 0, learnNs = 0;
    QElapsedTimer timer;
    std::vector<std::vector<QString>> tokens;
    for (size_t i = 0; i < messages.size(); ++i) {
        timer.start();
        auto data = SARef<SAData>::adopt(
            new SAData(reinterpret_cast<const unsigned char*>(messages[i].constData()), messages[i].size(), false));
        auto part = SARef<SAMIMEPart>::adopt(new SAMIMEPart(data.get(), true, nullptr, nullptr));
        part->process(true, true);
        parseNs += timer.nsecsElapsed();
        timer.start();
        tokens.push_back(SWChiSquareTokens::tokensOfMessage(part.get()));
        tokensNs += timer.nsecsElapsed();
        timer.start();
        store.learn(QString::number(i), tokens.back(), spam[i]);
        learnNs += timer.nsecsElapsed();
    }
    const SWChiSquareSettings settings;
    std::vector<SWChiSquareCounts> counts;
    for (const std::vector<QString>& t : tokens) {
        uint64_t s = 0, h = 0;
        timer.start();
        store.lookUp(t, counts, &s, &h);
        lookUpNs += timer.nsecsElapsed();
        timer.start();
        SWChiSquareScore::score(t, counts, s, h, settings);
        scoreNs += timer.nsecsElapsed();
    }
    const double n = double(messages.size()) * 1000.0;
    std::printf(
        "%zu messages, microseconds per message: parse %.1f, tokens %.1f, learn %.1f, lookup %.1f, score %.1f\n",
        messages.size(), parseNs / n, tokensNs / n, learnNs / n, lookUpNs / n, scoreNs / n);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const bool timed = arguments.removeAll(QStringLiteral("--timing")) > 0;
    QString corpus = arguments.value(0, qEnvironmentVariable("JUNKWARD_CORPUS_DIR"));
    if (corpus.isEmpty())
        corpus = QDir::currentPath() + "/bench/data/spam-assassin";
    if (timed)
        return timing(corpus);
    const std::vector<Sample> samples = loadLearnedHalf(corpus);
    if (samples.empty()) {
        std::fprintf(stderr, "chisquare_bench: no messages under %s\n", qPrintable(corpus));
        return 2;
    }
    const auto spamCount = std::count_if(samples.begin(), samples.end(), [](const Sample& s) { return s.spam; });
    std::printf("Learned half: %zu messages (%lld spam); 5-fold cross-validation\n\n", samples.size(),
                (long long)spamCount);
    std::printf("%-8s %-7s %-6s | %-44s | unsure at ham cutoff\n", "strength", "min dev", "clues",
                "FP / spam caught at spam cutoff 0.90 0.95 0.99");
    for (double strength : {0.1, 0.45, 1.0}) {
        for (double deviation : {0.05, 0.1, 0.2}) {
            for (int clues : {50, 150}) {
                SWChiSquareSettings settings;
                settings.strength = strength;
                settings.minimumDeviation = deviation;
                settings.maximumClues = clues;
                const std::vector<Scored> scored = crossValidate(samples, settings, 5);
                std::printf("%-8.2f %-7.2f %-6d |", strength, deviation, clues);
                for (double cutoff : {0.90, 0.95, 0.99}) {
                    int fp = 0, caught = 0;
                    for (const Scored& s : scored) {
                        fp += !s.spam && s.score >= cutoff;
                        caught += s.spam && s.score >= cutoff;
                    }
                    std::printf(" %2d/%5.1f%%", fp, 100.0 * caught / double(spamCount));
                }
                std::printf("  |");
                for (double cutoff : {0.05, 0.1, 0.2}) {
                    int missed = 0, unsure = 0;
                    for (const Scored& s : scored) {
                        missed += s.spam && s.score <= cutoff;
                        unsure += s.score > cutoff && s.score < 0.95;
                    }
                    std::printf(" h%.2f: %d spam below, %4.1f%% unsure;", cutoff, missed,
                                100.0 * unsure / double(scored.size()));
                }
                std::printf("\n");
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
