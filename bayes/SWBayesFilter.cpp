#include "SWBayesFilter.h"

#include "SWDataBase.h"
#include "SWProcessor.h"
#include "SWTokenizer.h"

#include "common/QSignalEnterCritical.h"
#include "engine/SWNotifications.h"
#include "platform/Bundle.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QTimer>
#include <QVariantList>

#include <algorithm>
#include <climits>
#include <fcntl.h>
#include <future>
#include <unistd.h>
#include <cmath>

namespace {

constexpr const char* kLogPortFailed =
    "SWBayesFilter: It was not possible to register the Message Port for the Bayesian filter.";
constexpr const char* kLogCannotRemoveCachesFile = "[SWBayesFilter init] Unable to remove the ~/Library/Caches file";
constexpr const char* kLogCannotCreateCaches = "[SWBayesFilter init] Unable to create the ~/Library/Caches folder";
constexpr const char* kLogSaveNoFolder =
    "[SWBayesFilter delayedSaveBulletinOnDisk:] Unable to create the ~/Library/Caches folder";
constexpr const char* kLogSaveFailed =
    "[SWBayesFilter delayedSaveBulletinOnDisk:] Unable to write the training history";
constexpr const char* kLogHistoryDamaged = "[SWBayesFilter init] The training history is damaged; a new one is started";
constexpr const char* kLogTreeNil = "%1: Token hierarchy is nil.";
constexpr const char* kLogSpamitude = "%1: Spamitude: %2\n";

constexpr int kHistorySaveDelayMs = 1000;
constexpr int kPeriodicCleanIntervalMs = 300 * 1000;
constexpr qint64 kCleanIntervalSeconds = 604800;  // 7 days

QString cachesFolder() {
    const QString caches = platform::folders::userCaches();
    return caches.isEmpty() ? platform::folders::homeFolder() + QStringLiteral("/Library/Caches") : caches;
}

QString preferencesFolder() {
    const QString preferences = platform::folders::userPreferences();
    return preferences.isEmpty() ? platform::folders::homeFolder() + QStringLiteral("/Library/Preferences")
                                 : preferences;
}

int clampToInt(qint64 value) { return int(std::clamp<qint64>(value, INT_MIN + 1, INT_MAX)); }

}  // namespace

SWBayesFilter::SWBayesFilter() : context_(std::make_unique<QObject>()) {}

SWBayesFilter::~SWBayesFilter() {
    for (int token : observers_)
        platform::DistributedNotificationCenter::defaultCenter().removeObserver(token);
    // A pending history save is written now rather than lost with the process.
    if (saveTimer_ && saveTimer_->isActive()) {
        saveTimer_->stop();
        delayedSaveBulletinOnDisk();
    }
    timer_.reset();
    if (cleaner_.joinable())
        cleaner_.join();  // the ageing thread works on the store about to be closed
    SWDataBase::releaseSharedDataBase();
}

QDateTime SWBayesFilter::now() const { return clock_ ? clock_() : QDateTime::currentDateTimeUtc(); }

SWPlugInFilter* SWBayesFilter::initializeWithBundle(std::shared_ptr<platform::Bundle> bundle,
                                                    const QString& identifier) {
    const std::shared_ptr<platform::Bundle> ownBundle = bundle;
    if (!SWPlugInFilter::initializeWithBundle(std::move(bundle), identifier))
        return nullptr;

    // 1. The tokenizer's tables, from the bundle's resources.
    if (ownBundle)
        SWTokenizer::initializeCharacterSet(*ownBundle);

    // 2. The maintenance requests of the settings panel.
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    const std::optional<QString> object = identifier_;
    observers_ << center.addObserver(SWBayesDataBaseShouldReset, object,
                                     [this](const platform::Notification& n) { dataBaseShouldReset(n); });
    observers_ << center.addObserver(SWBayesDataBaseShouldRemoveWords, object,
                                     [this](const platform::Notification& n) { dataBaseShouldRemoveWords(n); });
    observers_ << center.addObserver(SWBayesDataBaseShouldAddWord, object,
                                     [this](const platform::Notification& n) { dataBaseShouldAddWord(n); });
    observers_ << center.addObserver(SWBayesDataBaseShouldOptimize, object,
                                     [this](const platform::Notification& n) { dataBaseShouldOptimize(n); });

    // 3. The filter's port; nothing is asked of it, every request gets no data.
    messagePortRef_ = platform::LocalMessagePort::create(QLatin1String(SWBayesMessagePortName),
                                                         [](qint32, const QByteArray&, uid_t) { return QByteArray(); });
    if (!messagePortRef_)
        platform::log::console(QLatin1String(kLogPortFailed));

    // 4. The caches folder, replacing a file that has its name.
    const QString caches = cachesFolder();
    bool cachesReady = true;
    QFileInfo info(caches);
    if (info.exists() && !info.isDir()) {
        if (!QFile::remove(caches)) {
            platform::log::console(QLatin1String(kLogCannotRemoveCachesFile));
            cachesReady = false;
        }
    }
    if (cachesReady && !platform::folders::ensureFolder(caches)) {
        platform::log::console(QLatin1String(kLogCannotCreateCaches));
        cachesReady = false;
    }

    // 5. The training history.
    if (cachesReady)
        bulletinPath_ = caches + QLatin1Char('/') + QLatin1String(SWBayesTrainingHistoryName);
    loadBulletin();

    // 6. The last-clean file.
    cookiePath_ = preferencesFolder() + QLatin1Char('/') + QLatin1String(SWBayesLastCleanName);
    return this;
}

QString SWBayesFilter::batchBulletinPath(uint64_t transaction) const {
    return bulletinPath_.isEmpty() ? QString()
                                   : bulletinPath_ + QLatin1String(".batch-") + QString::number(transaction);
}

namespace {

// Moves a written file over another and makes the move last.
bool replaceFile(const QString& from, const QString& to) {
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return false;
    const int folder = ::open(QFile::encodeName(QFileInfo(to).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

}  // namespace

// The history of a batch whose process died while it committed replaces the
// history file when the store holds that commit; otherwise it is dropped. Each
// batch's history is written, before its commit, as "<history>.batch-<commit>",
// the file's final content; an earlier form, "<history>.batch", holds the commit
// under its own key. Of several, the newest the store holds wins.
void SWBayesFilter::completeBatchBulletin() {
    if (bulletinPath_.isEmpty())
        return;
    const QFileInfo info(bulletinPath_);
    const QDir folder = info.absoluteDir();
    const QString prefix = info.fileName() + QLatin1String(".batch");
    const QStringList names = folder.entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden);
    if (names.isEmpty())
        return;
    SWDataBase* db = SWDataBase::sharedDataBase();
    const uint64_t stored = db ? db->lastTransaction() : 0;
    QString best;
    uint64_t bestTransaction = 0;
    std::optional<QVariantMap> bestContent;  // the earlier form, rewritten without its key
    for (const QString& name : names) {
        const QString path = folder.filePath(name);
        std::optional<uint64_t> transaction;
        std::optional<QVariantMap> content;
        if (name == prefix) {
            content = platform::plist::readDictionary(path);
            const QVariant key = content ? content->take(QLatin1String(SWBayesBatchTransactionKey)) : QVariant();
            if (key.isValid())
                transaction = key.toULongLong();
        } else if (name.startsWith(prefix + QLatin1Char('-'))) {
            bool ok = false;
            const uint64_t number = name.mid(prefix.size() + 1).toULongLong(&ok);
            if (ok)
                transaction = number;
        }
        if (transaction && db && *transaction <= stored && (best.isEmpty() || *transaction > bestTransaction)) {
            if (!best.isEmpty())
                QFile::remove(best);
            best = path;
            bestTransaction = *transaction;
            bestContent = std::move(content);
        } else {
            QFile::remove(path);
        }
    }
    if (best.isEmpty())
        return;
    if (bestContent) {
        platform::plist::writeFile(bulletinPath_, *bestContent);
        QFile::remove(best);
    } else if (!replaceFile(best, bulletinPath_)) {
        QFile::remove(best);
    }
}

void SWBayesFilter::beginLearningBatch() {
    if (batch_)
        return;
    SWDataBase* db = SWDataBase::sharedDataBase();
    if (!db || !db->beginBatch())
        return;  // the messages are learned one by one
    if (saveTimer_)
        saveTimer_->stop();
    batch_ = HistorySnapshot{history_, historySet_, marks_};
}

bool SWBayesFilter::endLearningBatch() {
    if (!batch_)
        return true;
    HistorySnapshot before = std::move(*batch_);
    batch_.reset();
    SWDataBase* db = SWDataBase::sharedDataBase();
    // The history after the batch becomes its file's bytes on a second thread
    // while the store writes its records (nothing changes the history until
    // the commit is over). It is written once, before the commit, and moved
    // over the history file after it, while the count file is written.
    std::future<QByteArray> bytes;
    if (!bulletinPath_.isEmpty())
        bytes = std::async(std::launch::async,
                           [this] { return platform::plist::toData(bulletin(), platform::plist::Format::XML); });
    QByteArray content;
    QString pending;
    bool moved = true;
    const bool committed = db && db->commitBatch(
                                     [&](uint64_t transaction) {
                                         if (bytes.valid())
                                             content = bytes.get();
                                         if (bulletinPath_.isEmpty())
                                             return true;
                                         if (!pending.isEmpty())
                                             QFile::remove(pending);
                                         pending = batchBulletinPath(transaction);
                                         return platform::plist::writeData(pending, content);
                                     },
                                     [&] {
                                         if (pending.isEmpty())
                                             return;
                                         QSignalEnterCritical();
                                         moved = replaceFile(pending, bulletinPath_);
                                         QSignalExitCritical();
                                     });
    if (bytes.valid())
        bytes.wait();
    if (!committed) {
        history_ = std::move(before.history);
        historySet_ = std::move(before.historySet);
        marks_ = std::move(before.marks);
        if (!pending.isEmpty())
            QFile::remove(pending);
        return false;
    }
    if (!moved)
        platform::log::console(QLatin1String(kLogSaveFailed));
    postDidLearn();
    return true;
}

// Reads the history file. A file of the wrong shape would stop all training,
// so it is replaced by a fresh history; stray entries are dropped one by one.
void SWBayesFilter::loadBulletin() {
    history_.clear();
    historySet_.clear();
    marks_.clear();
    completeBatchBulletin();
    if (bulletinPath_.isEmpty() || !QFileInfo::exists(bulletinPath_))
        return;
    const std::optional<QVariantMap> file = platform::plist::readDictionary(bulletinPath_);
    const QVariant history = file ? file->value(QLatin1String(JKW5_TRAININGCENTER_HISTORY)) : QVariant();
    const QVariant marks = file ? file->value(QLatin1String(JKW5_TRAININGCENTER_MARKS)) : QVariant();
    if (!file || history.typeId() != QMetaType::QVariantList || marks.typeId() != QMetaType::QVariantMap) {
        platform::log::console(QLatin1String(kLogHistoryDamaged));
        return;
    }
    for (const QVariant& id : history.toList()) {
        if (id.typeId() != QMetaType::QString || id.toString().isEmpty() || historySet_.contains(id.toString()))
            continue;
        history_ << id.toString();
        historySet_.insert(id.toString());
    }
    while (history_.size() > SWBayesHistoryLimit)
        historySet_.remove(history_.takeFirst());
    const QVariantMap markMap = marks.toMap();
    for (auto it = markMap.constBegin(); it != markMap.constEnd(); ++it) {
        const int type = it.value().typeId();
        if (!historySet_.contains(it.key()) ||
            (type != QMetaType::LongLong && type != QMetaType::Int && type != QMetaType::ULongLong))
            continue;
        const qint64 mark = type == QMetaType::ULongLong ? qint64(std::min<quint64>(it.value().toULongLong(), INT_MAX))
                                                         : it.value().toLongLong();
        if (mark != 0)
            marks_.insert(it.key(), clampToInt(mark));
    }
}

QVariantMap SWBayesFilter::bulletin() const {
    QVariantList history;
    history.reserve(history_.size());
    for (const QString& id : history_)
        history << id;
    QVariantMap marks;
    for (auto it = marks_.constBegin(); it != marks_.constEnd(); ++it)
        marks.insert(it.key(), qint64(it.value()));
    return QVariantMap{{QLatin1String(JKW5_TRAININGCENTER_VERSION), QLatin1String(SWBayesTrainingCenterVersion)},
                       {QLatin1String(JKW5_TRAININGCENTER_HISTORY), history},
                       {QLatin1String(JKW5_TRAININGCENTER_MARKS), marks}};
}

std::optional<int> SWBayesFilter::markForMessageID(const QString& messageID) const {
    const auto it = marks_.constFind(messageID);
    if (it == marks_.constEnd())
        return std::nullopt;
    return *it;
}

void SWBayesFilter::post(const char* name) {
    platform::DistributedNotificationCenter::defaultCenter().post(QLatin1String(name), identifier_);
}

// Posted for every filtered and learned message: from the centre's sender
// thread, so judging does not wait for the signal.
void SWBayesFilter::postDidLearn() {
    platform::DistributedNotificationCenter::defaultCenter().postInBackground(
        QLatin1String(sw::SWPlugInPreferencesDidLearn), identifier_);
}

qint32 SWBayesFilter::filter(SAMIMEPart* message) {
    if (!message)
        return SWFilterStatusUndecided;
    // Before anything has been learned the store knows no word: the score would
    // rest on the malus points alone, and a short note without Message-ID would be
    // spam to a user who never trained the filter. Such a filter has no opinion.
    lastTree_.reset();
    lastScored_.clear();
    lastSpamitude_ = 0.0f;
    lastJudged_ = true;
    if (SWDataBase* db = SWDataBase::sharedDataBase();
        db && db->isOpen() && db->spamMailCount() == 0 && db->hamMailCount() == 0)
        return SWFilterStatusUndecided;
    float spamitude = 0.0f;
    std::unique_ptr<SWProcessNode> tree = SWProcessor::createProcessTreeWithMIMETree(message, true);
    if (!tree) {
        platform::log::console(QString::fromLatin1(kLogTreeNil).arg(identifier_));
    } else {
        spamitude = SWProcessor::computeSpamitude(SWProcessor::getSpamitudeArray(tree.get(), nullptr, &lastScored_));
        if (SWDataBase* db = SWDataBase::sharedDataBase())
            db->sync();  // the lookups refreshed token dates
        postDidLearn();
    }
    if (logReason_)
        platform::log::console(QString::fromLatin1(kLogSpamitude).arg(identifier_).arg(double(spamitude), 0, 'f', 6));
    lastTree_ = std::move(tree);
    lastSpamitude_ = spamitude;
    lastJudged_ = true;
    return spamitude >= SWBayesSpamThreshold ? SWFilterStatusSpam : SWFilterStatusUndecided;
}

namespace {

// The explanation of a scored process tree: the score and the distinct tokens
// farthest from 0.5 with their probabilities.
QVariantMap explanationOfTree(const SWProcessNode* tree, SWDataBase* db, float spamitude,
                              std::vector<std::pair<float, const QString*>> weighed) {
    const bool trained = db->spamMailCount() > 0 || db->hamMailCount() > 0;
    const auto farther = [](const auto& a, const auto& b) { return std::fabs(a.first - 0.5f) > std::fabs(b.first - 0.5f); };
    const auto weightier = [](const auto& a, const auto& b) {
        const float da = std::fabs(a.first - 0.5f), db = std::fabs(b.first - 0.5f);
        return da != db ? da > db : *a.second < *b.second;
    };
    // The weightiest few by distance alone (linear), then only those in order.
    // A token met in two parts scores twice: a few more than are shown are
    // taken, and everything when repeats leave too few.
    QVariantList list;
    for (size_t taken = std::min(weighed.size(), size_t(3 * SWProcessorMaximumProbabilities));;
         taken = weighed.size()) {
        if (taken < weighed.size())
            std::nth_element(weighed.begin(), weighed.begin() + qsizetype(taken), weighed.end(), farther);
        std::sort(weighed.begin(), weighed.begin() + qsizetype(taken), weightier);
        list.clear();
        QStringList shown;
        for (size_t i = 0; i < taken && shown.size() < SWProcessorMaximumProbabilities; ++i) {
            const auto& [probability, token] = weighed[i];
            if (shown.contains(*token))
                continue;
            shown << *token;
            list << QVariantMap{{QStringLiteral("Token"), *token}, {QStringLiteral("Probability"), double(probability)}};
        }
        if (shown.size() == SWProcessorMaximumProbabilities || taken == weighed.size())
            break;
    }
    const qint32 verdict = trained && spamitude >= SWBayesSpamThreshold ? SWFilterStatusSpam : SWFilterStatusUndecided;
    return {{QStringLiteral("Score"), double(spamitude)},
            {QStringLiteral("Verdict"), qint64(verdict)},
            {QStringLiteral("Trained"), trained},
            {QStringLiteral("Malus"), qint64(SWProcessor::malusCountForDictionary(tree))},
            {QStringLiteral("Tokens"), list}};
}

}  // namespace

QVariantMap SWBayesFilter::explain(SAMIMEPart* message) {
    SWDataBase* db = SWDataBase::sharedDataBase();
    const std::unique_ptr<SWProcessNode> tree =
        message ? SWProcessor::createProcessTreeWithMIMETree(message, true) : nullptr;
    if (!tree || !db)
        return {};
    SWScoredTokens scored;
    const float spamitude = SWProcessor::computeSpamitude(SWProcessor::getSpamitudeArray(tree.get(), db, &scored));
    return explanationOfTree(tree.get(), db, spamitude, std::move(scored));
}

QVariantMap SWBayesFilter::lastExplanation() {
    SWDataBase* db = SWDataBase::sharedDataBase();
    if (!lastJudged_ || !db)
        return {};
    if (!lastTree_) {
        // Not scored: nothing learned yet, or no tree.
        const bool trained = db->spamMailCount() > 0 || db->hamMailCount() > 0;
        return {{QStringLiteral("Score"), double(lastSpamitude_)},
                {QStringLiteral("Verdict"), qint64(SWFilterStatusUndecided)},
                {QStringLiteral("Trained"), trained},
                {QStringLiteral("Tokens"), QVariantList()}};
    }
    return explanationOfTree(lastTree_.get(), db, lastSpamitude_, lastScored_);
}

void SWBayesFilter::appendToHistory(const QString& messageID) {
    if (history_.size() > SWBayesHistoryLimit - 1) {
        const QString oldest = history_.takeFirst();
        historySet_.remove(oldest);
        marks_.remove(oldest);
    }
    history_ << messageID;
    historySet_.insert(messageID);
}

// A message's tokens as training stores them; no tree when it could not be
// taken apart.
struct SWBayesFilter::Prepared : SWPreparedLearning {
    bool tree = false;
    std::optional<SWTokenBag> tokens;
};

bool SWBayesFilter::preparesLearning() const { return batch_.has_value(); }

// Runs on the batch's second thread: the message alone. The store is not
// consulted (the batch holds it).
std::unique_ptr<SWPreparedLearning> SWBayesFilter::prepareToLearn(SAMIMEPart* message, const QString&) {
    auto prepared = std::make_unique<Prepared>();
    const std::unique_ptr<SWProcessNode> tree = SWProcessor::createProcessTreeWithMIMETree(message, true);
    prepared->tree = tree != nullptr;
    if (tree)
        prepared->tokens = SWProcessor::getSpamTokenArray(tree.get()).second;
    return prepared;
}

bool SWBayesFilter::learnPreparedMessage(SAMIMEPart* message, const QString& messageID, bool spam,
                                         std::unique_ptr<SWPreparedLearning> prepared) {
    return learnMessage(message, messageID, spam, dynamic_cast<const Prepared*>(prepared.get()));
}

bool SWBayesFilter::learnMessage(SAMIMEPart* message, const QString& messageID, bool spam, const Prepared* prepared) {
    if (messageID.isEmpty())
        return false;
    if (saveTimer_)
        saveTimer_->stop();

    // The new mark, and how much of an opposite training to take back.
    int offset = 0;
    int mark = spam ? -1 : 1;
    if (historySet_.contains(messageID)) {
        const std::optional<int> previous = markForMessageID(messageID);
        if (previous) {
            const int n = *previous;
            if (spam && n > 0)
                offset = n;
            else if (!spam && n < 0)
                offset = -n;
            else
                mark = clampToInt(qint64(n) + (spam ? -1 : 1));
        }
    } else {
        appendToHistory(messageID);
    }
    const std::optional<int> previousMark = markForMessageID(messageID);
    marks_.insert(messageID, mark);
    // In a batch the history is written with the batch's commit.
    if (!batch_)
        scheduleBulletinSave();

    std::optional<SWTokenBag> ownTokens;
    const std::optional<SWTokenBag>* tokens = &ownTokens;
    if (prepared) {
        if (!prepared->tree)
            return false;
        tokens = &prepared->tokens;
    } else {
        const std::unique_ptr<SWProcessNode> tree = SWProcessor::createProcessTreeWithMIMETree(message, true);
        if (!tree)
            return false;
        ownTokens = SWProcessor::getSpamTokenArray(tree.get()).second;
    }
    SWDataBase* db = SWDataBase::sharedDataBase();
    if (!db)
        return false;
    bool learned = true;
    if (*tokens)
        learned = spam ? db->addTokensToSpamDB(**tokens, offset) : db->addTokensToHamDB(**tokens, offset);
    if (batch_)
        return learned;
    // A mark stands only for a training that was stored: a failed store keeps the
    // earlier mark, so a later "Learn" takes back only what the store holds.
    if (!learned) {
        if (previousMark)
            marks_.insert(messageID, *previousMark);
        else
            marks_.remove(messageID);
    }
    const bool counted = db->updateCountOnDisk();
    postDidLearn();
    return learned && counted;
}

bool SWBayesFilter::learnMessageAsSpam(SAMIMEPart* message, const QString& messageID) {
    return learnMessage(message, messageID, true);
}

bool SWBayesFilter::learnMessageAsLegitimate(SAMIMEPart* message, const QString& messageID) {
    return learnMessage(message, messageID, false);
}

bool SWBayesFilter::automaticallyTrainWithMessage(SAMIMEPart* message, const QString& messageID, qint32 engineStatus) {
    // A message the user trained, or one trained automatically before, is left alone.
    if (messageID.isEmpty() || historySet_.contains(messageID))
        return true;
    appendToHistory(messageID);
    bool spam;
    switch (engineStatus) {
    case SWFilterStatusSpam:
        spam = true;
        break;
    case SWFilterStatusLegitimate:
    case SWFilterStatusUndecided:
        spam = false;
        break;
    default:
        return true;  // the ID stays in the history without a mark
    }
    if (saveTimer_)
        saveTimer_->stop();
    marks_.insert(messageID, spam ? -1 : 1);
    scheduleBulletinSave();
    // A mark stands only for a training that was stored: a later "Learn" of the
    // message takes back what its mark says.
    const std::unique_ptr<SWProcessNode> tree = SWProcessor::createProcessTreeWithMIMETree(message, true);
    if (!tree) {
        marks_.remove(messageID);
        return true;  // no message: nothing to store
    }
    SWDataBase* db = SWDataBase::sharedDataBase();
    bool stored = db != nullptr;
    if (stored) {
        const std::optional<SWTokenBag> tokens = SWProcessor::getSpamTokenArray(tree.get()).second;
        if (tokens)
            stored = spam ? db->addTokensToSpamDB(*tokens, 0) : db->addTokensToHamDB(*tokens, 0);
    }
    if (!stored) {
        marks_.remove(messageID);
        return false;
    }
    const bool counted = db->updateCountOnDisk();
    postDidLearn();
    return counted;
}

void SWBayesFilter::scheduleBulletinSave() {
    if (!saveTimer_) {
        saveTimer_ = std::make_unique<QTimer>();
        saveTimer_->setSingleShot(true);
        QObject::connect(saveTimer_.get(), &QTimer::timeout, context_.get(), [this] { delayedSaveBulletinOnDisk(); });
    }
    saveTimer_->start(kHistorySaveDelayMs);
}

void SWBayesFilter::delayedSaveBulletinOnDisk() {
    if (bulletinPath_.isEmpty())
        return;
    if (!platform::folders::ensureFolder(QFileInfo(bulletinPath_).absolutePath())) {
        platform::log::console(QLatin1String(kLogSaveNoFolder));
        return;
    }
    QSignalEnterCritical();
    const bool written = platform::plist::writeFile(bulletinPath_, bulletin());
    QSignalExitCritical();
    if (!written)
        platform::log::console(QLatin1String(kLogSaveFailed));
}

void SWBayesFilter::updatePreferences(const QVariantMap& preferences) {
    const QVariant settingsValue = preferences.value(QLatin1String(sw::SWPreferencesSettingsKey));
    const QVariantMap settings =
        settingsValue.typeId() == QMetaType::QVariantMap ? settingsValue.toMap() : QVariantMap();

    periodicClean_ = platform::plist::boolValue(settings, QLatin1String(SWBayesCleanPeriodicallyKey), false);
    if (periodicClean_ && !timer_) {
        timer_ = std::make_unique<QTimer>();
        QObject::connect(timer_.get(), &QTimer::timeout, context_.get(), [this] { periodicClean(); });
        timer_->start(kPeriodicCleanIntervalMs);
    } else if (!periodicClean_) {
        timer_.reset();
    }

    automaticLearning_ = platform::plist::boolValue(settings, QLatin1String(SWBayesAutomaticallyLearnKey), false);
    platform::LocalNotificationCenter::defaultCenter().post(QLatin1String(sw::SWAutomaticallyLearnNotification),
                                                            QVariant(automaticLearning_));
}

void SWBayesFilter::periodicClean() {
    if (!periodicClean_)
        return;
    const std::optional<QVariantMap> cookie = platform::plist::readDictionary(cookiePath_);
    if (cookie) {
        const QVariant last = cookie->value(QLatin1String(SWBayesDataBaseLastClean));
        if (last.typeId() == QMetaType::QDateTime) {
            const qint64 elapsed = last.toDateTime().secsTo(now());
            // A date in the future (a clock set back) does not hold cleaning off.
            if (elapsed >= 0 && elapsed < kCleanIntervalSeconds)
                return;
        }
    }
    startCleaning();
}

void SWBayesFilter::startCleaning() {
    if (cleaner_.joinable())
        return;  // one cleaning at a time
    post(SWBayesDataBaseWillClean);
    QSignalEnterCritical();
    platform::folders::ensureFolder(QFileInfo(cookiePath_).absolutePath());
    platform::plist::writeFile(cookiePath_, QVariantMap{{QLatin1String(SWBayesDataBaseLastClean), now()}});
    QSignalExitCritical();
    cleaner_ = std::thread([this] { cleanThreaded(); });
}

void SWBayesFilter::cleanThreaded() {
    if (SWDataBase* db = SWDataBase::sharedDataBase())
        db->removeOldItemsFromDataBase();
    QMetaObject::invokeMethod(
        context_.get(), [this] { cleanThreadedDidFinish(); }, Qt::QueuedConnection);
}

void SWBayesFilter::cleanThreadedDidFinish() {
    if (cleaner_.joinable())
        cleaner_.join();
    post(SWBayesDataBaseDidClean);
}

void SWBayesFilter::dataBaseShouldReset(const platform::Notification&) {
    QSignalEnterCritical();
    if (SWDataBase* db = SWDataBase::sharedDataBase())
        db->reset();
    QSignalExitCritical();
    post(SWBayesDataBaseOperationDone);
}

void SWBayesFilter::dataBaseShouldAddWord(const platform::Notification& notification) {
    QSignalEnterCritical();
    if (SWDataBase* db = SWDataBase::sharedDataBase())
        db->addItem(notification.hasUserInfo ? &notification.userInfo : nullptr);
    QSignalExitCritical();
    post(SWBayesDataBaseOperationDone);
}

void SWBayesFilter::dataBaseShouldRemoveWords(const platform::Notification& notification) {
    QStringList words;
    const QVariant selection = notification.userInfo.value(QLatin1String(SWBayesDataBaseSelectionKey));
    if (selection.typeId() == QMetaType::QVariantList)
        for (const QVariant& word : selection.toList())
            if (word.typeId() == QMetaType::QString)
                words << word.toString();
    QSignalEnterCritical();
    if (SWDataBase* db = SWDataBase::sharedDataBase())
        db->removeItemsFromArray(words);
    QSignalExitCritical();
    post(SWBayesDataBaseOperationDone);
}

void SWBayesFilter::dataBaseShouldOptimize(const platform::Notification&) { startCleaning(); }
