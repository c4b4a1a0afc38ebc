// Chooses the Chi-Square filter's constants on the learned half of the corpus
// only: 5-fold cross-validation inside that half (the judged half of
// bayes_bench is never read). For each combination of strength, minimum
// deviation and number of clues, prints the held-out false positives and spam
// caught at candidate spam cutoffs, and the share of mail left unsure by a
// ham cutoff.
//
// Usage: build/bench/chisquare_bench [corpus folder]
// The split is bayes_bench's: every other message of each set by file name.

#include "SWChiSquareScore.h"
#include "SWChiSquareTokens.h"

#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SARef.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>

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
            samples.push_back({SWChiSquareTokens::tokensOfMessage(part.get()), set.contains("spam", Qt::CaseInsensitive)});
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

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString corpus = app.arguments().value(1, qEnvironmentVariable("JUNKWARD_CORPUS_DIR"));
    if (corpus.isEmpty())
        corpus = QDir::currentPath() + "/bench/data/spam-assassin";
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
                    std::printf(" h%.2f: %d spam below, %4.1f%% unsure;", cutoff, missed, 100.0 * unsure / double(scored.size()));
                }
                std::printf("\n");
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
