#pragma once
// The Bayesian filter: the principal class of Plugins/Bayesian/Engine.bundle.
//
// Judges each message by the spam probability of its tokens (spam at 0.9 and
// above, otherwise undecided), learns the messages the user marks and, when
// "Automatically Learn" is on, the engine's verdicts. A training history keeps
// how each message was learned, so a message learned the wrong way is taken
// back when it is learned the other way. The token store is aged on a
// background thread every 7 days while "Clean Periodically" is on, and the
// settings panel's maintenance requests arrive as distributed notifications.
// Everything but the ageing runs on the engine's main thread.

#include "engine/SWPlugInFilter.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

class QObject;
class QTimer;
class SWDataBase;
struct SWProcessNode;

namespace platform {
class LocalMessagePort;
}

// Notifications of the database maintenance (distributed, the filter's
// identifier as object).
inline constexpr const char* SWBayesDataBaseShouldReset = "SWBayesDataBaseShouldReset";
inline constexpr const char* SWBayesDataBaseShouldAddWord = "SWBayesDataBaseShouldAddWord";
inline constexpr const char* SWBayesDataBaseShouldRemoveWords = "SWBayesDataBaseShouldRemoveWords";
inline constexpr const char* SWBayesDataBaseShouldOptimize = "SWBayesDataBaseShouldOptimize";
inline constexpr const char* SWBayesDataBaseOperationDone = "SWBayesDataBaseOperationDone";
inline constexpr const char* SWBayesDataBaseWillClean = "SWBayesDataBaseWillClean";
inline constexpr const char* SWBayesDataBaseDidClean = "SWBayesDataBaseDidClean";
// Key of the last-clean file.
inline constexpr const char* SWBayesDataBaseLastClean = "Last Clean";
// Key of the word list of SWBayesDataBaseShouldRemoveWords.
inline constexpr const char* SWBayesDataBaseSelectionKey = "Selection";

// Keys of the training history.
inline constexpr const char* JKW5_TRAININGCENTER_VERSION = "Version";
inline constexpr const char* JKW5_TRAININGCENTER_HISTORY = "History";
inline constexpr const char* JKW5_TRAININGCENTER_MARKS = "Marks";
inline constexpr const char* SWBayesTrainingCenterVersion = "5";
// Key of the batch history of an earlier form: the store transaction it belongs to.
inline constexpr const char* SWBayesBatchTransactionKey = "Transaction";

// Files.
inline constexpr const char* SWBayesTrainingHistoryName = "Junkward Training Center History";
inline constexpr const char* SWBayesLastCleanName = "com.quillon.junkward.lastClean";

// Settings under "Settings" of the filter's preferences.
inline constexpr const char* SWBayesCleanPeriodicallyKey = "Clean Periodically";
inline constexpr const char* SWBayesAutomaticallyLearnKey = "Automatically Learn";

// The filter's message port.
inline constexpr const char* SWBayesMessagePortName = "Junkward Bayesian";

// A message is spam from this spamitude on.
inline constexpr float SWBayesSpamThreshold = 0.9f;
// The history keeps at most this many message IDs.
inline constexpr int SWBayesHistoryLimit = 8193;

class SWBayesFilter : public SWPlugInFilter {
public:
    SWBayesFilter();
    ~SWBayesFilter() override;

    SWPlugInFilter* initializeWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier) override;
    bool serviceSupportsUpdate() const override { return false; }
    bool hasConfigurationUI() const override { return true; }

    qint32 filter(SAMIMEPart* message) override;
    bool automaticallyTrainWithMessage(SAMIMEPart* message, const QString& messageID, qint32 engineStatus) override;
    bool learnMessageAsSpam(SAMIMEPart* message, const QString& messageID) override;
    bool learnMessageAsLegitimate(SAMIMEPart* message, const QString& messageID) override;
    // A batch stores its messages in one store transaction; the training
    // history is written with it (a companion file names the transaction, so a
    // history written for a commit that never happened is not taken).
    void beginLearningBatch() override;
    bool endLearningBatch() override;
    bool preparesLearning() const override;
    std::unique_ptr<SWPreparedLearning> prepareToLearn(SAMIMEPart* message, const QString& messageID) override;
    bool learnPreparedMessage(SAMIMEPart* message, const QString& messageID, bool spam,
                              std::unique_ptr<SWPreparedLearning> prepared) override;
    void updatePreferences(const QVariantMap& preferences) override;
    // The spamitude and the fifteen tokens farthest from 0.5 ("Score",
    // "Verdict", "Malus" points, "Tokens" with "Token" and "Probability").
    QVariantMap explain(SAMIMEPart* message) override;
    // The same for the message filter() judged last, from its kept process
    // tree: the lookups hit the store's cache of that judgement.
    QVariantMap lastExplanation() override;

    // Writes the training history now (normally 1 s after the last training).
    void delayedSaveBulletinOnDisk();

    // Maintenance requests of the settings panel.
    void dataBaseShouldReset(const platform::Notification& notification);
    void dataBaseShouldAddWord(const platform::Notification& notification);
    void dataBaseShouldRemoveWords(const platform::Notification& notification);
    void dataBaseShouldOptimize(const platform::Notification& notification);

    // The periodic-cleaning timer: cleans when the last cleaning is 7 days old.
    void periodicClean();
    // Ageing of the token store, run on its own thread.
    void cleanThreaded();
    void cleanThreadedDidFinish();

    // State, for the front end's questions and for tests.
    bool automaticLearning() const { return automaticLearning_; }
    bool periodicCleaning() const { return periodicClean_; }
    bool cleaningInProgress() const { return cleaner_.joinable(); }
    QStringList history() const { return history_; }
    std::optional<int> markForMessageID(const QString& messageID) const;
    QString bulletinPath() const { return bulletinPath_; }
    // The history written for a batch before its commit (the store's
    // transaction number in its name).
    QString batchBulletinPath(uint64_t transaction) const;
    QString cookiePath() const { return cookiePath_; }
    // The history as the property list that is saved.
    QVariantMap bulletin() const;

    // The clock of cleaning decisions; tests move it.
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }

private:
    struct Prepared;
    // prepared: the message's tokens taken apart beforehand (null: here).
    bool learnMessage(SAMIMEPart* message, const QString& messageID, bool spam, const Prepared* prepared = nullptr);
    void appendToHistory(const QString& messageID);
    void scheduleBulletinSave();
    void loadBulletin();
    void completeBatchBulletin();
    void startCleaning();
    void postDidLearn();
    void post(const char* name);
    QDateTime now() const;

    std::unique_ptr<QObject> context_;  // owns the timers and queued calls of the filter
    // What filter() worked out last, for lastExplanation().
    std::unique_ptr<SWProcessNode> lastTree_;
    std::vector<std::pair<float, const QString*>> lastScored_;  // keys point into lastTree_
    float lastSpamitude_ = 0.0f;
    bool lastJudged_ = false;
    std::unique_ptr<platform::LocalMessagePort> messagePortRef_;
    std::unique_ptr<QTimer> timer_;      // periodic cleaning, present while it is on
    std::unique_ptr<QTimer> saveTimer_;  // delayed history save
    QString cookiePath_;
    bool periodicClean_ = false;
    bool automaticLearning_ = false;
    QString bulletinPath_;
    QStringList history_;        // message IDs, oldest first
    QSet<QString> historySet_;   // the same, for lookups
    QHash<QString, int> marks_;  // -n: spam n times in a row, +n: legitimate
    std::thread cleaner_;
    std::function<QDateTime()> clock_;
    QList<int> observers_;
    // The history as it was before the open batch, restored when it fails.
    struct HistorySnapshot {
        QStringList history;
        QSet<QString> historySet;
        QHash<QString, int> marks;
    };
    std::optional<HistorySnapshot> batch_;
};
