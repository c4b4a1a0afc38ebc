// Chooses the Chi-Square filter's constants on the learned half of the corpus
// only: 5-fold cross-validation inside that half (the judged half of
// bayes_bench is never read).
//
// Each message of the learned half is judged by a filter that learned the other
// four folds. Besides the Chi-Square score, the bench knows what the rest of the
// engine does with each message: the built-in checks (run as the engine runs
// them) and the Bayesian filter's verdict, itself cross-validated on the same
// folds. So every line shows the Chi-Square filter alone (false positives, spam
// caught, unsure) and the whole chain as the engine runs it: a built-in check
// that decides, else the Chi-Square filter outside its unsure band, else the
// Bayesian filter.
//
//   chisquare_bench [corpus]                 the default settings, then a grid
//   chisquare_bench --list [corpus]          misjudged messages of the default
//                                            settings, with their scores
//   chisquare_bench --scores [corpus]        per message: built-in check,
//                                            Bayesian verdict, held-out score
//   --set "Key=value" before any of them: a setting instead of its default
//   chisquare_bench --tokens FILE...         the tokens of messages
//   chisquare_bench --timing [corpus]        microseconds per message of each
//                                            step (parse, tokens, learn, ...)
// Run it inside dbus-run-session (the Bayesian filter opens its port). The
// Bayesian verdicts take a while; JUNKWARD_BENCH_BAYES_CACHE names a file that
// keeps them between runs (they do not depend on the Chi-Square filter).
// The split is bayes_bench's: every other message of each set by file name.

#include "SWBayesFilter.h"
#include "SWChiSquareScore.h"
#include "SWChiSquareStore.h"
#include "SWChiSquareTokens.h"
#include "bench/decisions.h"

#include "engine/SievraPort.h"
#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SARef.h"
#include "platform/Bundle.h"
#include "tests/support/ParsedMessage.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kFolds = 5;

struct Sample {
    QString path;
    QByteArray bytes;
    bool spam = false;
    std::vector<QString> tokens;
    QString builtIn;  // the deciding built-in check, empty for none
    bool builtInSpam = false;
    bool bayesSpam = false;  // the cross-validated Bayesian verdict
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
            Sample s;
            s.path = f.fileName();
            s.bytes = f.readAll().left(SievraMaximumMessageBytes);
            s.spam = set.contains("spam", Qt::CaseInsensitive);
            samples.push_back(std::move(s));
        }
    }
    return samples;
}

// JUNKWARD_BENCH_FOLD_SEED: another assignment of messages to folds (0, the
// default, takes every fifth message), to see whether a difference between
// two runs holds beyond one split. The Bayesian cache file of a seed other
// than 0 gets the seed appended to its name.
uint64_t foldSeed() {
    static const uint64_t seed = uint64_t(qEnvironmentVariableIntValue("JUNKWARD_BENCH_FOLD_SEED"));
    return seed;
}

int foldOf(size_t i) {
    const uint64_t seed = foldSeed();
    if (seed == 0)
        return int(i % size_t(kFolds));
    uint64_t h = (uint64_t(i) + 1) * 0x9e3779b97f4a7c15ull ^ seed * 0xc2b2ae3d27d4eb4full;
    h ^= h >> 31;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 29;
    return int(h % uint64_t(kFolds));
}

// The fold of a sample in another partition of the same messages (1, 2, ...):
// from a hash of its file name, so each partition is the same on every run.
// One partition alone is noisy: a single good message scored high moves the
// false positives; a change that gains should gain over several.
int foldOf(const Sample& s, size_t i, int partition) {
    if (partition == 0)
        return foldOf(i);
    uint32_t h = 2166136261u ^ uint32_t(partition);
    for (const char c : QFileInfo(s.path).fileName().toUtf8())
        h = (h ^ uint8_t(c)) * 16777619u;
    h ^= h >> 15;
    return int(h % uint32_t(kFolds));
}

// The Bayesian filter of each fold, learned on the other folds in a fresh
// library; verdicts cached in a file when asked.
void bayesVerdicts(std::vector<Sample>& samples, const QString& localLibrary) {
    QString cache = qEnvironmentVariable("JUNKWARD_BENCH_BAYES_CACHE");
    if (!cache.isEmpty() && foldSeed() != 0)
        cache += QStringLiteral("-seed%1").arg(foldSeed());
    QFile cached(cache);
    if (!cache.isEmpty() && cached.open(QIODevice::ReadOnly)) {
        const QByteArray bits = cached.readAll();
        if (bits.size() == qsizetype(samples.size())) {
            for (size_t i = 0; i < samples.size(); ++i)
                samples[i].bayesSpam = bits[qsizetype(i)] == '1';
            return;
        }
    }
    const auto bundle =
        platform::Bundle::open(localLibrary + "/Application Support/Quillon/Junkward/Plugins/Bayesian/Engine.bundle");
    if (!bundle) {
        std::fprintf(stderr, "chisquare_bench: the Bayesian bundle is not staged; its verdicts count as not spam\n");
        return;
    }
    for (int fold = 0; fold < kFolds; ++fold) {
        QTemporaryDir library;
        qputenv("JUNKWARD_USER_LIBRARY", library.path().toUtf8());
        auto filter = std::make_unique<SWBayesFilter>();
        if (!filter->initializeWithBundle(bundle, "Bayesian"))
            return;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (foldOf(i) == fold)
                continue;
            const testsupport::ParsedMessage p(samples[i].bytes);
            const QString id = QFileInfo(samples[i].path).fileName();
            samples[i].spam ? filter->learnMessageAsSpam(p.part(), id) : filter->learnMessageAsLegitimate(p.part(), id);
        }
        for (size_t i = 0; i < samples.size(); ++i) {
            if (foldOf(i) != fold)
                continue;
            const testsupport::ParsedMessage p(samples[i].bytes);
            samples[i].bayesSpam = filter->filter(p.part()) == SWFilterStatusSpam;
        }
    }
    if (!cache.isEmpty() && cached.open(QIODevice::WriteOnly)) {
        QByteArray bits;
        for (const Sample& s : samples)
            bits += s.bayesSpam ? '1' : '0';
        cached.write(bits);
    }
}

void builtInDecisions(std::vector<Sample>& samples, const QString& localLibrary) {
    const bench::AdvertisementPattern pattern(localLibrary +
                                              "/Application Support/Quillon/Junkward/Junkward Engine.app");
    for (Sample& s : samples) {
        const bench::BuiltInDecision d = bench::builtInDecision(s.bytes, pattern);
        s.builtIn = d.code;
        s.builtInSpam = d.spam;
    }
}

// JUNKWARD_BENCH_DROP: comma-separated token prefixes left out (to measure
// what a kind of token is worth).
void tokenize(std::vector<Sample>& samples) {
    const QStringList drop = qEnvironmentVariable("JUNKWARD_BENCH_DROP").split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (Sample& s : samples) {
        const testsupport::ParsedMessage p(s.bytes);
        s.tokens = SWChiSquareTokens::tokensOfMessage(p.part());
        if (!drop.isEmpty())
            std::erase_if(s.tokens, [&](const QString& t) {
                return std::any_of(drop.begin(), drop.end(), [&](const QString& d) { return t.startsWith(d); });
            });
    }
}

// The held-out score of every sample; with clues, also the tokens that weighed
// most in each.
std::vector<double> crossValidate(const std::vector<Sample>& samples, const SWChiSquareSettings& settings,
                                  std::vector<std::vector<SWChiSquareClue>>* clues = nullptr, int partition = 0) {
    std::vector<double> scores(samples.size(), 0.5);
    if (clues)
        clues->assign(samples.size(), {});
    std::vector<int> folds(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
        folds[i] = foldOf(samples[i], i, partition);
    for (int fold = 0; fold < kFolds; ++fold) {
        QHash<QString, SWChiSquareCounts> counts;
        uint64_t spamTotal = 0, hamTotal = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (folds[i] == fold)
                continue;
            (samples[i].spam ? spamTotal : hamTotal) += 1;
            for (const QString& t : samples[i].tokens) {
                SWChiSquareCounts& c = counts[t];
                (samples[i].spam ? c.spam : c.ham) += 1;
            }
        }
        std::vector<SWChiSquareCounts> found;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (folds[i] != fold)
                continue;
            found.clear();
            for (const QString& t : samples[i].tokens)
                found.push_back(counts.value(t));
            SWChiSquareResult result = SWChiSquareScore::score(samples[i].tokens, found, spamTotal, hamTotal, settings);
            scores[i] = result.score;
            if (clues)
                (*clues)[i] = std::move(result.clues);
        }
    }
    return scores;
}

struct Outcome {
    int ham = 0, spam = 0;
    int chiFalsePositives = 0, chiCaught = 0, chiUnsure = 0, chiHamAsHam = 0, chiSpamAsHam = 0;
    int falsePositives = 0, caught = 0;  // the whole chain
};

// What decides a message: a built-in check, else the Chi-Square filter, else
// the Bayesian filter. Returns the final verdict; decider names who gave it.
bool chainVerdict(const Sample& s, double score, double hamCutoff, double spamCutoff, const char** decider) {
    if (!s.builtIn.isEmpty()) {
        *decider = "built-in";
        return s.builtInSpam;
    }
    if (score >= spamCutoff || score <= hamCutoff) {
        *decider = "Chi-Square";
        return score >= spamCutoff;
    }
    *decider = "Bayesian";
    return s.bayesSpam;
}

Outcome evaluate(const std::vector<Sample>& samples, const std::vector<double>& scores, double hamCutoff,
                 double spamCutoff) {
    Outcome o;
    for (size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        const double score = scores[i];
        (s.spam ? o.spam : o.ham) += 1;
        const bool chiSpam = score >= spamCutoff, chiHam = score <= hamCutoff;
        o.chiFalsePositives += !s.spam && chiSpam;
        o.chiCaught += s.spam && chiSpam;
        o.chiUnsure += !chiSpam && !chiHam;
        o.chiHamAsHam += !s.spam && chiHam;
        o.chiSpamAsHam += s.spam && chiHam;
        const char* decider = "";
        const bool verdict = chainVerdict(s, score, hamCutoff, spamCutoff, &decider);
        o.falsePositives += !s.spam && verdict;
        o.caught += s.spam && verdict;
    }
    return o;
}

void printOutcome(const char* label, const Outcome& o) {
    std::printf("%-34s | Chi-Square: %2d FP %5.1f%% caught %3d unsure %2d spam as good | chain: %2d FP %5.1f%%\n",
                label, o.chiFalsePositives, 100.0 * o.chiCaught / std::max(o.spam, 1), o.chiUnsure, o.chiSpamAsHam,
                o.falsePositives, 100.0 * o.caught / std::max(o.spam, 1));
}

// The cutoffs the chain would do best with on these scores: for each number of
// false positives allowed (0 to 3), the most spam caught over every pair of
// cutoffs, with the band's edges (the highest score called good and the lowest
// called spam). To see whether a narrower, wider or shifted band would help.
void bestCutoffs(const std::vector<Sample>& samples, const std::vector<double>& scores) {
    struct Judged {
        double score;
        bool spam, bayesSpam;
    };
    std::vector<Judged> judged;
    int fixedFalsePositives = 0, fixedCaught = 0;  // by the built-in checks
    for (size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        if (!s.builtIn.isEmpty()) {
            fixedFalsePositives += !s.spam && s.builtInSpam;
            fixedCaught += s.spam && s.builtInSpam;
        } else {
            judged.push_back({scores[i], s.spam, s.bayesSpam});
        }
    }
    std::sort(judged.begin(), judged.end(), [](const Judged& a, const Judged& b) { return a.score < b.score; });
    const size_t n = judged.size();
    // Prefix counts of the Bayesian filter's spam verdicts, suffix counts of all.
    std::vector<int> bayesCaught(n + 1, 0), bayesWrong(n + 1, 0), spamAbove(n + 1, 0), hamAbove(n + 1, 0);
    for (size_t k = 0; k < n; ++k) {
        bayesCaught[k + 1] = bayesCaught[k] + (judged[k].bayesSpam && judged[k].spam);
        bayesWrong[k + 1] = bayesWrong[k] + (judged[k].bayesSpam && !judged[k].spam);
    }
    for (size_t k = n; k-- > 0;) {
        spamAbove[k] = spamAbove[k + 1] + judged[k].spam;
        hamAbove[k] = hamAbove[k + 1] + !judged[k].spam;
    }
    // A cut at k: messages k.. are above it. Only between different scores.
    std::vector<size_t> cuts;
    for (size_t k = 0; k <= n; ++k)
        if (k == 0 || k == n || judged[k - 1].score < judged[k].score)
            cuts.push_back(k);
    for (int allowed = 0; allowed <= 3; ++allowed) {
        int bestCaught = -1;
        size_t bestLow = 0, bestHigh = n;
        for (size_t high : cuts) {
            for (size_t low : cuts) {
                if (low > high)
                    break;
                const int falsePositives = fixedFalsePositives + hamAbove[high] + bayesWrong[high] - bayesWrong[low];
                if (falsePositives > allowed)
                    continue;
                const int caught = fixedCaught + spamAbove[high] + bayesCaught[high] - bayesCaught[low];
                if (caught > bestCaught) {
                    bestCaught = caught;
                    bestLow = low;
                    bestHigh = high;
                }
                break;  // a higher low cut only loses the Bayesian filter's catches
            }
        }
        if (bestCaught < 0)
            continue;
        std::printf("best cutoffs for at most %d FP: %3d spam caught; good up to %.6f, spam from %.6f\n", allowed,
                    bestCaught, bestLow > 0 ? judged[bestLow - 1].score : 0.0,
                    bestHigh < n ? judged[bestHigh].score : 1.0);
    }
}

// Each misjudged message with its score and the tokens that pulled it the
// wrong way most.
void listMisjudged(const std::vector<Sample>& samples, const SWChiSquareSettings& settings) {
    std::vector<std::vector<SWChiSquareClue>> clues;
    const std::vector<double> scores = crossValidate(samples, settings, &clues);
    for (size_t i = 0; i < samples.size(); ++i) {
        const char* decider = "";
        const bool verdict = chainVerdict(samples[i], scores[i], settings.hamCutoff, settings.spamCutoff, &decider);
        if (verdict == samples[i].spam)
            continue;
        std::printf("%s\t%-10s\tscore %.4f\t%s\n ", samples[i].spam ? "spam missed" : "good as spam", decider,
                    scores[i], qPrintable(samples[i].path));
        for (const bool against : {true, false}) {
            int shown = 0;
            std::printf(against ? "  against:" : "\n  for:");
            for (const SWChiSquareClue& c : clues[i]) {
                if ((c.probability > 0.5) == (samples[i].spam == against) || ++shown > 12)
                    continue;
                std::printf(" %s %.2f (%u/%u)", qPrintable(c.token), c.probability, c.counts.spam, c.counts.ham);
            }
        }
        std::printf("\n");
    }
}

void grid(const std::vector<Sample>& samples) {
    std::printf("\nGrid (each line: settings, then cutoffs ham/spam)\n");
    for (double strength : {0.25, 0.45, 1.0}) {
        for (double deviation : {0.0, 0.1, 0.2}) {
            for (int clues : {150, 1000}) {
                SWChiSquareSettings settings;
                settings.strength = strength;
                settings.minimumDeviation = deviation;
                settings.maximumClues = clues;
                const std::vector<double> scores = crossValidate(samples, settings);
                for (double ham : {0.05, 0.2}) {
                    for (double spam : {0.9, 0.95, 0.99}) {
                        char label[96];
                        std::snprintf(label, sizeof label, "s %.2f dev %.2f clues %4d  %.2f/%.2f", strength, deviation,
                                      clues, ham, spam);
                        printOutcome(label, evaluate(samples, scores, ham, spam));
                    }
                }
                std::fflush(stdout);
            }
        }
    }
}

int timing(std::vector<Sample>& samples) {
    QTemporaryDir dir;
    SWChiSquareStore store(dir.path());
    qint64 parseNs = 0, tokensNs = 0, lookUpNs = 0, scoreNs = 0, learnNs = 0;
    QElapsedTimer timer;
    for (size_t i = 0; i < samples.size(); ++i) {
        timer.start();
        const testsupport::ParsedMessage p(samples[i].bytes);
        parseNs += timer.nsecsElapsed();
        timer.start();
        samples[i].tokens = SWChiSquareTokens::tokensOfMessage(p.part());
        tokensNs += timer.nsecsElapsed();
        timer.start();
        store.learn(QString::number(i), samples[i].tokens, samples[i].spam);
        learnNs += timer.nsecsElapsed();
    }
    const SWChiSquareSettings settings;
    std::vector<SWChiSquareCounts> counts;
    size_t tokenCount = 0;
    for (const Sample& s : samples) {
        uint64_t spam = 0, ham = 0;
        tokenCount += s.tokens.size();
        timer.start();
        store.lookUp(s.tokens, counts, &spam, &ham);
        lookUpNs += timer.nsecsElapsed();
        timer.start();
        SWChiSquareScore::score(s.tokens, counts, spam, ham, settings);
        scoreNs += timer.nsecsElapsed();
    }
    const double n = double(samples.size()) * 1000.0;
    std::printf(
        "%zu messages, %.0f tokens each; microseconds per message: parse %.1f, tokens %.1f, learn %.1f, "
        "lookup %.1f, score %.1f\n",
        samples.size(), double(tokenCount) / double(samples.size()), parseNs / n, tokensNs / n, learnNs / n,
        lookUpNs / n, scoreNs / n);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const bool timed = arguments.removeAll(QStringLiteral("--timing")) > 0;
    const bool list = arguments.removeAll(QStringLiteral("--list")) > 0;
    const bool dump = arguments.removeAll(QStringLiteral("--scores")) > 0;
    // --set "Key=value": a setting of the filter's preferences instead of its default.
    QVariantMap chosen;
    for (qsizetype i = arguments.indexOf(QStringLiteral("--set")); i >= 0 && i + 1 < arguments.size();
         i = arguments.indexOf(QStringLiteral("--set"))) {
        const QString pair = arguments.takeAt(i + 1);
        arguments.removeAt(i);
        chosen.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1).toDouble());
    }
    if (arguments.value(0) == QLatin1String("--tokens")) {
        for (const QString& path : arguments.mid(1)) {
            QFile f(path);
            if (!f.open(QIODevice::ReadOnly))
                continue;
            const testsupport::ParsedMessage p(f.readAll());
            std::vector<QString> tokens = SWChiSquareTokens::tokensOfMessage(p.part());
            std::sort(tokens.begin(), tokens.end());
            for (const QString& t : tokens)
                std::printf("%s\n", qPrintable(t));
        }
        return 0;
    }
    QString corpus = arguments.value(0, qEnvironmentVariable("JUNKWARD_CORPUS_DIR"));
    if (corpus.isEmpty())
        corpus = QDir::currentPath() + "/bench/data/spam-assassin";
    std::vector<Sample> samples = loadLearnedHalf(corpus);
    if (samples.empty()) {
        std::fprintf(stderr, "chisquare_bench: no messages under %s\n", qPrintable(corpus));
        return 2;
    }
    if (timed)
        return timing(samples);
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        std::fprintf(stderr, "chisquare_bench: run it inside dbus-run-session\n");
        return 2;
    }
    const QString stage = qEnvironmentVariableIsEmpty("JUNKWARD_STAGE")
                              ? QCoreApplication::applicationDirPath() + "/../stage"
                              : qEnvironmentVariable("JUNKWARD_STAGE");
    const QString localLibrary = QDir::cleanPath(stage + "/Library");
    qputenv("JUNKWARD_LOCAL_LIBRARY", localLibrary.toUtf8());
    QByteArray runtimeTemplate = "/tmp/jcb-XXXXXX";
    if (const char* runtime = mkdtemp(runtimeTemplate.data()))
        qputenv("XDG_RUNTIME_DIR", runtime);

    builtInDecisions(samples, localLibrary);
    bayesVerdicts(samples, localLibrary);
    tokenize(samples);
    const auto spamCount = std::count_if(samples.begin(), samples.end(), [](const Sample& s) { return s.spam; });
    std::printf("Learned half: %zu messages (%lld spam); %d-fold cross-validation\n\n", samples.size(),
                (long long)spamCount, kFolds);
    QStringList problems;
    const SWChiSquareSettings defaults = SWChiSquareSettings::fromDictionary(chosen, &problems);
    for (const QString& problem : problems)
        std::fprintf(stderr, "chisquare_bench: %s\n", qPrintable(problem));
    if (dump) {
        // One line per message: path, spam, deciding built-in check, Bayesian verdict, score.
        const std::vector<double> scores = crossValidate(samples, defaults);
        for (size_t i = 0; i < samples.size(); ++i)
            std::printf("%s\t%d\t%s\t%d\t%d\t%.6f\n", qPrintable(samples[i].path), int(samples[i].spam),
                        samples[i].builtIn.isEmpty() ? "-" : qPrintable(samples[i].builtIn),
                        int(samples[i].builtInSpam), int(samples[i].bayesSpam), scores[i]);
        return 0;
    }
    if (list) {
        listMisjudged(samples, defaults);
        return 0;
    }
    const std::vector<double> scores = crossValidate(samples, defaults);
    printOutcome("default settings", evaluate(samples, scores, defaults.hamCutoff, defaults.spamCutoff));
    bestCutoffs(samples, scores);
    // The same on three other partitions into folds, and the sum of all four.
    // The Bayesian verdicts stay those of the first partition: each is still
    // given by a filter that did not learn the message.
    Outcome sum = evaluate(samples, scores, defaults.hamCutoff, defaults.spamCutoff);
    for (int partition = 1; partition <= 3; ++partition) {
        const Outcome o = evaluate(samples, crossValidate(samples, defaults, nullptr, partition), defaults.hamCutoff,
                                   defaults.spamCutoff);
        char label[64];
        std::snprintf(label, sizeof label, "default settings, partition %d", partition);
        printOutcome(label, o);
        sum.chiFalsePositives += o.chiFalsePositives;
        sum.chiCaught += o.chiCaught;
        sum.chiUnsure += o.chiUnsure;
        sum.chiSpamAsHam += o.chiSpamAsHam;
        sum.falsePositives += o.falsePositives;
        sum.caught += o.caught;
    }
    std::printf("four partitions: Chi-Square %d FP, %d caught, %d unsure, %d spam as good | chain %d FP, %d caught\n",
                sum.chiFalsePositives, sum.chiCaught, sum.chiUnsure, sum.chiSpamAsHam, sum.falsePositives, sum.caught);
    grid(samples);
    return 0;
}
