#include "engine/SievraController.h"

#include "engine/JKW_LogManager.h"
#include "engine/SievraAppleEventManager.h"
#include "engine/SWNotifications.h"
#include "engine/SWPlugInFilter.h"
#include "engine/SWPluginPreferencesManager.h"
#include "mailparse/SAData.h"
#include "mailparse/SARef.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <cstring>

namespace {

const QString kPortFailed = QStringLiteral("It was not possible to add the message port source");
const QString kNoData = QStringLiteral("Received a message with no data");
const QString kPlugInWithoutClass =
    QStringLiteral("[SievraController awakeFromNib] Skipped the plug-in \"%1\": it registers no class \"%2\"");
const QString kBusNameTaken =
    QStringLiteral("[SievraController awakeFromNib] Another engine owns the name %1 and the port: leaving");
const QString kBusNameLost =
    QStringLiteral("[SievraController busNameLost:] Lost the name %1 and has no port: leaving");

const QString kFilterBaseTag = QStringLiteral("SWPlugInFilter");
const QString kIconName = QStringLiteral("IconJKW_32");
// The engine application's own user defaults.
const QString kEngineDefaultsFile = QStringLiteral("com.quillon.junkward.engine.plist");
// The icon travels with progress notices: never load more than this.
constexpr qint64 kMaximumIconBytes = 1 << 20;

SievraController* gCurrentController = nullptr;

// A boolean of a notification's user info: booleans and numbers only.
std::optional<bool> strictBool(const QVariant& value) {
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return value.toLongLong() != 0;
    case QMetaType::Double:
        return value.toDouble() != 0.0;
    default:
        return std::nullopt;
    }
}

QByteArray nativeReply(qint32 value) {
    QByteArray reply(sizeof(qint32), Qt::Uninitialized);
    std::memcpy(reply.data(), &value, sizeof value);
    return reply;
}

}  // namespace

QVariantMap SievraPlugInEntry::toVariantMap() const {
    QVariantMap entry;
    if (!instance)
        return entry;
    entry.insert(QStringLiteral("Information"), information);
    if (!identifier)
        return entry;
    entry.insert(sw::SWPluginIdentifierKey, *identifier);
    if (status)
        entry.insert(sw::SWPreferencesStatusKey, *status);
    return entry;
}

SievraController::SievraController() : identifier_(QString::fromLatin1(sw::SWGeneralIdentifier)) {}

SievraController::~SievraController() {
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    for (int token : distributedObservers_)
        center.removeObserver(token);
    if (localObserver_ >= 0)
        platform::LocalNotificationCenter::defaultCenter().removeObserver(localObserver_);
    if (ownsBusName_)
        platform::ScriptingBus::unexportObject(platform::kEngineBusName, platform::kEngineObjectPath);
    if (hasCompiledADVRegularExpression_)
        regfree(&compiledADVRegularExpression_);
    if (gCurrentController == this)
        gCurrentController = nullptr;
}

SievraController* SievraController::currentSievraController() { return gCurrentController; }

bool SievraController::awakeFromNib() {
    // 1. The icon sent with progress notices.
    const QString iconPath = platform::Bundle::mainBundle()->pathForResource(kIconName, QStringLiteral("png"));
    if (!iconPath.isEmpty() && QFileInfo(iconPath).size() <= kMaximumIconBytes) {
        QFile icon(iconPath);
        if (icon.open(QIODevice::ReadOnly))
            iconData_ = icon.read(kMaximumIconBytes);
    }

    // 2. The mail client's set-up.
    updateMailBundleIfNeeded();

    // 3. The process-wide controller.
    gCurrentController = this;

    // 4. Observers.
    registerObservers();

    // 5. "Log Structure" from the engine's own user defaults.
    if (auto defaults = platform::plist::readDictionary(platform::folders::userPreferences() + QLatin1Char('/') +
                                                        kEngineDefaultsFile))
        logStructure_ = platform::plist::boolValue(*defaults, SievraDefaultLogStructure, false);

    // 6. Filters of the machine-wide Plugins folder.
    discoverPlugIns();

    // 7.-8. The built-in black list and white list.
    SWPlugInFilter* blackList = nullptr;
    SWPlugInFilter* whiteList = nullptr;
    SievraPlugInEntry black =
        createPlugInDictionaryWithIdentifier(QStringLiteral("BlackList"), QStringLiteral("SWBlackListHeaderFilter"));
    if (!black.isEmpty()) {
        blackList = black.instance.get();
        plugIns_.push_back(std::move(black));
    }
    SievraPlugInEntry white =
        createPlugInDictionaryWithIdentifier(QStringLiteral("WhiteList"), QStringLiteral("SWWhiteListHeaderFilter"));
    if (!white.isEmpty()) {
        whiteList = white.instance.get();
        plugIns_.push_back(std::move(white));
    }
    installHeaderFilterDelegates(blackList, whiteList);

    // 9. The chain in ascending category order; equal categories keep their
    // discovery order.
    std::stable_sort(plugIns_.begin(), plugIns_.end(), &SievraController::compareByCategory);

    // 10. The port, then the bus name that makes the engine reachable and
    // activatable.
    createMessagePort();
    ownsBusName_ = ownBusName();

    // 11. "General" preferences and statistics.
    loadGeneralPreferencesAndStatistics();

    if (!messagePortRef_ && !ownsBusName_) {
        platform::log::console(kBusNameTaken.arg(QLatin1String(platform::kEngineBusName)));
        return false;
    }
    return true;
}

void SievraController::registerObservers() {
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    distributedObservers_.push_back(
        center.addObserver(sw::SWSievraPlugInStatisticsDidReset, std::nullopt,
                           [this](const platform::Notification& n) { statisticsDidReset(n); }));
    distributedObservers_.push_back(
        center.addObserver(sw::distributedNotificationStatusOfFilterDidChange, std::nullopt,
                           [this](const platform::Notification& n) { sievraPlugInStatusDidChange(n); }));
    distributedObservers_.push_back(
        center.addObserver(sw::SWPlugInPreferencesDidChange, identifier_,
                           [this](const platform::Notification& n) { preferencesDidChange(n); }));
    distributedObservers_.push_back(center.addObserver(sw::JKW5_DISTRIBUTEDNOTIFICATION_LOG_RESET, std::nullopt,
                                                       [this](const platform::Notification& n) { logDidReset(n); }));
    localObserver_ = platform::LocalNotificationCenter::defaultCenter().addObserver(
        sw::SWAutomaticallyLearnNotification, [this](const platform::Notification& n) { automaticLearnDidChange(n); });
}

void SievraController::discoverPlugIns() {
    const QString folder = platform::folders::junkwardPlugins();
    QDir dir(folder);
    if (!dir.exists())
        return;
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    plugIns_.reserve(names.size() + 2);
    for (const QString& name : names) {
        if (name.endsWith(QLatin1Char('.')))
            continue;
        const QString enginePath = dir.filePath(name) + QLatin1Char('/') + QLatin1String(sw::SWEngineBundleName);
        if (!QFileInfo(dir.filePath(name)).isDir() || !QFileInfo(enginePath).isDir())
            continue;
        std::shared_ptr<platform::Bundle> bundle = platform::Bundle::open(enginePath);
        if (!bundle || !bundle->load())
            continue;  // the bundle has said why
        const QString className = bundle->principalClass();
        if (className.isEmpty() || !platform::ClassRegistry::contains(className)) {
            platform::log::console(kPlugInWithoutClass.arg(
                name, bundle->infoDictionary().value(QStringLiteral("NSPrincipalClass")).toString()));
            continue;
        }
        SievraPlugInEntry entry = createPlugInDictionaryWithBundle(bundle, className);
        if (!entry.isEmpty())
            plugIns_.push_back(std::move(entry));
    }
}

namespace {

SievraPlugInEntry makeEntry(std::shared_ptr<platform::Bundle> bundle, const QString& identifier,
                            const QString& className) {
    SievraPlugInEntry entry;
    SWPlugInFilter* raw = platform::ClassRegistry::createAs<SWPlugInFilter>(className, kFilterBaseTag);
    if (!raw)
        return entry;
    std::shared_ptr<SWPlugInFilter> instance(raw);
    if (!instance->initializeWithBundle(std::move(bundle), identifier))
        return entry;
    entry.instance = std::move(instance);
    entry.information = entry.instance->dictionary();
    if (identifier.isEmpty())
        return entry;
    entry.identifier = identifier;
    entry.status = entry.instance->status();
    return entry;
}

}  // namespace

SievraPlugInEntry SievraController::createPlugInDictionaryWithBundle(const std::shared_ptr<platform::Bundle>& bundle,
                                                                     const QString& className) {
    QString identifier;
    if (bundle) {
        const QVariant value = bundle->objectForInfoKey(sw::SWPluginIdentifierKey);
        if (value.metaType().id() == QMetaType::QString)
            identifier = value.toString();
    }
    return makeEntry(bundle, identifier, className);
}

SievraPlugInEntry SievraController::createPlugInDictionaryWithIdentifier(const QString& identifier,
                                                                         const QString& className) {
    return makeEntry(platform::Bundle::mainBundle(), identifier, className);
}

bool SievraController::compareByCategory(const SievraPlugInEntry& a, const SievraPlugInEntry& b) {
    const quint64 ca = platform::plist::unsignedValue(a.information, sw::SWPluginCategoryKey);
    const quint64 cb = platform::plist::unsignedValue(b.information, sw::SWPluginCategoryKey);
    return ca < cb;
}

void SievraController::createMessagePort() {
    messagePortRef_ = platform::LocalMessagePort::create(SievraMessagePortName,
                                                         [this](qint32 msgid, const QByteArray& data, uid_t uid) {
                                                             return SievraMessagePortCallBack(msgid, data, uid);
                                                         });
    if (!messagePortRef_) {
        platform::log::console(kPortFailed);
        return;
    }
    // A request too large to take is still answered "not spam", so the mail
    // client's rule goes on instead of waiting for its time-out.
    messagePortRef_->setOversizeReply(QByteArray(4, '\0'));
}

bool SievraController::ownBusName() {
    // The scripting commands carry the engine's bus name.
    busObject_ = std::make_unique<SievraAppleEventManager>(this);
    if (!platform::ScriptingBus::exportObject(platform::kEngineBusName, platform::kEngineObjectPath,
                                              platform::kEngineInterface, busObject_.get()))
        return false;
    // Without a port the bus name is the only way in: follow it.
    QDBusConnection::sessionBus().connect(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameLost"), this, SLOT(busNameLost(QString)));
    return true;
}

void SievraController::busNameLost(const QString& name) {
    if (name != QLatin1String(platform::kEngineBusName))
        return;
    ownsBusName_ = false;
    if (!messagePortRef_) {
        platform::log::console(kBusNameLost.arg(name));
        QCoreApplication::exit(1);
    }
}

void SievraController::loadGeneralPreferencesAndStatistics() {
    statistics_ = SWPluginPreferencesManager::loadStatisticsWithIdentifier(identifier_);
    const QVariantMap preferences = SWPluginPreferencesManager::loadPreferencesWithBundle(nullptr, identifier_);
    if (auto status = strictBool(preferences.value(sw::SWPreferencesStatusKey)))
        status_ = *status;
    updatePreferences(preferences);
}

void SievraController::updatePreferences(const QVariantMap& preferences) {
    const QVariant settingsValue = preferences.value(sw::SWPreferencesSettingsKey);
    if (settingsValue.metaType().id() != QMetaType::QVariantMap) {
        showFeedback_ = true;
        showSpamDetectionStatus_ = true;
        asianOrCyrillicEncodingIsSpam_ = false;
        japaneseEncodingSpam_ = false;
        incorrectMessageID_ = true;
        ADVSubjectIsSpam_ = true;
        nonJapaneseEncodingSpam_ = false;
        htmlBase64_ = false;
        trustSpamHeaders_ = true;
        JKW_LogManager::sharedLogManager().setKeepsSources(true);
        return;
    }
    const QVariantMap settings = settingsValue.toMap();
    using platform::plist::boolValue;
    showFeedback_ = boolValue(settings, SievraSettingShowFeedback, true);
    showSpamDetectionStatus_ = boolValue(settings, SievraSettingShowSpamDetection, true);
    asianOrCyrillicEncodingIsSpam_ = boolValue(settings, SievraSettingAsianOrCyrillic, asianOrCyrillicEncodingIsSpam_);
    japaneseEncodingSpam_ = boolValue(settings, SievraSettingJapanese, japaneseEncodingSpam_);
    incorrectMessageID_ = boolValue(settings, SievraSettingIncorrectMessageID, true);
    ADVSubjectIsSpam_ = boolValue(settings, SievraSettingADVSubject, true);
    nonJapaneseEncodingSpam_ = boolValue(settings, SievraSettingNonJapanese, false);
    htmlBase64_ = boolValue(settings, SievraSettingHTMLBase64, false);
    trustSpamHeaders_ = boolValue(settings, SievraSettingTrustSpamHeaders, true);
    JKW_LogManager::sharedLogManager().setKeepsSources(boolValue(settings, SievraSettingKeepMessageSources, true));
}

void SievraController::preferencesDidChange(const platform::Notification& notification) {
    if (!notification.hasUserInfo)
        return;
    updatePreferences(notification.userInfo);
}

void SievraController::sievraPlugInStatusDidChange(const platform::Notification& notification) {
    if (!notification.hasUserInfo)
        return;
    const QVariantMap& info = notification.userInfo;
    // 1. "General" switches the whole engine.
    if (info.contains(sw::SWGeneralIdentifier)) {
        if (auto on = strictBool(info.value(sw::SWGeneralIdentifier)))
            status_ = *on;
        return;
    }
    // 2. Otherwise the first filter of the chain that the user info names.
    for (SievraPlugInEntry& entry : plugIns_) {
        if (!entry.identifier || !info.contains(*entry.identifier))
            continue;
        const std::optional<bool> on = strictBool(info.value(*entry.identifier));
        if (!on)
            return;  // not a switch: ignore the notification
        entry.status = *on;
        entry.instance->setStatus(*on);
        return;
    }
}

void SievraController::statisticsDidReset(const platform::Notification& notification) {
    const QVariant date = notification.userInfo.value(sw::SWMAILSTARTDATE);
    const bool dated = date.metaType().id() == QMetaType::QDateTime && date.toDateTime().isValid();
    if (notification.object == QLatin1String(sw::SWGeneralIdentifier)) {
        if (dated)
            statistics_ = QVariantMap{{sw::SWMAILSTARTDATE, date.toDateTime().toUTC()}};
        return;
    }
    if (!notification.object.isEmpty())
        return;  // a single filter hears it itself
    if (!dated)
        return;  // malformed: keep every count
    // A global reset: every filter starts afresh, and so does the engine, whose
    // file the front end deleted with the others.
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (entry.instance)
            entry.instance->statisticsDidReset(notification);
    }
    statistics_ = QVariantMap{{sw::SWMAILSTARTDATE, date.toDateTime().toUTC()}};
}

void SievraController::logDidReset(const platform::Notification&) { JKW_LogManager::sharedLogManager().clearLog(); }

void SievraController::automaticLearnDidChange(const platform::Notification& notification) {
    if (auto on = strictBool(notification.localObject))
        automaticLearning_ = *on;
}

QByteArray SievraController::SievraMessagePortCallBack(qint32 msgid, const QByteArray& data, uid_t) {
    if (msgid != SievraMessageIDFilterMail)
        return nativeReply(SievraReplyNotSpam);
    if (data.isEmpty()) {
        platform::log::console(kNoData);
        return nativeReply(SievraReplyNotSpam);
    }
    const SARef<SAData> message = SARef<SAData>::adopt(new SAData(
        reinterpret_cast<const unsigned char*>(data.constData()), static_cast<unsigned long>(data.size()), false));
    const qint32 verdict = filterMailData(message.get());
    return nativeReply(verdict == SWFilterStatusSpam ? SievraReplySpam : SievraReplyNotSpam);
}

void SievraController::addToStatisticsGeneral(qint32 record) {
    if (!statistics_)
        statistics_ = QVariantMap();
    SWPlugInFilter::addToStatistics(*statistics_, record);
    if (!generalSaveTimer_) {
        generalSaveTimer_ = std::make_unique<QTimer>();
        generalSaveTimer_->setSingleShot(true);
        QObject::connect(generalSaveTimer_.get(), &QTimer::timeout, this,
                         [this] { delayedSavedGeneralOnDisk(identifier_); });
    }
    generalSaveTimer_->start(SWPlugInFilter::kStatisticsSaveDelayMs);
}

void SievraController::delayedSavedGeneralOnDisk(const QString& identifier) {
    if (!statistics_ || !SWPluginPreferencesManager::saveStatistics(*statistics_, identifier_))
        return;  // the counts stay in memory for the next save
    platform::DistributedNotificationCenter::defaultCenter().post(sw::SWPlugInStatisticsDidUpdate, identifier);
}

void SievraController::flushPendingSaves() {
    if (generalSaveTimer_ && generalSaveTimer_->isActive()) {
        generalSaveTimer_->stop();
        delayedSavedGeneralOnDisk(identifier_);
    }
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (entry.instance)
            entry.instance->flushPendingStatistics();
    }
    JKW_LogManager::sharedLogManager().delayedWriteToDisk();
}
