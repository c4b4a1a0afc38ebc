#include "frontend/app/MainController.h"

#include "engine/SWNotifications.h"
#include "engine/SWPluginPreferencesManager.h"
#include "frontend/app/JKW5SettingsPackage.h"
#include "frontend/app/JKW_LogWindowController.h"
#include "frontend/app/SUAMainController.h"
#include "frontend/kit/SWPlugInUI.h"
#include "frontend/kit/SWUICommon.h"
#include "frontend/kit/SWUIConstants.h"
#include "ipc/JKW5FrontEndCommunicationCenter.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/LoginItems.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"
#include "platform/UserDefaults.h"

#include "ui_MainWindow.h"
#include "ui_StartupProgress.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {

constexpr const char* kDaemonProgram = "junkward-daemon";
constexpr const char* kManualName = "Manual_JKWX5_en.pdf";
constexpr const char* kDefaultsFrame = "ui.mainwindow.view.window.frame";
constexpr const char* kDefaultsListWidth = "ui.filters.list.width";
constexpr const char* kDefaultsShowHits = "ui.show.FilterHits";
constexpr const char* kWindowTitle = "Junkward X5";
constexpr int kMinimumListWidth = 224;
constexpr int kDaemonIntervalMs = 1000;

constexpr const char* kLogLoadFailed = "[MainController loadPlugins]: MainView.nib could not be load from: %1";
constexpr const char* kLogRemoveStatistics =
    "[MainController statisticsDidReset:]: Removing statistic file at path %1\" did fail.";
constexpr const char* kLogExtraExport = "- [MainController exportSettingsDidEnd:]: exportExtra failed for: \"%1\"";
constexpr const char* kLogExtraImport = "- [MainController importSettingsAtPath:]: importExtra failed for: \"%1\"";

MainController::AlertHandler& alertHandler() {
    static MainController::AlertHandler handler;
    return handler;
}

using swui::frameFromString;
using swui::frameString;

void beep() { QApplication::beep(); }

}  // namespace

void MainController::setAlertHandler(AlertHandler handler) { alertHandler() = std::move(handler); }

int MainController::alert(const Alert& a) {
    if (alertHandler())
        return alertHandler()(a);
    QMessageBox box(a.kind == Alert::Critical  ? QMessageBox::Critical
                    : a.kind == Alert::Warning ? QMessageBox::Warning
                                               : QMessageBox::Information,
                    QString::fromLatin1(kWindowTitle), a.title, QMessageBox::NoButton,
                    window_ && window_->isVisible() ? window_ : nullptr);
    box.setInformativeText(a.message);
    QList<QPushButton*> buttons;
    for (const QString& text : a.buttons)
        buttons << box.addButton(text, buttons.isEmpty() ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
    if (!buttons.isEmpty())
        box.setDefaultButton(buttons.first());
    runModal(box);
    const int index = int(buttons.indexOf(static_cast<QPushButton*>(box.clickedButton())));
    return index < 0 ? int(buttons.size()) - 1 : index;
}

int MainController::runModal(QDialog& dialog) {
    ++alertSheetCount_;
    validateMenuItems();
    const int result = dialog.exec();
    --alertSheetCount_;
    validateMenuItems();
    return result;
}

// 1. Creation.
MainController::MainController(QObject* parent)
    : QObject(parent),
      defaults_(std::make_unique<platform::UserDefaults>(QLatin1String(swui::JKW5FrontEndBundleIdentifier))) {
    auto& local = platform::LocalNotificationCenter::defaultCenter();
    localObservers_ << local.addObserver(swui::SWSievraPlugInLocalScoreDidChange,
                                         [this](const platform::Notification& n) { plugInScoreDidChange(n); });
    localObservers_ << local.addObserver(swui::SWSievraPlugInsLocalPostStatus,
                                         [this](const platform::Notification& n) { plugInDidSendStatus(n); });
    localObservers_ << local.addObserver(swui::JKW5_USERINTERFACE_DIALOGDISPLAYED_DIDCHANGE,
                                         [this](const platform::Notification& n) { dialogDisplayedDidChange(n); });
    auto& distributed = platform::DistributedNotificationCenter::defaultCenter();
    distributedObservers_ << distributed.addObserver(swui::SWPlugInAllSettingsDidChange, std::nullopt,
                                                     [this](const platform::Notification&) { allSettingsDidChange(); });
    distributedObservers_ << distributed.addObserver(
        sw::distributedNotificationStatusOfFilterDidChange, std::nullopt,
        [this](const platform::Notification& n) { distributedFilterStatusDidChange(n); });
    distributedObservers_ << distributed.addObserver(
        swui::userManualDidBecomeAvailable, std::nullopt,
        [this](const platform::Notification& n) { userManualDidBecomeAvailable(n); });
    daemonTimer_ = new QTimer(this);
    daemonTimer_->setSingleShot(true);
    daemonTimer_->setInterval(kDaemonIntervalMs);
    connect(daemonTimer_, &QTimer::timeout, this, [this] { checkDaemonStatus(); });
    if (daemonPortExists())
        isInitialized_ = true;
    else
        daemonTimer_->start();
}

MainController::~MainController() {
    auto& local = platform::LocalNotificationCenter::defaultCenter();
    for (int token : localObservers_)
        local.removeObserver(token);
    auto& distributed = platform::DistributedNotificationCenter::defaultCenter();
    for (int token : distributedObservers_)
        distributed.removeObserver(token);
    // The panels' views live in the window; the panels go first, then the window.
    for (auto& instance : instances_) {
        if (QWidget* view = instance->view())
            view->setParent(nullptr);
    }
    instances_.clear();
    delete progressWindow_;
    delete window_;
}

bool MainController::daemonPortExists() {
    JKW5FrontEndCommunicationCenter* center = JKW5FrontEndCommunicationCenter::defaultCommunicationCenter();
    if (!center->existsRemoteMessagePort())
        center->checkForDaemonStatus();
    return center->existsRemoteMessagePort();
}

void MainController::setDaemonWait(int tries, int intervalMs) {
    maximumDaemonTries_ = tries;
    daemonTimer_->setInterval(intervalMs);
}

// 2. Window set-up.
void MainController::awakeFromNib() {
    window_ = new QMainWindow;
    ui_ = std::make_unique<Ui::MainWindow>();
    ui_->setupUi(window_);
    window_->installEventFilter(this);
    const QString icon =
        platform::Bundle::mainBundle()->pathForResource(QStringLiteral("junkward-x5"), QStringLiteral("png"));
    if (!icon.isEmpty())
        QApplication::setWindowIcon(QIcon(icon));

    showDetectedSpams_ = platform::plist::boolValue(defaults_->dictionary(), QLatin1String(kDefaultsShowHits), true);
    if (auto frame = frameFromString(defaults_->value(QLatin1String(kDefaultsFrame)).toString())) {
        // A frame from another screen set-up is pulled back onto the screen.
        const QRect screen =
            QApplication::primaryScreen() ? QApplication::primaryScreen()->availableGeometry() : *frame;
        QRect r = *frame;
        if (!screen.intersects(r))
            r.moveTopLeft(screen.topLeft());
        window_->setGeometry(r);
    }

    model_ = new FilterListModel(this);
    model_->setShowHits(showDetectedSpams_);
    QTableView* table = ui_->filterTable;
    table->setModel(model_);
    table->setItemDelegate(new FilterListDelegate(table));
    table->verticalHeader()->hide();
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->horizontalHeader()->setSectionResizeMode(FilterListModel::StatusColumn, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setSectionResizeMode(FilterListModel::NameColumn, QHeaderView::Stretch);
    table->horizontalHeader()->setSectionResizeMode(FilterListModel::CountColumn, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setHighlightSections(false);
    table->setIconSize(QSize(24, 24));
    table->setMouseTracking(true);
    connect(model_, &FilterListModel::statusEdited, this, &MainController::statusEdited);
    // Space switches the selected filter, whichever cell of its row has the focus.
    auto* toggle = new QAction(table);
    toggle->setShortcut(Qt::Key_Space);
    toggle->setShortcutContext(Qt::WidgetShortcut);
    connect(toggle, &QAction::triggered, this, [this] {
        const QModelIndex current = ui_->filterTable->currentIndex();
        const QModelIndex box = model_->index(current.row(), FilterListModel::StatusColumn);
        if (current.isValid() && (model_->flags(box) & Qt::ItemIsUserCheckable) &&
            (model_->flags(box) & Qt::ItemIsEnabled))
            model_->setData(box, box.data(Qt::CheckStateRole).toInt() == Qt::Checked ? Qt::Unchecked : Qt::Checked,
                            Qt::CheckStateRole);
    });
    table->addAction(toggle);
    connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { tableViewSelectionDidChange(); });
    ui_->leftView->setMinimumWidth(kMinimumListWidth);

    connect(ui_->actionImportSettings, &QAction::triggered, this, &MainController::importSettings);
    connect(ui_->actionExportSettings, &QAction::triggered, this, &MainController::exportSettings);
    connect(ui_->actionResetAllStatistics, &QAction::triggered, this, &MainController::resetAllStatistics);
    connect(ui_->actionQuit, &QAction::triggered, window_, &QWidget::close);
    connect(ui_->actionShowSettings, &QAction::triggered, this, &MainController::showSettings);
    connect(ui_->actionShowStatistics, &QAction::triggered, this, &MainController::showStatistics);
    connect(ui_->actionShowHideDetectedSpams, &QAction::triggered, this, &MainController::showHideDetectedSpams);
    connect(ui_->actionShowLog, &QAction::triggered, this, &MainController::showLog);
    connect(ui_->logButton, &QPushButton::clicked, this, &MainController::showLog);
    connect(ui_->actionShowUserManual, &QAction::triggered, this, &MainController::showUserManual);
    // The set-up assistant, at the head of the File menu.
    auto* assistant = new QAction(tr("Set-up &Assistant…"), window_);
    assistant->setObjectName(QStringLiteral("actionSetupAssistant"));
    connect(assistant, &QAction::triggered, this, [] { SUAMainController::showSetupAssistantDialog(false); });
    ui_->fileMenu->insertAction(ui_->actionImportSettings, assistant);
    ui_->fileMenu->insertSeparator(ui_->actionImportSettings);
    connect(ui_->actionAbout, &QAction::triggered, this, [this] {
        alert({Alert::Informational,
               tr("Junkward X5 %1").arg(QString::fromLatin1(JUNKWARD_VERSION)),
               tr("A personal spam filter: it learns from your corrections and never loses good mail."),
               {tr("OK")}});
    });
    for (QMenu* menu : {ui_->fileMenu, ui_->viewMenu, ui_->helpMenu})
        connect(menu, &QMenu::aboutToShow, this, &MainController::validateMenuItems);

    loadPlugins();
    pluginsLoaded_ = true;
    reloadList();

    if (!isInitialized_) {
        progressWindow_ = new QDialog;
        progressUi_ = std::make_unique<Ui::StartupProgress>();
        progressUi_->setupUi(progressWindow_);
        progressWindow_->setModal(false);
        progressWindow_->show();
    }

    const QVariant width = defaults_->value(QLatin1String(kDefaultsListWidth));
    const int listWidth = std::max(kMinimumListWidth, width.canConvert<double>() && width.toDouble() > 0
                                                          ? int(width.toDouble())
                                                          : ui_->leftView->sizeHint().width());
    ui_->splitView->setSizes({listWidth, std::max(300, window_->width() - listWidth)});
    ui_->splitView->setStretchFactor(0, 0);
    ui_->splitView->setStretchFactor(1, 1);
    connect(ui_->splitView, &QSplitter::splitterMoved, this, [this] {
        defaults_->setValue(QLatin1String(kDefaultsListWidth), double(ui_->leftView->width()));
        defaults_->synchronize();
    });
    localObservers_ << platform::LocalNotificationCenter::defaultCenter().addObserver(
        sw::SWPlugInStatisticsDidReset, [this](const platform::Notification& n) { statisticsDidReset(n); });
    validateMenuItems();
}

// 3. Waiting for the daemon.
void MainController::checkDaemonStatus() {
    if (daemonPortExists()) {
        if (progressWindow_)
            progressWindow_->hide();
        isInitialized_ = true;
        applicationDidFinishLaunching();
        return;
    }
    if (daemonTries_ < maximumDaemonTries_) {
        ++daemonTries_;
        daemonTimer_->start();
        return;
    }
    daemonNeverCame();
}

void MainController::daemonNeverCame() {
    if (progressWindow_)
        progressWindow_->hide();
    const QString installed = QDir(platform::folders::localLibrary())
                                  .absoluteFilePath(QStringLiteral("../bin/") + QLatin1String(kDaemonProgram));
    const bool present =
        QFileInfo(installed).isExecutable() || !QStandardPaths::findExecutable(QLatin1String(kDaemonProgram)).isEmpty();
    if (!present) {
        alert({Alert::Critical,
               tr("Junkward is not correctly installed."),
               tr("The Junkward Daemon was not found in the %1 folder. You will need to reinstall Junkward.")
                   .arg(QFileInfo(installed).absolutePath()),
               {tr("Quit")}});
    } else {
        const int answer = alert({Alert::Critical,
                                  tr("Junkward can not communicate with the Junkward Daemon."),
                                  tr("The Junkward Daemon is not running. You need to restart your computer to "
                                     "relaunch the Junkward Daemon."),
                                  {tr("Quit"), tr("Restart")}});
        if (answer != 0) {
            // The session manager asks the user to confirm the restart as needed.
            QDBusMessage reboot = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Reboot"));
            reboot << true;
            QDBusConnection::systemBus().call(reboot, QDBus::NoBlock);
        }
    }
    QCoreApplication::exit(1);
}

// 4. Start-up completion.
void MainController::applicationDidFinishLaunching() {
    platform::loginitems::AddLoginItemWithPropertiesToUser(platform::loginitems::LoginItemDomain::CurrentUser,
                                                           platform::folders::engineApplication(), true);
    if (!isInitialized_)
        return;
    if (opensSetupAssistant_ && firstLaunch && !SUAMainController::anyMailClientConfigured()) {
        ++alertSheetCount_;
        validateMenuItems();
        SUAMainController::showSetupAssistantDialog(true);
        --alertSheetCount_;
    }
    selectRow(0);
    if (window_) {
        window_->show();
        window_->raise();
        window_->activateWindow();
        ui_->filterTable->setFocus();
    }
    firstLaunch = false;
    validateMenuItems();
}

void MainController::applicationWillTerminate() {
    if (window_ && window_->isVisible()) {
        defaults_->setValue(QLatin1String(kDefaultsFrame), frameString(window_->geometry()));
        defaults_->setValue(QLatin1String(kDefaultsListWidth), double(ui_->leftView->width()));
        defaults_->synchronize();
    }
}

bool MainController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::Close) {
        // While a dialog is open the window stays; closing it quits.
        if (alertSheetCount_ != 0) {
            event->ignore();
            return true;
        }
        applicationWillTerminate();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }
    return QObject::eventFilter(watched, event);
}

// 5. Plug-in discovery.
void MainController::loadPlugins() {
    const QDir folder(platform::folders::junkwardPlugins());
    const QStringList names =
        folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    if (names.isEmpty())
        return;
    QList<PlugInEntry*> loaded;
    for (const QString& name : names) {
        if (name.endsWith(QLatin1Char('.')))
            continue;
        const QString bundlePath = folder.filePath(name) + QStringLiteral("/UI.bundle");
        if (!QFileInfo(folder.filePath(name)).isDir() || !QFileInfo(bundlePath).isDir())
            continue;
        std::shared_ptr<platform::Bundle> bundle = platform::Bundle::open(bundlePath);
        std::unique_ptr<SWPlugInUI> instance;
        if (bundle && bundle->load())
            instance.reset(platform::ClassRegistry::createAs<SWPlugInUI>(bundle->principalClass(),
                                                                         QLatin1String(swui::SWPlugInUIClassTag)));
        const QString identifier =
            bundle ? bundle->objectForInfoKey(QLatin1String(sw::SWPluginIdentifierKey)).toString() : QString();
        if (!instance || !instance->loadMainView() || identifier.isEmpty() || plugins_.count(identifier)) {
            platform::log::console(QString::fromLatin1(kLogLoadFailed).arg(bundlePath));
            continue;
        }
        auto entry = std::make_unique<PlugInEntry>();
        entry->bundle = bundle;
        entry->instance = instance.get();
        entry->identifier = identifier;
        entry->internalEngine =
            platform::plist::boolValue(bundle->infoDictionary(), QLatin1String(swui::SWUIInternalEngineKey), false);
        const QVariant position = bundle->objectForInfoKey(QLatin1String(swui::SWUIPreferedPositionKey));
        if (position.typeId() == QMetaType::QString)
            entry->preferedPosition = position.toString();
        entry->hitKey = bundle->objectForInfoKey(QLatin1String(swui::SWUIHitKey)).toString();
        entry->toolTip = bundle->localizedString(QLatin1String(swui::SWUIToolBarToolTipKey), QString());
        entry->name = bundle->localizedString(QLatin1String(swui::SWUIToolBarNameKey), QString());
        for (const char* type : {"png", "tif"}) {
            const QString image = bundle->pathForResource(QLatin1String(swui::SWUIToolBarImage), QLatin1String(type));
            if (!image.isEmpty() && entry->icon.isNull())
                entry->icon = QIcon(QPixmap(image));
        }
        PlugInEntry* raw = entry.get();
        plugins_[identifier] = std::move(entry);
        loaded << raw;
        instances_.push_back(std::move(instance));
        if (!raw->instance->initWithBundle(bundle, identifier))
            raw->instance->view()->setEnabled(false);  // no preferences: shown, without data
        connect(raw->instance, &SWPlugInUI::viewDidSwitch, this, &MainController::validateMenuItems);
    }
    for (PlugInEntry* entry : loaded)
        entry->instance->pluginDidFinishLoading();
    std::stable_sort(loaded.begin(), loaded.end(),
                     [](const PlugInEntry* a, const PlugInEntry* b) { return a->comparePlugin(*b) < 0; });
    if (!loaded.isEmpty()) {
        separators_.emplace_back();
        separators_.back().separator = true;
        loaded.insert(1, &separators_.back());
    }
    cachedSortedFiltersList_ = loaded;
}

PlugInEntry* MainController::plugin(const QString& identifier) const {
    const auto it = plugins_.find(identifier);
    return it == plugins_.end() ? nullptr : it->second.get();
}

void MainController::reloadList() {
    if (!model_)
        return;
    model_->setEntries(cachedSortedFiltersList_);
    model_->setEngineStatus(engineStatus_);
    for (int row = 0; row < cachedSortedFiltersList_.size(); ++row)
        ui_->filterTable->setRowHeight(row, cachedSortedFiltersList_[row]->separator ? FilterListModel::kSeparatorHeight
                                                                                     : FilterListModel::kRowHeight);
    if (lastSelectedRow_ >= 0)
        ui_->filterTable->selectRow(lastSelectedRow_);
    updateStatusBar();
}

void MainController::updateStatusBar() {
    if (!ui_)
        return;
    ui_->engineStatusLabel->setText(engineStatus_ ? tr("Junkward is filtering your mail.")
                                                  : tr("Junkward is switched off: every message is let through."));
}

// 7. Filter list.
bool MainController::selectRow(int row) {
    const PlugInEntry* entry = model_ ? model_->entryAt(row) : nullptr;
    if (!entry || entry->separator)
        return false;
    ui_->filterTable->selectRow(row);
    return true;
}

void MainController::tableViewSelectionDidChange() {
    const QModelIndexList rows = ui_->filterTable->selectionModel()->selectedRows();
    if (rows.size() != 1) {
        // The list never stays without a selection.
        if (rows.isEmpty() && lastSelectedRow_ >= 0)
            QTimer::singleShot(0, this, [this] { selectRow(lastSelectedRow_); });
        return;
    }
    PlugInEntry* entry = model_->entryAt(rows.first().row());
    if (!entry || entry->separator || !entry->instance)
        return;
    lastSelectedRow_ = rows.first().row();
    showController(entry->instance);
    window_->setWindowTitle(QStringLiteral("%1 - %2").arg(QLatin1String(kWindowTitle),
                                                          entry->name.isEmpty() ? entry->identifier : entry->name));
}

void MainController::showController(SWPlugInUI* controller) {
    if (!controller || controller == currentController_)
        return;
    if (currentController_ && currentController_->view()) {
        currentController_->view()->hide();
        ui_->rightLayout->removeWidget(currentController_->view());
    }
    currentController_ = controller;
    QWidget* view = controller->view();
    ui_->rightLayout->addWidget(view);
    view->show();
    window_->setWindowTitle(QLatin1String(kWindowTitle));
    controller->paneHasBeenSelected(this);
    validateMenuItems();
}

void MainController::statusEdited(const QString& identifier, bool status) {
    platform::LocalNotificationCenter::defaultCenter().post(swui::SWSievraPlugInsLocalPostStatusDidChange, identifier,
                                                            {{sw::SWPreferencesStatusKey, status}});
}

// 8. Status and score updates.
void MainController::plugInDidSendStatus(const platform::Notification& n) {
    PlugInEntry* entry = plugin(n.object);
    if (!entry)
        return;
    entry->status = platform::plist::boolValue(n.userInfo, QLatin1String(sw::SWPreferencesStatusKey), entry->status);
    if (n.object == QLatin1String(sw::SWGeneralIdentifier)) {
        engineStatus_ = entry->status;
        if (pluginsLoaded_) {
            model_->setEngineStatus(engineStatus_);
            updateStatusBar();
        }
    }
    if (pluginsLoaded_ && model_)
        model_->reload();
}

void MainController::distributedFilterStatusDidChange(const platform::Notification& n) {
    if (n.object == swui::communicationIdentifier() || n.userInfo.isEmpty())
        return;
    const QString identifier = n.userInfo.firstKey();
    PlugInEntry* entry = plugin(identifier);
    const QVariant value = n.userInfo.value(identifier);
    if (!entry || !value.canConvert<bool>())
        return;
    const bool status = platform::plist::boolValue(n.userInfo, identifier, entry->status);
    if (entry->status == status)
        return;
    entry->status = status;
    platform::LocalNotificationCenter::defaultCenter().post(swui::SWSievraPlugInsLocalPostStatusDidChange, identifier,
                                                            {{sw::SWPreferencesStatusKey, status}});
    if (identifier == QLatin1String(sw::SWGeneralIdentifier)) {
        engineStatus_ = status;
        if (model_)
            model_->setEngineStatus(status);
        updateStatusBar();
    }
    if (model_)
        model_->reload();
}

void MainController::plugInScoreDidChange(const platform::Notification& n) {
    PlugInEntry* entry = plugin(n.object);
    if (!entry)
        return;
    const QString key = entry->hitKey.isEmpty() ? QLatin1String(sw::SWMAILSPAMDETECTED) : entry->hitKey;
    entry->score = qint64(std::min<quint64>(platform::plist::unsignedValue(n.userInfo, key), quint64(1) << 62));
    if (model_)
        model_->reload();
}

void MainController::allSettingsDidChange() {
    platform::LocalNotificationCenter::defaultCenter().post(swui::SWPlugInSettingsDidImport);
    if (model_)
        model_->reload();
}

void MainController::dialogDisplayedDidChange(const platform::Notification& n) {
    if (n.localObject.typeId() != QMetaType::Bool)
        return;
    alertSheetCount_ = std::max(0, alertSheetCount_ + (n.localObject.toBool() ? 1 : -1));
    validateMenuItems();
}

// 9. Statistics reset.
void MainController::statisticsDidReset(const platform::Notification& n) {
    const QVariantMap info{{sw::SWMAILSTARTDATE, QDateTime::currentDateTimeUtc()}};
    auto remove = [](const QString& path) {
        if (QFileInfo::exists(path) && !QFile::remove(path))
            platform::log::console(QString::fromLatin1(kLogRemoveStatistics).arg(path));
    };
    if (n.object.isEmpty()) {
        const QDir folder(platform::folders::userPreferences());
        for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden)) {
            if (name.startsWith(QLatin1String("com.quillon.junkward.statistics.")) &&
                name.endsWith(QLatin1String("plist")))
                remove(folder.filePath(name));
        }
        for (auto& instance : instances_)
            instance->statisticsDidUpdate();
        platform::DistributedNotificationCenter::defaultCenter().post(sw::SWSievraPlugInStatisticsDidReset, QString(),
                                                                      &info);
        return;
    }
    remove(SWPluginPreferencesManager::statisticsPathWithIdentifier(n.object));
    platform::DistributedNotificationCenter::defaultCenter().post(sw::SWSievraPlugInStatisticsDidReset, n.object,
                                                                  &info);
}

void MainController::resetAllStatistics() {
    if (alert({Alert::Warning,
               tr("Do you really want to reset the statistics of every filter?"),
               tr("This cannot be undone."),
               {tr("Reset"), tr("Cancel")}}) != 0)
        return;
    statisticsDidReset(platform::Notification{});
}

// 10. Settings export.
void MainController::exportSettings() {
    QFileDialog dialog(window_, tr("Export Settings"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(tr("Junkward settings (*.%1)").arg(QLatin1String(JKW5SettingsPackage::kExtension)));
    dialog.setDefaultSuffix(QLatin1String(JKW5SettingsPackage::kExtension));
    dialog.selectFile(QStringLiteral("Untitled.%1").arg(QLatin1String(JKW5SettingsPackage::kExtension)));
    dialog.setLabelText(QFileDialog::Accept, tr("Export"));
    const bool ok = runModal(dialog) == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
    if (ok)
        exportSettingsToPath(dialog.selectedFiles().first());
}

bool MainController::exportSettingsToPath(const QString& path) {
    const JKW5SettingsPackage::Result result =
        JKW5SettingsPackage::exportSettings(path, platform::folders::userPreferences());
    if (!result.ok) {
        if (result.beep)
            beep();
        alert({Alert::Warning, result.title, result.message, {tr("OK")}});
        return false;
    }
    QString package = QDir::cleanPath(path);
    if (!package.endsWith(QLatin1Char('.') + QLatin1String(JKW5SettingsPackage::kExtension)))
        package += QLatin1Char('.') + QLatin1String(JKW5SettingsPackage::kExtension);
    for (PlugInEntry* entry : cachedSortedFiltersList_) {
        if (entry->instance && !entry->instance->exportExtra(package)) {
            platform::log::console(QString::fromLatin1(kLogExtraExport).arg(entry->identifier));
            break;
        }
    }
    return true;
}

// 11. Settings import.
void MainController::importSettings() {
    QFileDialog dialog(window_, tr("Import Settings"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setLabelText(QFileDialog::Accept, tr("Import"));
    dialog.setLabelText(QFileDialog::FileName,
                        tr("Settings package (.%1):").arg(QLatin1String(JKW5SettingsPackage::kExtension)));
    const bool ok = runModal(dialog) == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
    if (ok)
        importSettingsAtPath(dialog.selectedFiles().first());
}

bool MainController::applicationOpenFile(const QString& path) {
    const int answer =
        alert({Alert::Informational,
               tr("Do you really want to import the settings named \"%1\"?").arg(QFileInfo(path).fileName()),
               tr("These settings will replace those currently used by Junkward X5."),
               {tr("Import"), tr("Cancel")}});
    if (answer == 0)
        importSettingsAtPath(path);
    return true;
}

bool MainController::importSettingsAtPath(const QString& path) {
    const JKW5SettingsPackage::Result result =
        JKW5SettingsPackage::importSettings(path, platform::folders::userPreferences());
    if (!result.ok) {
        if (result.beep)
            beep();
        alert({Alert::Warning, result.title, result.message, {tr("OK")}});
        return false;
    }
    for (PlugInEntry* entry : cachedSortedFiltersList_) {
        if (entry->instance && !entry->instance->importExtra(path)) {
            platform::log::console(QString::fromLatin1(kLogExtraImport).arg(entry->identifier));
            break;
        }
    }
    platform::LocalNotificationCenter::defaultCenter().post(swui::SWPlugInSettingsDidImport);
    // The engine reads its settings at start: it quits now and is started with
    // the new ones when next needed.
    if (platform::ScriptingBus::hasOwner(QLatin1String(platform::kEngineBusName)))
        platform::ScriptingBus::callNoReply(QLatin1String(platform::kEngineBusName),
                                            QLatin1String(platform::kEngineObjectPath),
                                            QLatin1String(platform::kEngineInterface), QStringLiteral("Quit"), {});
    if (model_)
        model_->reload();
    return true;
}

// 13. Other actions.
void MainController::showSettings() {
    if (currentController_)
        currentController_->showSettings();
}

void MainController::showStatistics() {
    if (currentController_)
        currentController_->showStatistics();
}

void MainController::showHideDetectedSpams() {
    showDetectedSpams_ = !showDetectedSpams_;
    defaults_->setValue(QLatin1String(kDefaultsShowHits), showDetectedSpams_);
    defaults_->synchronize();
    if (model_)
        model_->setShowHits(showDetectedSpams_);
    validateMenuItems();
}

void MainController::showLog() {
    if (JKW_LogWindowController* log = JKW_LogWindowController::sharedController())
        log->showWindow();
}

QString MainController::installedManualPath() {
    const QString name = swui::localizedString(QLatin1String(kManualName), QLatin1String(kManualName));
    return platform::folders::localLibrary() + QStringLiteral("/Documentation/Junkward/English/") + name;
}

void MainController::showUserManual() {
    const QString path = installedManualPath();
    if (QFileInfo(path).isFile()) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
        return;
    }
    beep();
    alert({Alert::Warning,
           tr("The user manual is not installed."),
           tr("It was expected at “%1”. Reinstalling Junkward puts it back.").arg(path),
           {tr("OK")}});
}

void MainController::userManualDidBecomeAvailable(const platform::Notification& n) {
    if (n.object != installedManualPath())
        return;
    if (QFileInfo(n.object).isFile())
        QDesktopServices::openUrl(QUrl::fromLocalFile(n.object));
    else
        beep();
}

QAction* MainController::action(const QString& name) const {
    return window_ ? window_->findChild<QAction*>(name) : nullptr;
}

void MainController::validateMenuItems() {
    if (!ui_)
        return;
    const bool free = isInitialized_ && alertSheetCount_ == 0;
    const bool statisticsShown = currentController_ && currentController_->isStatisticsViewVisible();
    ui_->actionShowHideDetectedSpams->setText(showDetectedSpams_ ? tr("Hide Filters &Hits") : tr("Show Filters &Hits"));
    ui_->actionShowSettings->setEnabled(free && currentController_ && statisticsShown);
    ui_->actionShowStatistics->setEnabled(free && currentController_ && !statisticsShown);
    for (QAction* a :
         {ui_->actionImportSettings, ui_->actionExportSettings, ui_->actionResetAllStatistics,
          ui_->actionShowHideDetectedSpams, ui_->actionShowLog, ui_->actionShowUserManual, ui_->actionAbout})
        a->setEnabled(free);
    ui_->actionShowLog->setChecked(false);
}
