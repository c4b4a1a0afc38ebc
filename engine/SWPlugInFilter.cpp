#include "engine/SWPlugInFilter.h"

#include "engine/SWNotifications.h"
#include "engine/SWPluginPreferencesManager.h"
#include "platform/Bundle.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <QTimer>
#include <climits>

namespace {

// The integer value of a dictionary key read the lenient way: leading blanks, an
// optional sign and the leading digits; 0 when there are none; clamped to int.
int leadingIntValue(const QString& text) {
    int i = 0;
    const int n = text.size();
    while (i < n && text.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < n && (text.at(i) == QLatin1Char('-') || text.at(i) == QLatin1Char('+'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    qint64 value = 0;
    for (; i < n && text.at(i) >= QLatin1Char('0') && text.at(i) <= QLatin1Char('9'); ++i) {
        value = value * 10 + (text.at(i).unicode() - '0');
        if (value > qint64(INT_MAX) + 1)
            value = qint64(INT_MAX) + 1;
    }
    if (negative)
        return value > qint64(INT_MAX) ? INT_MIN : int(-value);
    return value > INT_MAX ? INT_MAX : int(value);
}

// An unsigned 32-bit number of an information dictionary: numbers and numeric
// strings count, anything else is 0.
quint32 unsignedInfoValue(const QVariantMap& info, const char* key) {
    const QVariant value = info.value(QLatin1String(key));
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return value.toBool() ? 1 : 0;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return quint32(value.toLongLong());
    case QMetaType::QString: {
        bool ok = false;
        const qlonglong parsed = value.toString().trimmed().toLongLong(&ok);
        return ok ? quint32(parsed) : 0;
    }
    default:
        return 0;
    }
}

QString stringInfoValue(const QVariantMap& info, const char* key) {
    const QVariant value = info.value(QLatin1String(key));
    return value.metaType().id() == QMetaType::QString ? value.toString() : QString();
}

bool isDictionary(const QVariant& value) { return value.metaType().id() == QMetaType::QVariantMap; }

// The counter keys as strings, made once: a record touches them in every period.
const QString& counterKey(const char* key) {
    static const QString processed = QString::fromLatin1(sw::SWMAILPROCESSED);
    static const QString spam = QString::fromLatin1(sw::SWMAILSPAMDETECTED);
    static const QString ham = QString::fromLatin1(sw::SWMAILHAMDETECTED);
    static const QString falsePositive = QString::fromLatin1(sw::SWMAILFALSEPOSITIVE);
    if (key == sw::SWMAILPROCESSED)
        return processed;
    if (key == sw::SWMAILSPAMDETECTED)
        return spam;
    if (key == sw::SWMAILHAMDETECTED)
        return ham;
    return falsePositive;
}

void incrementCounter(QVariantMap& dictionary, const char* key) {
    const QString& name = counterKey(key);
    const quint64 current = platform::plist::unsignedValue(dictionary, name);
    dictionary.insert(name, quint64(quint32(current + 1)));
}

// The counters a record touches: "SWMAILPROCESSED" unless it is a false
// positive, then the one of its verdict.
template <class Apply>
void forRecordCounters(qint32 record, Apply apply) {
    if (record != SWFilterStatusFalsePositive)
        apply(sw::SWMAILPROCESSED);
    if (record == SWFilterStatusSpam)
        apply(sw::SWMAILSPAMDETECTED);
    else if (record == SWFilterStatusLegitimate)
        apply(sw::SWMAILHAMDETECTED);
    else if (record == SWFilterStatusFalsePositive)
        apply(sw::SWMAILFALSEPOSITIVE);
}

}  // namespace

SWPlugInFilter::SWPlugInFilter() = default;

SWPlugInFilter::~SWPlugInFilter() {
    if (preferencesObserver_ >= 0)
        platform::DistributedNotificationCenter::defaultCenter().removeObserver(preferencesObserver_);
    if (resetObserver_ >= 0)
        platform::DistributedNotificationCenter::defaultCenter().removeObserver(resetObserver_);
}

SWPlugInFilter* SWPlugInFilter::initializeWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString&) {
    // Without a bundle or its information the filter stays off and anonymous.
    if (!bundle || bundle->infoDictionary().isEmpty())
        return this;
    identifier_ = stringInfoValue(bundle->infoDictionary(), sw::SWPluginIdentifierKey);
    startWithBundle(std::move(bundle));
    return this;
}

SWPlugInFilter* SWPlugInFilter::initializeBuiltInWithBundle(std::shared_ptr<platform::Bundle> bundle,
                                                            const QString& identifier) {
    if (!bundle)
        return this;
    identifier_ = identifier;
    if (!bundle->infoDictionary().isEmpty())
        startWithBundle(std::move(bundle));
    return this;
}

void SWPlugInFilter::startWithBundle(std::shared_ptr<platform::Bundle> bundle) {
    // 1. What the bundle says about the filter.
    bundle_ = std::move(bundle);
    const QVariantMap& info = bundle_->infoDictionary();
    category_ = unsignedInfoValue(info, sw::SWPluginCategoryKey);
    version_ = stringInfoValue(info, sw::SWPluginVersionKey);
    serviceID_ = unsignedInfoValue(info, sw::SWPluginServiceIDKey);

    // 2. Settings and statistics resets addressed to this filter.
    observeFilterNotifications();

    // 3. Preferences and statistics.
    const QVariantMap preferences = SWPluginPreferencesManager::loadPreferencesWithBundle(bundle_, identifier_);
    statistics_ = loadStatistics();

    // 4. Switch and settings.
    status_ = platform::plist::boolValue(preferences, sw::SWPreferencesStatusKey, false);
    updatePreferences(preferences);
}

void SWPlugInFilter::observeFilterNotifications() {
    if (identifier_.isEmpty() || preferencesObserver_ >= 0)
        return;
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    preferencesObserver_ = center.addObserver(sw::SWPlugInPreferencesDidChange, identifier_,
                                              [this](const platform::Notification& n) { preferencesDidChange(n); });
    resetObserver_ = center.addObserver(sw::SWSievraPlugInStatisticsDidReset, identifier_,
                                        [this](const platform::Notification& n) { statisticsDidReset(n); });
}

void SWPlugInFilter::updatePreferences(const QVariantMap&) {}

QVariantMap SWPlugInFilter::dictionary() const {
    QVariantMap info;
    if (identifier_.isEmpty())
        return info;
    info.insert(sw::SWPluginIdentifierKey, identifier_);
    if (!bundle_)
        return info;
    info.insert(sw::SWPluginPathKey, bundle_->path());
    info.insert(sw::SWPluginCategoryKey, quint64(category_));
    if (version_.isEmpty())
        return info;
    info.insert(sw::SWPluginVersionKey, version_);
    info.insert(sw::SWPluginServiceIDKey, quint64(serviceID_));
    info.insert(sw::SWPluginUpdateSupportKey, serviceSupportsUpdate());
    const QDateTime date = serviceDate();
    if (date.isValid())
        info.insert(sw::SWPluginServiceDateKey, date.toUTC());
    return info;
}

bool SWPlugInFilter::status() const { return status_; }
void SWPlugInFilter::setStatus(bool status) { status_ = status; }
void SWPlugInFilter::setLogReason(bool logReason) { logReason_ = logReason; }
QString SWPlugInFilter::identifier() const { return identifier_; }
quint32 SWPlugInFilter::category() const { return category_; }
QString SWPlugInFilter::version() const { return version_; }
int SWPlugInFilter::formatVersion() const { return 65536; }
bool SWPlugInFilter::hasConfigurationUI() const { return false; }
quint32 SWPlugInFilter::serviceID() const { return serviceID_; }
QDateTime SWPlugInFilter::serviceDate() const { return serviceDate_; }
bool SWPlugInFilter::serviceSupportsUpdate() const { return false; }

qint32 SWPlugInFilter::filter(SAMIMEPart*) { return SWFilterStatusUndecided; }

bool SWPlugInFilter::automaticallyTrainWithMessage(SAMIMEPart*, const QString&, qint32) { return true; }
bool SWPlugInFilter::learnMessageAsSpam(SAMIMEPart*, const QString&) { return true; }
bool SWPlugInFilter::learnMessageAsLegitimate(SAMIMEPart*, const QString&) { return true; }

QVariantMap SWPlugInFilter::explain(SAMIMEPart*) { return {}; }

QVariantMap SWPlugInFilter::lastExplanation() { return {}; }

void SWPlugInFilter::preferencesDidChange(const platform::Notification& notification) {
    if (!notification.hasUserInfo)
        return;  // nothing to apply
    updatePreferences(notification.userInfo);
}

void SWPlugInFilter::beginLearningBatch() {}

bool SWPlugInFilter::endLearningBatch() { return true; }

bool SWPlugInFilter::preparesLearning() const { return false; }

std::unique_ptr<SWPreparedLearning> SWPlugInFilter::prepareToLearn(SAMIMEPart*, const QString&) { return nullptr; }

bool SWPlugInFilter::learnPreparedMessage(SAMIMEPart* message, const QString& messageID, bool spam,
                                          std::unique_ptr<SWPreparedLearning>) {
    return spam ? learnMessageAsSpam(message, messageID) : learnMessageAsLegitimate(message, messageID);
}

std::optional<QVariantMap> SWPlugInFilter::loadStatistics() {
    return SWPluginPreferencesManager::loadStatisticsWithIdentifier(identifier_);
}

bool SWPlugInFilter::saveStatistics() {
    if (!statistics_)
        return false;
    return SWPluginPreferencesManager::saveStatistics(*statistics_, identifier_);
}

void SWPlugInFilter::statisticsDidReset(const platform::Notification& notification) {
    const QVariant date = notification.userInfo.value(sw::SWMAILSTARTDATE);
    if (date.metaType().id() != QMetaType::QDateTime || !date.toDateTime().isValid())
        return;  // a reset without its date is malformed: keep the counts
    statistics_ = QVariantMap{{sw::SWMAILSTARTDATE, date.toDateTime().toUTC()}};
}

void SWPlugInFilter::addToStatisticsSpam(qint32 record) {
    if (!statistics_)
        statistics_ = QVariantMap();
    addToStatistics(*statistics_, record);

    // Cancel-and-reschedule: a burst is written once, after its last record.
    if (!saveTimer_) {
        saveTimer_ = std::make_unique<QTimer>();
        saveTimer_->setSingleShot(true);
        QObject::connect(saveTimer_.get(), &QTimer::timeout, [this] { delayedSavedOnDisk(identifier_); });
    }
    saveTimer_->start(kStatisticsSaveDelayMs);
}

void SWPlugInFilter::flushPendingStatistics() {
    if (saveTimer_ && saveTimer_->isActive()) {
        saveTimer_->stop();
        delayedSavedOnDisk(identifier_);
    }
}

void SWPlugInFilter::delayedSavedOnDisk(const QString& identifier) {
    if (!saveStatistics())
        return;  // the counts stay in memory for the next save
    platform::DistributedNotificationCenter::defaultCenter().post(sw::SWPlugInStatisticsDidUpdate, identifier);
}

bool SWPlugInFilter::addToStatistics(QVariantMap& statistics, qint32 record) {
    // Local time costs the C library a look at the time zone file; every record of
    // one message (and of the same second) shares one reading.
    thread_local qint64 second = -1;
    thread_local QDateTime local;
    const qint64 current = QDateTime::currentSecsSinceEpoch();
    if (current != second) {
        local = QDateTime::currentDateTime();
        second = current;
    }
    return addToStatistics(statistics, record, local);
}

bool SWPlugInFilter::addToStatistics(QVariantMap& statistics, qint32 record, const QDateTime& localNow) {
    // 1. The counts run from the first record.
    static const QString startKey = QString::fromLatin1(sw::SWMAILSTARTDATE);
    const auto start = statistics.constFind(startKey);
    if (start == statistics.cend() || start->metaType().id() != QMetaType::QDateTime || !start->toDateTime().isValid())
        statistics.insert(startKey, localNow.toUTC());

    // 2. The totals.
    updateDictionary(statistics, record);

    // 3. Year, month, day and hour records, descending.
    const QDate date = localNow.date();
    const int year = date.year();
    const int month = date.month();
    const QString path[] = {QString::number(year), QString::number(month), QString::number(date.day()),
                            QString::number(localNow.time().hour())};
    QVariantMap* level = &statistics;
    for (const QString& key : path) {
        const bool existed = isDictionary(level->value(key));
        QVariantMap& period = platform::plist::childMap(*level, key);
        if (existed)
            updateDictionary(period, record);
        else
            initDictionary(period, record);
        level = &period;
    }

    // 4. Pruning: the previous year goes from March on, and the current year
    // keeps its current and two previous months. Keys are collected first.
    const qint64 now = qint64(year) * 12 + month;
    QStringList oldYears;
    QStringList currentYears;
    for (auto it = statistics.cbegin(); it != statistics.cend(); ++it) {
        const int y = leadingIntValue(it.key());
        if (y == 0)
            continue;
        if (qint64(y) * 12 + 14 < now)
            oldYears.append(it.key());
        else if (y == year && isDictionary(it.value()))
            currentYears.append(it.key());
    }
    for (const QString& key : oldYears)
        statistics.remove(key);
    for (const QString& key : currentYears) {
        QVariantMap& months = platform::plist::childMap(statistics, key);
        QStringList oldMonths;
        for (auto m = months.cbegin(); m != months.cend(); ++m) {
            const int mi = leadingIntValue(m.key());
            if (mi != 0 && qint64(month) > qint64(mi) + 2)
                oldMonths.append(m.key());
        }
        for (const QString& key : oldMonths)
            months.remove(key);
    }
    return true;
}

void SWPlugInFilter::initDictionary(QVariantMap& dictionary, qint32 record) {
    forRecordCounters(record, [&](const char* key) { dictionary.insert(counterKey(key), quint64(1)); });
}

void SWPlugInFilter::updateDictionary(QVariantMap& dictionary, qint32 record) {
    forRecordCounters(record, [&](const char* key) { incrementCounter(dictionary, key); });
}
