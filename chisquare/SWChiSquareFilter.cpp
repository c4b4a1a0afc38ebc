#include "SWChiSquareFilter.h"

#include "SWChiSquareStore.h"
#include "SWChiSquareTokens.h"

#include "common/QSignalEnterCritical.h"
#include "engine/SWNotifications.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

#include <QCryptographicHash>
#include <QObject>
#include <QTimer>
#include <QVariantList>

#include <algorithm>

namespace {

constexpr const char* kLogSettings = "[SWChiSquareFilter] Settings: %1";
constexpr const char* kLogNoStore = "[SWChiSquareFilter] The token store could not be opened; nothing is learned";
constexpr const char* kLogScore = "%1: Score: %2\n";
constexpr int kSyncDelayMs = 2000;

QString cachesFolder() {
    const QString caches = platform::folders::userCaches();
    return caches.isEmpty() ? platform::folders::homeFolder() + QStringLiteral("/Library/Caches") : caches;
}

// The key a training is remembered by: the message ID, or for a message
// without one a digest of its tokens (the same message gives the same key).
QString trainingKey(const QString& messageID, const std::vector<QString>& tokens) {
    if (!messageID.isEmpty())
        return messageID;
    std::vector<QString> sorted = tokens;  // the same digest in every process
    std::sort(sorted.begin(), sorted.end());
    QCryptographicHash hash(QCryptographicHash::Sha1);
    for (const QString& token : sorted) {
        hash.addData(token.toUtf8());
        hash.addData(QByteArrayView("\n", 1));
    }
    return QStringLiteral("digest:") + QString::fromLatin1(hash.result().toHex());
}

}  // namespace

SWChiSquareFilter::SWChiSquareFilter() : context_(std::make_unique<QObject>()) {}

SWChiSquareFilter::~SWChiSquareFilter() {
    syncTimer_.reset();
    store_.reset();  // closing writes everything to disk
}

SWPlugInFilter* SWChiSquareFilter::initializeWithBundle(std::shared_ptr<platform::Bundle> bundle,
                                                        const QString& identifier) {
    if (!SWPlugInFilter::initializeWithBundle(std::move(bundle), identifier))
        return nullptr;
    openStore();
    return this;
}

void SWChiSquareFilter::openStore(const QString& folder) {
    store_.reset();
    store_ = std::make_unique<SWChiSquareStore>(folder.isEmpty() ? cachesFolder() : folder);
    if (!store_->isOpen())
        platform::log::console(QLatin1String(kLogNoStore));
}

void SWChiSquareFilter::updatePreferences(const QVariantMap& preferences) {
    const QVariant value = preferences.value(QLatin1String(sw::SWPreferencesSettingsKey));
    QStringList problems;
    settings_ = SWChiSquareSettings::fromDictionary(
        value.typeId() == QMetaType::QVariantMap ? value.toMap() : QVariantMap(), &problems);
    for (const QString& problem : problems)
        platform::log::console(QString::fromLatin1(kLogSettings).arg(problem));
}

SWChiSquareVerdict SWChiSquareFilter::judge(SAMIMEPart* message) {
    SWChiSquareVerdict verdict;
    if (!message || !store_)
        return verdict;
    const SWChiSquareTokenList tokens = SWChiSquareTokens::tokenListOfMessage(message);
    std::vector<SWChiSquareCounts> counts;
    uint64_t spamTotal = 0, hamTotal = 0;
    if (!store_->lookUp(tokens, counts, &spamTotal, &hamTotal))
        return verdict;
    SWChiSquareResult result = SWChiSquareScore::score(tokens, counts, spamTotal, hamTotal, settings_);
    verdict.score = result.score;
    if (result.clues.size() > size_t(SWChiSquareExplainedClues))
        result.clues.resize(size_t(SWChiSquareExplainedClues));
    verdict.clues = std::move(result.clues);
    const uint64_t minimum = uint64_t(settings_.minimumLearned);
    verdict.trained = spamTotal >= minimum && hamTotal >= minimum;
    if (verdict.trained) {
        if (verdict.score >= settings_.spamCutoff)
            verdict.status = SWFilterStatusSpam;
        else if (verdict.score <= settings_.hamCutoff)
            verdict.status = SWFilterStatusLegitimate;
    }
    return verdict;
}

qint32 SWChiSquareFilter::filter(SAMIMEPart* message) {
    last_ = judge(message);
    if (logReason_)
        platform::log::console(QString::fromLatin1(kLogScore).arg(identifier_).arg(last_.score, 0, 'f', 6));
    return last_.status;
}

namespace {

// Made for every judged message: the keys are converted once.
QVariantMap explanationOf(const SWChiSquareVerdict& verdict) {
    static const QString token = QLatin1String(SWChiSquareExplainTokenKey);
    static const QString probability = QLatin1String(SWChiSquareExplainProbabilityKey);
    static const QString spam = QLatin1String(SWChiSquareExplainSpamKey);
    static const QString ham = QLatin1String(SWChiSquareExplainHamKey);
    QVariantList tokens;
    tokens.reserve(qsizetype(verdict.clues.size()));
    for (const SWChiSquareClue& clue : verdict.clues)
        tokens << QVariantMap{{token, clue.token},
                              {probability, clue.probability},
                              {spam, qint64(clue.counts.spam)},
                              {ham, qint64(clue.counts.ham)}};
    return {{QLatin1String(SWChiSquareExplainScoreKey), verdict.score},
            {QLatin1String(SWChiSquareExplainVerdictKey), qint64(verdict.status)},
            {QLatin1String(SWChiSquareExplainTrainedKey), verdict.trained},
            {QLatin1String(SWChiSquareExplainTokensKey), tokens}};
}

}  // namespace

QVariantMap SWChiSquareFilter::explain(SAMIMEPart* message) { return explanationOf(judge(message)); }

QVariantMap SWChiSquareFilter::lastExplanation() { return explanationOf(last_); }

bool SWChiSquareFilter::learn(SAMIMEPart* message, const QString& messageID, bool spam, bool onlyNew) {
    if (!message || !store_ || !store_->isOpen())
        return false;
    const std::vector<QString> tokens = SWChiSquareTokens::tokensOfMessage(message);
    return learnTokens(tokens, trainingKey(messageID, tokens), spam, onlyNew);
}

bool SWChiSquareFilter::learnTokens(const std::vector<QString>& tokens, const QString& key, bool spam, bool onlyNew) {
    // Automatic training leaves alone what was learned before, by the user or
    // automatically.
    if (onlyNew && store_->markForKey(key))
        return true;
    return learnKeys(SWChiSquareStore::Keys(key, tokens), spam);
}

bool SWChiSquareFilter::learnKeys(SWChiSquareStore::Keys keys, bool spam) {
    // In a batch nothing is stored before its end.
    if (store_->inBatch())
        return store_->learn(std::move(keys), spam) != SWChiSquareStore::Training::Failed;
    QSignalEnterCritical();
    const SWChiSquareStore::Training outcome = store_->learn(std::move(keys), spam);
    QSignalExitCritical();
    if (outcome == SWChiSquareStore::Training::Failed)
        return false;
    didLearn();
    return true;
}

void SWChiSquareFilter::didLearn() {
    scheduleSync();
    platform::DistributedNotificationCenter::defaultCenter().postInBackground(
        QLatin1String(sw::SWPlugInPreferencesDidLearn), identifier_);
}

void SWChiSquareFilter::beginLearningBatch() {
    if (store_ && store_->isOpen())
        store_->beginBatch();  // when it cannot, each message is stored alone
}

bool SWChiSquareFilter::preparesLearning() const { return store_ && store_->inBatch(); }

namespace {

struct PreparedKeys : SWPreparedLearning {
    explicit PreparedKeys(SWChiSquareStore::Keys k) : keys(std::move(k)) {}
    SWChiSquareStore::Keys keys;
};

}  // namespace

// Runs on the batch's second thread: the message alone.
std::unique_ptr<SWPreparedLearning> SWChiSquareFilter::prepareToLearn(SAMIMEPart* message,
                                                                      const QString& messageID) {
    if (!message)
        return nullptr;
    const SWChiSquareTokenList tokens = SWChiSquareTokens::tokenListOfMessage(message);
    const QString key = messageID.isEmpty() ? trainingKey(messageID, tokens.toStrings()) : messageID;
    return std::make_unique<PreparedKeys>(SWChiSquareStore::Keys(key, tokens));
}

bool SWChiSquareFilter::learnPreparedMessage(SAMIMEPart* message, const QString& messageID, bool spam,
                                             std::unique_ptr<SWPreparedLearning> prepared) {
    auto* p = dynamic_cast<PreparedKeys*>(prepared.get());
    if (!p || !message || !store_ || !store_->isOpen())
        return learn(message, messageID, spam, false);
    return learnKeys(std::move(p->keys), spam);
}

bool SWChiSquareFilter::endLearningBatch() {
    if (!store_ || !store_->inBatch())
        return true;
    QSignalEnterCritical();
    const bool committed = store_->commitBatch();
    QSignalExitCritical();
    if (committed)
        didLearn();
    return committed;
}

bool SWChiSquareFilter::learnMessageAsSpam(SAMIMEPart* message, const QString& messageID) {
    return learn(message, messageID, true, false);
}

bool SWChiSquareFilter::learnMessageAsLegitimate(SAMIMEPart* message, const QString& messageID) {
    return learn(message, messageID, false, false);
}

bool SWChiSquareFilter::automaticallyTrainWithMessage(SAMIMEPart* message, const QString& messageID,
                                                      qint32 engineStatus) {
    switch (engineStatus) {
    case SWFilterStatusSpam:
        return learn(message, messageID, true, true);
    case SWFilterStatusLegitimate:
    case SWFilterStatusUndecided:
        return learn(message, messageID, false, true);
    default:
        return true;
    }
}

// Committed trainings survive a killed engine as they are; a flush to the disk
// a little after the last one keeps them through a power loss too.
void SWChiSquareFilter::scheduleSync() {
    if (!syncTimer_) {
        syncTimer_ = std::make_unique<QTimer>();
        syncTimer_->setSingleShot(true);
        QObject::connect(syncTimer_.get(), &QTimer::timeout, context_.get(), [this] {
            if (store_)
                store_->sync();
        });
    }
    syncTimer_->start(kSyncDelayMs);
}
