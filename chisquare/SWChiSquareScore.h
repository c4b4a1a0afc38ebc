#pragma once
// Scoring of the Chi-Square filter: Robinson's per-token probability, combined
// by Fisher's inverse chi-square over the tokens that are far enough from 0.5.
// The score runs from 0 (good mail) to 1 (spam); between the ham and spam
// cutoffs the filter is unsure. Pure computation: the counts come from the store.

#include "SWChiSquareStore.h"
#include "SWChiSquareTokens.h"

#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <vector>

// Keys under "Settings" of the filter's preferences.
inline constexpr const char* SWChiSquareSpamCutoffKey = "Spam Cutoff";
inline constexpr const char* SWChiSquareHamCutoffKey = "Ham Cutoff";
inline constexpr const char* SWChiSquareStrengthKey = "Unknown Word Strength";
inline constexpr const char* SWChiSquareUnknownProbabilityKey = "Unknown Word Probability";
inline constexpr const char* SWChiSquareMinimumDeviationKey = "Minimum Deviation";
inline constexpr const char* SWChiSquareMaximumCluesKey = "Maximum Clues";
inline constexpr const char* SWChiSquareMinimumLearnedKey = "Minimum Learned";

// The defaults were chosen by 5-fold cross-validation on the learned half of
// the public corpus (bench/chisquare_bench, summed over eight partitions into
// folds), for the fewest good messages judged spam by the whole chain, then the
// most spam caught. The unsure band is narrow and high: below 0.9 the Bayesian
// filter after this one called as much good mail spam as it caught spam, so
// only the clearly spam-leaning mixed messages go to it.
struct SWChiSquareSettings {
    double spamCutoff = 0.94;
    double hamCutoff = 0.9;
    double strength = 0.3;            // weight of the prior for rarely seen tokens
    double unknownProbability = 0.5;  // the prior
    double minimumDeviation = 0.02;   // tokens nearer 0.5 than this are ignored
    int maximumClues = 300;           // at most this many tokens, the strongest
    int minimumLearned = 200;         // of each kind, before the filter has an opinion

    // The settings of a preference "Settings" dictionary: a value of the wrong
    // type or out of range, or cutoffs in the wrong order, keeps its default and
    // is reported in problems (one line each).
    static SWChiSquareSettings fromDictionary(const QVariantMap& settings, QStringList* problems);
    QVariantMap toDictionary() const;
};

struct SWChiSquareClue {
    QString token;
    double probability = 0.5;
    SWChiSquareCounts counts;
};

struct SWChiSquareResult {
    double score = 0.5;
    std::vector<SWChiSquareClue> clues;  // the tokens used, strongest first
};

class SWChiSquareScore {
public:
    // Robinson's probability that a message containing the token is spam.
    static double tokenProbability(const SWChiSquareCounts& counts, uint64_t spamTotal, uint64_t hamTotal,
                                   const SWChiSquareSettings& settings);
    // The probability that a chi-square variable with degrees (even) of freedom is
    // at least x2.
    static double chi2Q(double x2, int degrees);
    // Combines the probabilities of the tokens far enough from 0.5.
    static SWChiSquareResult score(const std::vector<QString>& tokens, const std::vector<SWChiSquareCounts>& counts,
                                   uint64_t spamTotal, uint64_t hamTotal, const SWChiSquareSettings& settings);
    // The same on a message's token list, without a string per token.
    static SWChiSquareResult score(const SWChiSquareTokenList& tokens, const std::vector<SWChiSquareCounts>& counts,
                                   uint64_t spamTotal, uint64_t hamTotal, const SWChiSquareSettings& settings);
};
