#include "statusmenu/JKW5_MenuController.h"

#include "ui_JKWMenu.h"

#include "engine/SWNotifications.h"
#include "engine/SWPluginPreferencesManager.h"
#include "ipc/JKW5FrontEndCommunicationCenter.h"
#include "platform/Bundle.h"
#include "platform/Folders.h"
#include "platform/Launching.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QMainWindow>
#include <QMenu>
#include <QTimer>

#include <algorithm>

namespace {

constexpr const char* kGeneral = "General";
constexpr const char* kAllSettingsDidChange = "SWPlugInAllSettingsDidChange";
constexpr const char* kUIBundleName = "UI.bundle";
constexpr const char* kIconName = "IconeJKW16";
constexpr const char* kIconType = "png";
constexpr const char* kHostInterfaceVersion = "10.5";
constexpr const char* kFrontEndBundleIdentifier = "com.quillon.Junkward";
constexpr const char* kFrontEndName = "Junkward X5.app";
constexpr const char* kDefaultCommunicationIdentifier = "Default Bundle Identifier";
constexpr const char* kEngineOff = "Turn Junkward Engine Off";
constexpr const char* kEngineOn = "Turn Junkward Engine On";
constexpr const char* kTipWaiting = "Junkward is waiting for the Junkward Daemon";
constexpr const char* kTipOn = "Junkward filters new mail";
constexpr const char* kTipOff = "The Junkward engine is switched off";

// Failed daemon checks of this process.
int failedDaemonChecks = 0;

int compareText(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive); }

}  // namespace

int comparePlugin(const QVariantMap& receiver, const QVariantMap& other) {
    const QVariant mine = receiver.value(JKW5_MENU_POSITION_KEY);
    const QVariant theirs = other.value(JKW5_MENU_POSITION_KEY);
    const QString myPosition = mine.toString(), theirPosition = theirs.toString();
    if (mine.isValid() && theirs.isValid())
        return compareText(myPosition, theirPosition);
    if (theirs.isValid()) {
        if (theirPosition.startsWith(QLatin1String("First")))
            return 1;
        if (theirPosition.startsWith(QLatin1String("Last")))
            return -1;
    } else if (mine.isValid()) {
        if (myPosition.startsWith(QLatin1String("First")))
            return -1;
        if (myPosition.startsWith(QLatin1String("Last")))
            return 1;
    }
    return compareText(receiver.value(JKW5_MENU_IDENTIFIER_KEY).toString(),
                       other.value(JKW5_MENU_IDENTIFIER_KEY).toString());
}

JKW5_MenuController::JKW5_MenuController() = default;

JKW5_MenuController::~JKW5_MenuController() {
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    for (int token : observers_)
        center.removeObserver(token);
    if (timer_)
        timer_->stop();
}

bool JKW5_MenuController::initWithBundle(std::shared_ptr<platform::Bundle> bundle) {
    _bundle = std::move(bundle);
    nib_ = std::make_unique<QMainWindow>();
    ui_ = std::make_unique<Ui::JKWMenu>();
    ui_->setupUi(nib_.get());
    IBapplicationMenuItem_ = ui_->applicationMenu->menuAction();
    IBfiltersMenuItem_ = ui_->filtersItem;
    IBengineMenuItem_ = ui_->engineItem;
    IBopenMenuItem_ = ui_->openItem;
    _title = QString();
    _version = QString::fromLatin1(kHostInterfaceVersion);
    awakeFromNib();
    return true;
}

void JKW5_MenuController::awakeFromNib() {
    // Notifications this menu posts carry the process's communication identifier;
    // a host outside any bundle is named after the plug-in, so that the menu and
    // the front end never take each other's announcements for their own.
    JKW5FrontEndCommunicationCenter* center = JKW5FrontEndCommunicationCenter::defaultCommunicationCenter();
    if (center->identifier() == QLatin1String(kDefaultCommunicationIdentifier) && _bundle)
        center->setIdentifier(_bundle->identifier());
    identifier_ = center->identifier();

    IBfiltersMenuItem_->setEnabled(false);
    connect(IBengineMenuItem_, &QAction::triggered, this, &JKW5_MenuController::switchStatus);
    connect(IBopenMenuItem_, &QAction::triggered, this, &JKW5_MenuController::openJunkwardApplication);
    connect(ui_->applicationMenu, &QMenu::aboutToShow, this, &JKW5_MenuController::validateMenu);

    setApplicationIconNamed(QString::fromLatin1(kIconName));
    loadPlugins();
    isDaemonRunning_ = center->existsRemoteMessagePort();
    if (isDaemonRunning_) {
        loadCurrentSettings();
    } else {
        timer_ = std::make_unique<QTimer>();
        connect(timer_.get(), &QTimer::timeout, this, &JKW5_MenuController::checkForDaemonStatus);
        timer_->start(JKW5_MENU_FAST_POLL_MS);
    }

    auto& notifications = platform::DistributedNotificationCenter::defaultCenter();
    observers_ << notifications.addObserver(QString::fromLatin1(kAllSettingsDidChange), std::nullopt,
                                            [this](const platform::Notification&) { allSettingsDidChange(); });
    observers_ << notifications.addObserver(QString::fromLatin1(sw::distributedNotificationStatusOfFilterDidChange),
                                            std::nullopt, [this](const platform::Notification& n) {
                                                distributedFilterStatusDidChange(n.object, n.userInfo, n.hasUserInfo);
                                            });
    validateMenu();
}

QMenu* JKW5_MenuController::statusMenu() const { return ui_ ? ui_->applicationMenu : nullptr; }

QString JKW5_MenuController::statusToolTip() const {
    if (!isRunningFine_)
        return localized(kTipWaiting);
    return localized(engineStatus_ ? kTipOn : kTipOff);
}

QString JKW5_MenuController::localized(const char* text) const {
    const QString key = QString::fromUtf8(text);
    return _bundle ? _bundle->localizedString(key, key) : key;
}

QString JKW5_MenuController::preferencesPathWithIdentifier(const QString& identifier) {
    return SWPluginPreferencesManager::preferencesPathWithIdentifier(identifier);
}

void JKW5_MenuController::checkForDaemonStatus() {
    JKW5FrontEndCommunicationCenter* center = JKW5FrontEndCommunicationCenter::defaultCommunicationCenter();
    if (!center->existsRemoteMessagePort())
        center->checkForDaemonStatus();
    if (center->existsRemoteMessagePort()) {
        isDaemonRunning_ = true;
        if (timer_)
            timer_->stop();
        timer_.reset();
        loadCurrentSettings();
        return;
    }
    if (++failedDaemonChecks == JKW5_MENU_FAST_POLL_COUNT && timer_)
        timer_->start(JKW5_MENU_SLOW_POLL_MS);
}

int JKW5_MenuController::pollInterval() const { return timer_ && timer_->isActive() ? timer_->interval() : 0; }

void JKW5_MenuController::loadCurrentSettings() {
    isRunningFine_ = true;
    buildFiltersSection();
    updateIcon();
}

void JKW5_MenuController::loadPlugins() {
    plugins_.clear();
    cachedSortedFiltersList_.clear();
    const QDir folder(platform::folders::junkwardPlugins());
    const QStringList names = folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    for (const QString& name : names) {
        if (name.endsWith(QLatin1Char('.')))
            continue;
        const QString uiPath = folder.filePath(name) + QLatin1Char('/') + QLatin1String(kUIBundleName);
        if (!QFileInfo(uiPath).isDir())
            continue;
        const auto bundle = platform::Bundle::open(uiPath);  // not loaded: only its information is read
        if (!bundle)
            continue;
        QVariantMap entry{{JKW5_MENU_BUNDLE_KEY, uiPath}, {JKW5_MENU_STATUS_KEY, false}};
        const QVariant position = bundle->objectForInfoKey(JKW5_MENU_POSITION_KEY);
        if (position.isValid())
            entry.insert(JKW5_MENU_POSITION_KEY, position.toString());
        const QString identifier = bundle->objectForInfoKey(JKW5_MENU_IDENTIFIER_KEY).toString();
        if (identifier.isEmpty() || preferencesPathWithIdentifier(identifier).isEmpty())
            continue;
        entry.insert(JKW5_MENU_IDENTIFIER_KEY, identifier);

        // The status as the engine sees it: the preference file's "Status" (on when
        // the key is missing); without a file, the default of the filter's engine
        // bundle beside the interface bundle.
        bool status = true;
        if (const auto preferences = platform::plist::readDictionary(preferencesPathWithIdentifier(identifier))) {
            status = platform::plist::boolValue(*preferences, JKW5_MENU_STATUS_KEY, true);
        } else if (!QFileInfo::exists(preferencesPathWithIdentifier(identifier))) {
            const QVariantMap defaults = SWPluginPreferencesManager::loadPreferencesWithBundle(bundle, identifier);
            status = platform::plist::boolValue(defaults, JKW5_MENU_STATUS_KEY, true);
        }
        entry.insert(JKW5_MENU_STATUS_KEY, status);

        if (identifier == QLatin1String(kGeneral)) {
            engineStatus_ = status;
        } else {
            entry.insert(JKW5_MENU_NAME_KEY, bundle->localizedString(QStringLiteral("ToolBarName"), identifier));
            cachedSortedFiltersList_.append(entry);
        }
        plugins_.insert(identifier, entry);
    }
    // The engine's own switch lives in the "General" preference file whether or not
    // an interface bundle lists it.
    if (!plugins_.contains(QLatin1String(kGeneral))) {
        const auto general = platform::plist::readDictionary(preferencesPathWithIdentifier(QLatin1String(kGeneral)));
        engineStatus_ = general ? platform::plist::boolValue(*general, JKW5_MENU_STATUS_KEY, true) : true;
    }
    std::stable_sort(cachedSortedFiltersList_.begin(), cachedSortedFiltersList_.end(),
                     [](const QVariantMap& a, const QVariantMap& b) { return comparePlugin(a, b) < 0; });
}

QList<QAction*> JKW5_MenuController::filterItems() const {
    QList<QAction*> items;
    const QList<QAction*> all = ui_->applicationMenu->actions();
    for (qsizetype i = all.indexOf(IBfiltersMenuItem_) + 1; i > 0 && i < all.size() && !all[i]->isSeparator(); ++i)
        items << all[i];
    return items;
}

void JKW5_MenuController::buildFiltersSection() {
    QMenu* menu = ui_->applicationMenu;
    for (QAction* item : filterItems()) {
        menu->removeAction(item);
        item->deleteLater();
    }
    const QList<QAction*> all = menu->actions();
    const qsizetype after = all.indexOf(IBfiltersMenuItem_) + 1;
    QAction* before = after < all.size() ? all[after] : nullptr;
    for (qsizetype tag = 0; tag < cachedSortedFiltersList_.size(); ++tag) {
        const QVariantMap& entry = cachedSortedFiltersList_[tag];
        if (!entry.contains(JKW5_MENU_NAME_KEY))
            continue;
        auto* item = new QAction(entry.value(JKW5_MENU_NAME_KEY).toString(), menu);
        item->setCheckable(true);
        item->setData(int(tag));
        connect(item, &QAction::triggered, this, [this, item] { switchFilterStatus(item); });
        menu->insertAction(before, item);
    }
    validateMenu();
}

void JKW5_MenuController::setApplicationIconNamed(const QString& name) {
    iconName_ = name;
    updateIcon();
}

// The icon shows the engine's state: in full colour while it filters, greyed
// while it is switched off, faded while the menu waits for the daemon.
void JKW5_MenuController::updateIcon() {
    const QString path = _bundle ? _bundle->pathForResource(iconName_, QLatin1String(kIconType)) : QString();
    QPixmap base(path);
    if (base.isNull()) {
        base = QPixmap(64, 64);
        base.fill(QColor(0x2e, 0x7d, 0x32));
    }
    base = base.scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    // Grey while the engine is off, faded while waiting for the daemon.
    QImage image = base.toImage().convertToFormat(QImage::Format_ARGB32);
    if (!isRunningFine_ || !engineStatus_) {
        for (int y = 0; y < image.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                const int grey = qGray(line[x]);
                const int alpha = qAlpha(line[x]) * (isRunningFine_ ? 3 : 2) / 5;
                line[x] = isRunningFine_ ? qRgba(grey, grey, grey, alpha)
                                         : qRgba(qRed(line[x]), qGreen(line[x]), qBlue(line[x]), alpha);
            }
        }
    }
    const QIcon icon(QPixmap::fromImage(image));
    icon_ = icon;
    IBapplicationMenuItem_->setIcon(icon_);
    emit statusIconChanged();
}

void JKW5_MenuController::switchStatus() {
    engineStatus_ = !engineStatus_;
    forwardStatus(engineStatus_, QString::fromLatin1(kGeneral));
    validateMenu();
    updateIcon();
}

void JKW5_MenuController::switchFilterStatus(QAction* sender) {
    const int tag = sender->data().toInt();
    if (tag < 0 || tag >= cachedSortedFiltersList_.size())
        return;
    const QVariantMap& entry = cachedSortedFiltersList_[tag];
    const QVariant status = entry.value(JKW5_MENU_STATUS_KEY);
    const bool newStatus = status.isValid() ? !status.toBool() : true;
    forwardStatus(newStatus, entry.value(JKW5_MENU_IDENTIFIER_KEY).toString());
    validateMenu();
}

bool JKW5_MenuController::forwardStatus(bool status, const QString& identifier) {
    const auto store = [this, &identifier](bool value) {
        if (!plugins_.contains(identifier))
            return;
        plugins_[identifier].insert(JKW5_MENU_STATUS_KEY, value);
        for (QVariantMap& entry : cachedSortedFiltersList_)
            if (entry.value(JKW5_MENU_IDENTIFIER_KEY).toString() == identifier)
                entry.insert(JKW5_MENU_STATUS_KEY, value);
        if (identifier == QLatin1String(kGeneral))
            engineStatus_ = value;
    };
    const QString path = preferencesPathWithIdentifier(identifier);
    if (path.isEmpty())
        return false;

    // A filter that has never been set up has no file yet: its defaults (those of
    // its engine bundle) are written with the new status, so the switch reaches
    // the engine. A file that exists but cannot be read is left alone, and the
    // menu keeps showing the state the engine still has.
    std::optional<QVariantMap> preferences = platform::plist::readDictionary(path);
    if (!preferences && !QFileInfo::exists(path)) {
        std::shared_ptr<platform::Bundle> bundle;
        if (plugins_.contains(identifier))
            bundle = platform::Bundle::open(plugins_[identifier].value(JKW5_MENU_BUNDLE_KEY).toString());
        preferences = SWPluginPreferencesManager::loadPreferencesWithBundle(bundle, identifier);
    }
    if (!preferences) {
        platform::log::console(
            QStringLiteral("[JKW5_MenuController forwardStatus:forIdentifier:] Unable to read %1").arg(path));
        return false;
    }
    preferences->insert(JKW5_MENU_STATUS_KEY, status);
    if (!SWPluginPreferencesManager::savePreferences(*preferences, identifier)) {
        platform::log::console(
            QStringLiteral("[JKW5_MenuController forwardStatus:forIdentifier:] Unable to write %1").arg(path));
        return false;
    }
    store(status);

    const QVariantMap info{{identifier, status}};
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    center.post(QString::fromLatin1(sw::SWSievraPlugInsStatusDidChange), QString(), &info);
    center.post(QString::fromLatin1(sw::distributedNotificationStatusOfFilterDidChange), identifier_, &info);
    return true;
}

void JKW5_MenuController::validateMenu() {
    for (QAction* item : ui_->applicationMenu->actions())
        if (!item->isSeparator())
            item->setEnabled(validateMenuItem(item));
}

bool JKW5_MenuController::validateMenuItem(QAction* item) {
    if (item == IBopenMenuItem_)
        return true;
    if (!isRunningFine_)
        return false;
    if (item == IBengineMenuItem_) {
        item->setText(localized(engineStatus_ ? kEngineOff : kEngineOn));
        return true;
    }
    const QList<QAction*> filters = filterItems();
    if (filters.contains(item)) {
        const int tag = item->data().toInt();
        const bool on = tag >= 0 && tag < cachedSortedFiltersList_.size() &&
                        cachedSortedFiltersList_[tag].value(JKW5_MENU_STATUS_KEY).toBool();
        item->setChecked(on);
        return engineStatus_;
    }
    return false;
}

void JKW5_MenuController::distributedFilterStatusDidChange(const QString& object, const QVariantMap& userInfo,
                                                           bool hasUserInfo) {
    if (object.isEmpty() || !hasUserInfo || userInfo.isEmpty() || object == identifier_)
        return;
    const QString identifier = userInfo.firstKey();
    if (!plugins_.contains(identifier))
        return;
    const bool status = platform::plist::boolValue(userInfo, identifier, true);
    plugins_[identifier].insert(JKW5_MENU_STATUS_KEY, status);
    for (QVariantMap& entry : cachedSortedFiltersList_)
        if (entry.value(JKW5_MENU_IDENTIFIER_KEY).toString() == identifier)
            entry.insert(JKW5_MENU_STATUS_KEY, status);
    if (identifier == QLatin1String(kGeneral)) {
        engineStatus_ = status;
        updateIcon();
    }
    validateMenu();
}

void JKW5_MenuController::allSettingsDidChange() {
    loadPlugins();
    if (isRunningFine_)
        buildFiltersSection();
    updateIcon();
}

bool JKW5_MenuController::isOlderFrontEnd(const QString& bundlePath) {
    const auto info = platform::plist::readDictionary(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!info)
        return false;
    const QString build = info->value(QStringLiteral("ASBuildVersion")).toString();
    return build.size() > 3 && build.at(3) < QLatin1Char('5');
}

void JKW5_MenuController::openJunkwardApplication() {
    const QString signature = QString::fromLatin1(platform::launching::kFrontEndSignature);
    const QString executable = platform::launching::findApplication(signature);
    if (!executable.isEmpty()) {
        // A program inside "<Name>.app/Contents/MacOS/" belongs to that bundle.
        QDir folder = QFileInfo(executable).dir();
        QString bundlePath;
        if (folder.dirName() == QLatin1String("MacOS") && folder.cdUp() &&
            folder.dirName() == QLatin1String("Contents") && folder.cdUp())
            bundlePath = folder.path();
        const auto bundle = bundlePath.isEmpty() ? nullptr : platform::Bundle::open(bundlePath);
        const bool sameApplication = !bundle || bundle->identifier().isEmpty() ||
                                     bundle->identifier() == QLatin1String(kFrontEndBundleIdentifier);
        if (sameApplication && !(bundle && isOlderFrontEnd(bundlePath)) &&
            platform::launching::openApplication(signature))
            return;
    }
    platform::launching::launchApplicationNamed(QString::fromLatin1(kFrontEndName));
}
