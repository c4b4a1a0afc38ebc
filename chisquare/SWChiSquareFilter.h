#pragma once
// The Chi-Square filter: the principal class of Plugins/ChiSquare/Engine.bundle.
//
// Judges each message by Fisher's combining of the Robinson probabilities of
// its words, sender-side header tokens and link hosts: spam at or above the
// spam cutoff, good mail at or below the ham cutoff, undecided in between (the
// Bayesian filter after it decides those) and until enough of both kinds has
// been learned. Every training is one transaction of its own token store (a
// learning batch is one transaction as a whole), which also records how each
// message is counted, so a message learned the other way is taken back first.
// Everything runs on the engine's main thread, except taking the messages of a
// batch apart into tokens (prepareToLearn).

#include "SWChiSquareScore.h"
#include "SWChiSquareStore.h"

#include "engine/SWPlugInFilter.h"

#include <QString>
#include <QVariantMap>

#include <memory>
#include <vector>

class QObject;
class QTimer;

// The filter keeps this many of the tokens that weighed most in a verdict.
inline constexpr int SWChiSquareExplainedClues = 10;

// Keys of an explanation.
inline constexpr const char* SWChiSquareExplainScoreKey = "Score";
inline constexpr const char* SWChiSquareExplainVerdictKey = "Verdict";
inline constexpr const char* SWChiSquareExplainTrainedKey = "Trained";
inline constexpr const char* SWChiSquareExplainTokensKey = "Tokens";
inline constexpr const char* SWChiSquareExplainTokenKey = "Token";
inline constexpr const char* SWChiSquareExplainProbabilityKey = "Probability";
inline constexpr const char* SWChiSquareExplainSpamKey = "Spam";
inline constexpr const char* SWChiSquareExplainHamKey = "Ham";

struct SWChiSquareVerdict {
    qint32 status = SWFilterStatusUndecided;
    double score = 0.5;
    bool trained = false;                // both kinds learned often enough for an opinion
    std::vector<SWChiSquareClue> clues;  // the strongest, at most SWChiSquareExplainedClues
};

class SWChiSquareFilter : public SWPlugInFilter {
public:
    SWChiSquareFilter();
    ~SWChiSquareFilter() override;

    SWPlugInFilter* initializeWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier) override;

    qint32 filter(SAMIMEPart* message) override;
    bool automaticallyTrainWithMessage(SAMIMEPart* message, const QString& messageID, qint32 engineStatus) override;
    bool learnMessageAsSpam(SAMIMEPart* message, const QString& messageID) override;
    bool learnMessageAsLegitimate(SAMIMEPart* message, const QString& messageID) override;
    void beginLearningBatch() override;
    bool endLearningBatch() override;
    bool preparesLearning() const override;
    std::unique_ptr<SWPreparedLearning> prepareToLearn(SAMIMEPart* message, const QString& messageID) override;
    bool learnPreparedMessage(SAMIMEPart* message, const QString& messageID, bool spam,
                              std::unique_ptr<SWPreparedLearning> prepared) override;
    void updatePreferences(const QVariantMap& preferences) override;
    QVariantMap explain(SAMIMEPart* message) override;
    QVariantMap lastExplanation() override;

    // Judges without keeping anything.
    SWChiSquareVerdict judge(SAMIMEPart* message);
    // The verdict of the last message filter() judged.
    const SWChiSquareVerdict& lastVerdict() const { return last_; }
    const SWChiSquareSettings& settings() const { return settings_; }
    SWChiSquareStore* store() const { return store_.get(); }
    // The store in another folder (tests, benchmarks); empty = the user's caches.
    void openStore(const QString& folder = {});

private:
    bool learn(SAMIMEPart* message, const QString& messageID, bool spam, bool onlyNew);
    bool learnTokens(const std::vector<QString>& tokens, const QString& key, bool spam, bool onlyNew);
    bool learnKeys(SWChiSquareStore::Keys keys, bool spam);
    void scheduleSync();
    void didLearn();

    std::unique_ptr<QObject> context_;
    std::unique_ptr<QTimer> syncTimer_;
    std::unique_ptr<SWChiSquareStore> store_;
    SWChiSquareSettings settings_;
    SWChiSquareVerdict last_;
};
