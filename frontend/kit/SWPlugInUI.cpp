#include "frontend/kit/SWPlugInUI.h"

#include "engine/SWNotifications.h"
#include "engine/SWPluginPreferencesManager.h"
#include "frontend/kit/SWUIConstants.h"
#include "frontend/kit/SWUICommon.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include "ui_SWPlugInUIView.h"

#include <QComboBox>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

namespace {

constexpr const char* kNoPreferences = "Not able to load preferences for identifier:%1";
constexpr const char* kNoPreferencesAfterImport = "Not able to load preferences for identifier: %1";
constexpr const char* kNotSaved = "The Preferences for identifier \"%1\" couldn't be saved on disk";

constexpr int kDaySamples = 24;
constexpr int kWeekSamples = 7;
constexpr int kDayRefreshMs = 300 * 1000;
constexpr int kWeekMonthRefreshMs = 3600 * 1000;
constexpr int kLearnCoalesceMs = 400;

QString key(int number) { return QString::number(number); }

// The record of one period, or nullopt when the statistics lack it (or it is
// not a dictionary: a damaged file shows as empty periods).
std::optional<QVariantMap> periodRecord(const QVariantMap& statistics, const QList<int>& path) {
    QVariantMap level = statistics;
    for (int part : path) {
        const QVariant next = level.value(key(part));
        if (next.typeId() != QMetaType::QVariantMap)
            return std::nullopt;
        level = next.toMap();
    }
    return level;
}

// A counter's value when it is a non-negative number.
std::optional<quint64> counter(const QVariantMap& map, const char* name) {
    const QVariant v = map.value(QLatin1String(name));
    switch (v.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
        return v.toLongLong() >= 0 ? std::optional<quint64>(quint64(v.toLongLong())) : std::nullopt;
    case QMetaType::ULongLong:
    case QMetaType::UInt:
        return v.toULongLong();
    case QMetaType::Double:
        return v.toDouble() >= 0 && v.toDouble() < 1e18 ? std::optional<quint64>(quint64(v.toDouble())) : std::nullopt;
    default:
        return std::nullopt;
    }
}

// Days of the month before the one of date: the day of the month of the date
// lying (day of month) days earlier.
int daysOfPreviousMonth(const QDate& date) { return date.addDays(-date.day()).day(); }

}  // namespace

SWPlugInUI::SWPlugInUI() : clock_([] { return QDateTime::currentDateTime(); }) {}

SWPlugInUI::~SWPlugInUI() {
    auto& distributed = platform::DistributedNotificationCenter::defaultCenter();
    for (int token : distributedObservers_)
        distributed.removeObserver(token);
    auto& local = platform::LocalNotificationCenter::defaultCenter();
    for (int token : localObservers_)
        local.removeObserver(token);
    if (IBview_ && !IBview_->parent())
        delete IBview_.data();
}

bool SWPlugInUI::loadMainView() {
    if (IBview_)
        return true;
    ui_ = std::make_unique<Ui::SWPlugInUIView>();
    auto* top = new QWidget;
    ui_->setupUi(top);
    QWidget* settings = settingsView();
    if (!settings) {
        delete top;
        ui_.reset();
        return false;
    }
    ui_->settingsLayout->addWidget(settings);
    IBview_ = top;
    IBsettingsView_ = ui_->settingsPage;
    IBstatisticsView_ = ui_->statisticsPage;
    QFont title = ui_->titleLabel->font();
    title.setPointSizeF(title.pointSizeF() * 1.35);
    title.setBold(true);
    ui_->titleLabel->setFont(title);
    ui_->settingsButton->setChecked(true);
    ui_->contentView->setCurrentWidget(IBsettingsView_);

    connect(ui_->settingsButton, &QToolButton::clicked, this, [this] { showSettings(); });
    connect(ui_->statisticsButton, &QToolButton::clicked, this, [this] { showStatistics(); });
    connect(ui_->histogramPopup, &QComboBox::activated, this, [this](int index) { takePeriodFrom(index); });
    connect(ui_->statisticsResetButton, &QPushButton::clicked, this, [this] { resetStatistics(); });
    initSizes();
    return true;
}

QWidget* SWPlugInUI::settingsView() { return new QWidget; }

bool SWPlugInUI::initWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier) {
    // 1. Bundle and identifier.
    if (!bundle)
        return false;
    bundle_ = std::move(bundle);
    identifier_ = identifier;

    // 2. Graph keys and observers.
    if (!identifier_.isEmpty()) {
        graphKeys_.clear();
        for (const QVariant& k : bundle_->objectForInfoKey(QLatin1String(swui::SWUIGraphKey)).toList()) {
            if (k.typeId() == QMetaType::QString && graphKeys_.size() < 2)
                graphKeys_ << k.toString();
        }
        auto& distributed = platform::DistributedNotificationCenter::defaultCenter();
        distributedObservers_ << distributed.addObserver(
            sw::SWPlugInStatisticsDidUpdate, identifier_,
            [this](const platform::Notification&) { statisticsDidUpdate(); });
        learnTimer_ = new QTimer(this);
        learnTimer_->setSingleShot(true);
        learnTimer_->setInterval(kLearnCoalesceMs);
        auto lastLearn = std::make_shared<platform::Notification>();
        connect(learnTimer_, &QTimer::timeout, this, [this, lastLearn] { preferencesDidLearn(*lastLearn); });
        distributedObservers_ << distributed.addObserver(sw::SWPlugInPreferencesDidLearn, identifier_,
                                                         [this, lastLearn](const platform::Notification& n) {
                                                             *lastLearn = n;  // coalesced: a burst is one refresh
                                                             if (!learnTimer_->isActive())
                                                                 learnTimer_->start();
                                                         });
        auto& local = platform::LocalNotificationCenter::defaultCenter();
        localObservers_ << local.addObserver(swui::SWPlugInSettingsDidImport,
                                             [this](const platform::Notification&) { reloadPreferences(); });
        localObservers_ << local.addObserver(sw::SWPlugInProtectionStatusDidChange,
                                             [this](const platform::Notification& n) { protectionStatusDidChange(n); });
        localObservers_ << local.addObserver(swui::SWSievraPlugInsLocalPostStatusDidChange,
                                             [this](const platform::Notification& n) {
                                                 if (n.object == identifier_)
                                                     localStatusDidChange(n);
                                             });
    }

    // 3.-5. Preferences, status, settings.
    if (!loadPreferences(kNoPreferences))
        return false;

    // 6. Period, histogram, statistics.
    const QVariant storedPeriod = preferences_.value(QLatin1String(swui::SWUIStatisticsPeriodKey));
    period_ = storedPeriod.canConvert<int>() ? std::clamp(storedPeriod.toInt(), 0, 2) : 0;
    if (ui_) {
        ui_->titleLabel->setText(localizedName());
        ui_->histogramPopup->setCurrentIndex(period_);
        ui_->histogram->setInterColumnWidth(period_ == 1 ? 10.0 : 2.0);
        ui_->histogram->setVerticalLabel(tr("Messages"));
        ui_->histogram->setHorizontalLabel(QStringLiteral(" "));
        ui_->histogram->setDataSource(this);
    }
    statisticsDidUpdate();
    return true;
}

bool SWPlugInUI::loadPreferences(const char* failureText) {
    preferences_ = SWPluginPreferencesManager::loadPreferencesWithBundle(bundle_, identifier_);
    if (preferences_.isEmpty()) {
        platform::log::console(QString::fromLatin1(failureText).arg(identifier_));
        return false;
    }
    status_ = platform::plist::boolValue(preferences_, QLatin1String(sw::SWPreferencesStatusKey), false);
    platform::LocalNotificationCenter::defaultCenter().post(swui::SWSievraPlugInsLocalPostStatus, identifier_,
                                                            {{sw::SWPreferencesStatusKey, status_}});
    const QVariant settings = preferences_.value(QLatin1String(sw::SWPreferencesSettingsKey));
    if (settings.typeId() == QMetaType::QVariantMap) {
        settings_ = settings.toMap();
    } else {
        settings_.clear();
        preferences_.insert(QLatin1String(sw::SWPreferencesSettingsKey), settings_);
    }
    return true;
}

void SWPlugInUI::pluginDidFinishLoading() {}

QWidget* SWPlugInUI::view() const { return IBview_; }

QString SWPlugInUI::localizedName() const {
    if (!bundle_)
        return identifier_;
    return bundle_->localizedString(QLatin1String(swui::SWUIToolBarNameKey), identifier_);
}

QAHistogramView* SWPlugInUI::histogramView() const { return ui_ ? ui_->histogram : nullptr; }

void SWPlugInUI::paneHasBeenSelected(QObject*) {
    if (!ui_)
        return;
    ui_->statisticsResetButton->setEnabled(true);
    ui_->settingsButton->setChecked(!isStatisticsViewVisible());
    ui_->statisticsButton->setChecked(isStatisticsViewVisible());
}

void SWPlugInUI::switchTo(bool statistics) {
    if (!ui_)
        return;
    ui_->contentView->setCurrentWidget(statistics ? IBstatisticsView_ : IBsettingsView_);
    ui_->settingsButton->setChecked(!statistics);
    ui_->statisticsButton->setChecked(statistics);
    if (statistics)
        ui_->histogram->update();
    emit viewDidSwitch();
}

void SWPlugInUI::showSettings() { switchTo(false); }
void SWPlugInUI::showStatistics() { switchTo(true); }

bool SWPlugInUI::isStatisticsViewVisible() const {
    return ui_ && ui_->contentView->currentWidget() == IBstatisticsView_;
}

void SWPlugInUI::statisticsDidUpdate() {
    statistics_ = SWPluginPreferencesManager::loadStatisticsWithIdentifier(identifier_);
    updateCounters();
    updateWorkingData();
    if (ui_)
        ui_->histogram->update();
    platform::LocalNotificationCenter::defaultCenter().post(swui::SWSievraPlugInLocalScoreDidChange, identifier_,
                                                            statistics_.value_or(QVariantMap()));
}

QString SWPlugInUI::counterText(const char* name) const {
    if (!statistics_)
        return QStringLiteral("--");
    if (auto v = counter(*statistics_, name))
        return QLocale().toString(*v);
    const bool processed = counter(*statistics_, sw::SWMAILPROCESSED).has_value();
    if (qstrcmp(name, sw::SWMAILPROCESSED) != 0 && processed)
        return QStringLiteral("0");
    return QStringLiteral("--");
}

void SWPlugInUI::updateCounters() {
    if (!ui_)
        return;
    ui_->mailProcessed->setText(counterText(sw::SWMAILPROCESSED));
    ui_->hamDetected->setText(counterText(sw::SWMAILHAMDETECTED));
    ui_->spamDetected->setText(counterText(sw::SWMAILSPAMDETECTED));
    ui_->falsePositive->setText(counterText(sw::SWMAILFALSEPOSITIVE));
    const QVariant start = statistics_ ? statistics_->value(QLatin1String(sw::SWMAILSTARTDATE)) : QVariant();
    ui_->startDate->setText(start.typeId() == QMetaType::QDateTime && start.toDateTime().isValid()
                                ? QLocale().toString(start.toDateTime().toLocalTime(), QLocale::LongFormat)
                                : QStringLiteral("--"));
}

QDateTime SWPlugInUI::now() const { return clock_(); }

void SWPlugInUI::updateWorkingData() { updateWorkingData(now()); }

void SWPlugInUI::updateWorkingData(const QDateTime& localNow) {
    workingData_.clear();
    sampleDates_.clear();
    maxValue_ = 0;
    const QVariantMap statistics = statistics_.value_or(QVariantMap());
    const QDate today = localNow.date();
    const int Y = today.year(), M = today.month(), D = today.day(), H = localNow.time().hour();
    auto store = [&](int index, const std::optional<QVariantMap>& sample) {
        if (sample)
            workingData_.insert(index, *sample);
    };

    switch (period_) {
    case 0: {
        // The current hour is sample 23; hours before midnight come from yesterday.
        const QDate yesterday = QDateTime(today, QTime(H, 30)).addDays(-1).date();
        for (int s = kDaySamples - 1; s >= 0; --s) {
            const int h = H - (kDaySamples - 1 - s);
            if (h >= 0) {
                store(s, periodRecord(statistics, {Y, M, D, h}));
                sampleDates_.insert(s, QDateTime(today, QTime(h, 0)));
            } else {
                store(s, periodRecord(statistics, {yesterday.year(), yesterday.month(), yesterday.day(), h + 24}));
                sampleDates_.insert(s, QDateTime(yesterday, QTime(h + 24, 0)));
            }
        }
        break;
    }
    case 1: {
        const int previousDays = daysOfPreviousMonth(today);
        for (int k = 0; k >= -(kWeekSamples - 1); --k) {
            const int d = D + k;
            const QDate date = today.addDays(k);
            if (d >= 1)
                store(kWeekSamples - 1 + k, periodRecord(statistics, {Y, M, d}));
            else
                store(kWeekSamples - 1 + k, periodRecord(statistics, {date.year(), date.month(), previousDays + d}));
            sampleDates_.insert(kWeekSamples - 1 + k, QDateTime(date, QTime(0, 0)));
        }
        break;
    }
    case 2: {
        const int N = daysOfPreviousMonth(today);
        for (int i = 0; i < N; ++i) {
            const int d = D - i;
            const QDate date = today.addDays(-i);
            if (d > 0)
                store(N - 1 - i, periodRecord(statistics, {Y, M, d}));
            else
                store(N - 1 - i, periodRecord(statistics, {date.year(), date.month(), N + d}));
            sampleDates_.insert(N - 1 - i, QDateTime(date, QTime(0, 0)));
        }
        break;
    }
    default:
        break;
    }

    const char* maxKey = sw::SWMAILPROCESSED;
    const QByteArray single = graphKeys_.size() == 1 ? graphKeys_.first().toUtf8() : QByteArray();
    for (auto it = workingData_.cbegin(); it != workingData_.cend(); ++it) {
        const quint64 v = counter(*it, single.isEmpty() ? maxKey : single.constData()).value_or(0);
        if (qint64(std::min<quint64>(v, quint64(1) << 62)) > maxValue_)
            maxValue_ = qint64(std::min<quint64>(v, quint64(1) << 62));
    }
}

int SWPlugInUI::numberOfSamplesInHistogramView(const QAHistogramView*) const {
    switch (period_) {
    case 0:
        return kDaySamples;
    case 1:
        return kWeekSamples;
    case 2:
        return daysOfPreviousMonth(now().date());
    default:
        return 0;
    }
}

int SWPlugInUI::numberOfValuesPerSampleInHistogramView(const QAHistogramView*) const {
    if (graphKeys_.isEmpty())
        return 2;
    if (graphKeys_.size() == 1)
        return graphKeys_.first() == QLatin1String(sw::SWMAILHAMDETECTED) ? 2 : 1;
    return int(graphKeys_.size());
}

std::array<qint64, 2> SWPlugInUI::histogramViewSampleAtIndex(const QAHistogramView*, int index) const {
    std::array<qint64, 2> values{0, 0};
    const auto sample = workingData_.constFind(index);
    if (sample == workingData_.cend())
        return values;
    const QStringList keys =
        graphKeys_.isEmpty() ? QStringList{QLatin1String(sw::SWMAILSPAMDETECTED), QLatin1String(sw::SWMAILPROCESSED)}
                             : graphKeys_;
    size_t slot = keys.first() == QLatin1String(sw::SWMAILHAMDETECTED) ? 1 : 0;
    for (const QString& k : keys) {
        if (slot >= values.size())
            break;
        const QByteArray name = k.toUtf8();
        qint64 v = qint64(std::min<quint64>(counter(*sample, name.constData()).value_or(0), quint64(1) << 62));
        for (size_t before = 0; before < slot; ++before)
            v -= values[before];
        values[slot++] = std::max<qint64>(0, v);  // a damaged file never draws below the axis
    }
    return values;
}

qint64 SWPlugInUI::maxValueInHistogramView(const QAHistogramView*) const { return maxValue_; }

QColor SWPlugInUI::spamColor() { return QColor(214, 55, 55); }
QColor SWPlugInUI::goodMailColor() { return QColor::fromRgbF(0.651f, 0.914f, 0.224f); }

std::array<QColor, 2> SWPlugInUI::attributesForSampleInHistogramView(const QAHistogramView*) const {
    return {spamColor(), goodMailColor()};
}

QAHistogramLabel SWPlugInUI::histogramViewLabelForSampleAtIndex(const QAHistogramView*, int i) const {
    const QDateTime current = now();
    const int w = current.date().dayOfWeek() % 7;  // 0 for Sunday
    QAHistogramLabel label;
    switch (period_) {
    case 0: {
        const int h = (current.time().hour() + i) % 24;
        if ((h + 1) % 3 == 0)
            label.text = QStringLiteral("%1:00").arg((h + 1) % 24);
        break;
    }
    case 1: {
        const int n = ((w + i) % 7) + 1;
        label.text = swui::localizedHistogramString(QStringLiteral("Day %1").arg(n));
        break;
    }
    case 2: {
        const int N = daysOfPreviousMonth(current.date());
        const int n = ((w + i - N + 35) % 7) + 1;
        label.text = swui::localizedHistogramString(QStringLiteral("D%1").arg(n));
        // "D6" and "D7" are Saturday and Sunday: the weekend stands out.
        label.bold = n == 6 || n == 7;
        break;
    }
    default:
        break;
    }
    return label;
}

QStringList SWPlugInUI::legendForValuesInHistogramView(const QAHistogramView* view) const {
    const int values = numberOfValuesPerSampleInHistogramView(view);
    if (values == 1) {
        const bool ham = graphKeys_.value(0) == QLatin1String(sw::SWMAILHAMDETECTED);
        return {ham ? tr("Good mail") : tr("Spam"), QString()};
    }
    if (graphKeys_.size() == 1)  // the ham-only key: slot 0 stays empty
        return {QString(), tr("Good mail")};
    if (graphKeys_.isEmpty())  // spam and the rest of the processed messages
        return {tr("Spam"), tr("Not spam")};
    return {tr("Spam"), tr("Good mail")};
}

QString SWPlugInUI::sampleDateText(int index) const {
    const QDateTime date = sampleDates_.value(index);
    if (!date.isValid())
        return {};
    if (period_ == 0)
        return QLocale().toString(date, QStringLiteral("ddd d MMM, HH:00")) + QStringLiteral("–") +
               QLocale().toString(date.addSecs(3600), QStringLiteral("HH:00"));
    return QLocale().toString(date.date(), QStringLiteral("dddd d MMMM yyyy"));
}

QString SWPlugInUI::toolTipForSampleAtIndex(const QAHistogramView*, int index) const {
    const QString when = sampleDateText(index);
    const auto sample = workingData_.constFind(index);
    if (sample == workingData_.cend())
        return when + QStringLiteral("\n") + tr("No messages");
    QStringList lines{when};
    lines << tr("Processed: %1").arg(counter(*sample, sw::SWMAILPROCESSED).value_or(0));
    lines << tr("Spam: %1").arg(counter(*sample, sw::SWMAILSPAMDETECTED).value_or(0));
    lines << tr("Good mail: %1").arg(counter(*sample, sw::SWMAILHAMDETECTED).value_or(0));
    if (auto fp = counter(*sample, sw::SWMAILFALSEPOSITIVE))
        lines << tr("False positives: %1").arg(*fp);
    return lines.join(QLatin1Char('\n'));
}

void SWPlugInUI::takePeriodFrom(int index) {
    period_ = std::clamp(index, 0, 2);
    if (!periodTimer_) {
        periodTimer_ = new QTimer(this);
        connect(periodTimer_, &QTimer::timeout, this, [this] { updateHistogram(); });
    }
    periodTimer_->start(period_ == 0 ? kDayRefreshMs : kWeekMonthRefreshMs);
    if (ui_) {
        ui_->histogramPopup->setCurrentIndex(period_);
        ui_->histogram->setInterColumnWidth(period_ == 1 ? 10.0 : 2.0);
    }
    updateHistogram();
    preferences_.insert(QLatin1String(swui::SWUIStatisticsPeriodKey), qint64(period_));
    savePreferences();
}

void SWPlugInUI::updateHistogram() {
    updateWorkingData();
    if (ui_)
        ui_->histogram->update();
}

void SWPlugInUI::dialogDisplayed(bool shown) {
    platform::LocalNotificationCenter::defaultCenter().post(swui::JKW5_USERINTERFACE_DIALOGDISPLAYED_DIDCHANGE,
                                                            QVariant(shown));
}

void SWPlugInUI::resetStatistics() {
    QMessageBox box(QMessageBox::Warning, tr("Reset Statistics"),
                    tr("Do you really want to reset the statistics for the %1 filter?").arg(localizedName()),
                    QMessageBox::NoButton, IBview_ ? IBview_->window() : nullptr);
    box.setInformativeText(tr("This cannot be undone."));
    QPushButton* reset = box.addButton(tr("Reset"), QMessageBox::DestructiveRole);
    box.addButton(tr("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(reset);
    dialogDisplayed(true);
    box.exec();
    dialogDisplayed(false);
    if (box.clickedButton() == reset)
        resetStatisticsConfirmed();
}

void SWPlugInUI::resetStatisticsConfirmed() {
    platform::LocalNotificationCenter::defaultCenter().post(sw::SWPlugInStatisticsDidReset, identifier_,
                                                            {{sw::SWPluginIdentifierKey, identifier_}});
    statisticsDidUpdate();
}

bool SWPlugInUI::savePreferences() {
    // The engine may have written the file since it was read (a list learned a
    // sender): only this panel's own keys are laid over what is on disk now.
    QVariantMap onDisk;
    if (auto current =
            platform::plist::readDictionary(SWPluginPreferencesManager::preferencesPathWithIdentifier(identifier_)))
        onDisk = *current;
    for (const char* k : {sw::SWPreferencesStatusKey, swui::SWUIStatisticsPeriodKey}) {
        if (preferences_.contains(QLatin1String(k)))
            onDisk.insert(QLatin1String(k), preferences_.value(QLatin1String(k)));
    }
    if (!onDisk.contains(QLatin1String(sw::SWPreferencesSettingsKey)))
        onDisk.insert(QLatin1String(sw::SWPreferencesSettingsKey), settings_);
    if (!SWPluginPreferencesManager::savePreferences(onDisk, identifier_)) {
        platform::log::console(QString::fromLatin1(kNotSaved).arg(identifier_));
        return false;
    }
    preferences_ = onDisk;
    const QVariant settings = preferences_.value(QLatin1String(sw::SWPreferencesSettingsKey));
    settings_ = settings.typeId() == QMetaType::QVariantMap ? settings.toMap() : QVariantMap();
    return true;
}

bool SWPlugInUI::updateSettings(const QVariantMap& settings) {
    settings_ = settings;
    preferences_.insert(QLatin1String(sw::SWPreferencesSettingsKey), settings_);
    if (!SWPluginPreferencesManager::savePreferences(preferences_, identifier_)) {
        platform::log::console(QString::fromLatin1(kNotSaved).arg(identifier_));
        return false;
    }
    platform::DistributedNotificationCenter::defaultCenter().post(sw::SWPlugInPreferencesDidChange, identifier_,
                                                                  &preferences_);
    return true;
}

void SWPlugInUI::setStatus(bool status) {
    auto& local = platform::LocalNotificationCenter::defaultCenter();
    local.post(swui::SWSievraPlugInsLocalPostStatusDidChange, identifier_, {{sw::SWPreferencesStatusKey, status}});
    local.post(swui::SWSievraPlugInsLocalPostStatus, identifier_, {{sw::SWPreferencesStatusKey, status}});
}

void SWPlugInUI::localStatusDidChange(const platform::Notification& notification) {
    status_ = platform::plist::boolValue(notification.userInfo, QLatin1String(sw::SWPreferencesStatusKey), status_);
    preferences_.insert(QLatin1String(sw::SWPreferencesStatusKey), status_);
    if (!savePreferences())
        return;
    const QVariantMap info{{identifier_, status_}};
    platform::DistributedNotificationCenter::defaultCenter().post(sw::distributedNotificationStatusOfFilterDidChange,
                                                                  swui::communicationIdentifier(), &info);
    interfaceWillUpdate(this);
}

void SWPlugInUI::reloadPreferences() {
    if (!loadPreferences(kNoPreferencesAfterImport))
        return;
    interfaceWillUpdate(this);
}

bool SWPlugInUI::importExtra(const QString&) { return true; }
bool SWPlugInUI::exportExtra(const QString&) { return true; }

void SWPlugInUI::preferencesDidLearn(const platform::Notification&) {}
void SWPlugInUI::initSizes() {}
void SWPlugInUI::viewDidResize(QObject*) {}
void SWPlugInUI::interfaceWillUpdate(QObject*) {}
void SWPlugInUI::protectionStatusDidChange(const platform::Notification&) {}
