#include "frontend/app/SUAMainController.h"

#include "frontend/app/FrontEndStrings.h"
#include "frontend/app/SUAMailConfiguration.h"
#include "platform/Folders.h"
#include "platform/Launching.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

#include "ui_SUAWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr const char* kTable = "SUALocalizable";
constexpr const char* kEngineSignature = "_SM2";
constexpr const char* kGuideProgram = "entourage-guide";
constexpr const char* kEntourageDone = "ENTOURAGE MANUAL CONF DONE";
constexpr const char* kDidEnd = "setupAssistantDidEnd";
constexpr int kMailCheckIntervalMs = 60000;

constexpr const char* kLogEngineNotLaunched =
    "+[SUAMainController launchEngineIfNeeded]: The Junkward Engine could not be launched.";
constexpr const char* kLogEngineNotFound =
    "+[SUAMainController launchEngineIfNeeded]: The Junkward Engine was not found.";
constexpr const char* kLogNextMissing = "The next pane was not found";
constexpr const char* kLogNoPrevious = "No previous pane is defined for this pane";
constexpr const char* kLogPreviousMissing = "The previous pane was not found";
constexpr const char* kLogMailQuit = "Setup Assistant: Mail.app could not be quit via a 'Quit' AppleEvent";
constexpr const char* kLogGuide = "Setup Assistant: It was not possible to launch EntourageTool.app.";
// One line per Mail step, in step order.
constexpr const char* kLogMailSteps[] = {
    "Setup Assistant: The 'Bundles' folder could not be created in '~/Library/Mail/'.",
    "Setup Assistant: The plugin for Mail.app could not be copied into '~/Library/Mail/Bundles/' ",
    "Setup Assistant: It was not possible to create the 'Spam.mbox' mailbox",
    "Setup Assistant: It was not possible to modify the preferences of Mail.app.",
    "Setup Assistant: It was not possible to modify the 'MessageSorting.plist' file in '~/Library/Mail/'.",
    "Setup Assistant: It was not possible to \"copy\" the AppleScripts for Mail.app into '~/Library/Scripts/Mail Scripts'.",
};

QString text(const char* key, const char* fallback) {
    return swui::frontEndString(QLatin1String(key), QString::fromUtf8(fallback), QLatin1String(kTable));
}

SUAMainController::AlertHandler& alertHandler() {
    static SUAMainController::AlertHandler handler;
    return handler;
}

QLabel* wrappedLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::RichText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// The guide program: beside the front end's programs, else on the PATH.
QString guideProgram() {
    const QString library = platform::folders::localLibrary();
    const QStringList places{QDir::cleanPath(library + QStringLiteral("/../bin")),
                             QDir::cleanPath(library + QStringLiteral("/../../../bin")),
                             QCoreApplication::applicationDirPath()};
    const QString found = QStandardPaths::findExecutable(QLatin1String(kGuideProgram), places);
    return found.isEmpty() ? QStandardPaths::findExecutable(QLatin1String(kGuideProgram)) : found;
}

}  // namespace

// ------------------------------------------------------------------ panes

AKPaneController::AKPaneController(SUAMainController* main, QString listTitle, QString paneTitle)
    : main_(main), listTitle_(std::move(listTitle)), paneTitle_(std::move(paneTitle)) {}

AKPaneController::~AKPaneController() = default;

QWidget* AKPaneController::relativeRootView() {
    if (!view_)
        view_ = loadPane();
    return view_;
}

SUATextPaneController::SUATextPaneController(SUAMainController* main, QString listTitle, QString paneTitle,
                                             QString text)
    : AKPaneController(main, std::move(listTitle), std::move(paneTitle)), text_(std::move(text)) {}

QWidget* SUATextPaneController::loadPane() {
    auto* view = new QWidget;
    auto* layout = new QVBoxLayout(view);
    layout->addWidget(wrappedLabel(text_, view));
    layout->addStretch();
    return view;
}

SUAMailClientsController::SUAMailClientsController(SUAMainController* main)
    : AKPaneController(main, text("MAIL_CLIENTS_LIST", "E-mail Programs"),
                       text("MAIL_CLIENTS_TITLE", "Choose the e-mail programs to configure")) {}

QWidget* SUAMailClientsController::loadPane() {
    auto* view = new QWidget;
    auto* layout = new QVBoxLayout(view);
    layout->addWidget(wrappedLabel(text("MAIL_CLIENTS_TEXT",
                                        "Junkward moves spam aside in your e-mail program. Tick each program "
                                        "you read mail with; the assistant configures it for you."),
                                   view));
    layout->addSpacing(8);
    mailBox_ = new QCheckBox(QStringLiteral("Apple Mail"), view);
    layout->addWidget(mailBox_);
    mailNotice_ = wrappedLabel(text("MAIL_NOT_CONFIGURED",
                                    "<i>Mail has not been set up yet: open it once and add a mail account; "
                                    "this box is enabled as soon as that is done.</i>"),
                               view);
    mailNotice_->setContentsMargins(24, 0, 0, 0);
    layout->addWidget(mailNotice_);
    entourageBox_ = new QCheckBox(QStringLiteral("Microsoft Entourage"), view);
    layout->addWidget(entourageBox_);
    auto* entourageNote =
        wrappedLabel(text("ENTOURAGE_TEXT", "<i>Entourage is configured by hand: a guide shows the steps.</i>"), view);
    entourageNote->setContentsMargins(24, 0, 0, 0);
    layout->addWidget(entourageNote);
    layout->addStretch();
    timer_ = new QTimer(view);
    timer_->setInterval(kMailCheckIntervalMs);
    connect(timer_, &QTimer::timeout, this, &SUAMailClientsController::checkMailConfigured);
    return view;
}

void SUAMailClientsController::checkMailConfigured() {
    relativeRootView();
    const bool ready = SUAMailConfiguration::checkMailHasBeenConfiguredAtLeastOnce();
    mailBox_->setEnabled(ready);
    mailNotice_->setVisible(!ready);
    if (ready)
        timer_->stop();
    else if (!timer_->isActive())
        timer_->start();
}

void SUAMailClientsController::initPaneWithEngine(SUAProcessEngine&) { checkMailConfigured(); }

bool SUAMailClientsController::checkPaneValuesWithEngine(SUAProcessEngine& engine) {
    relativeRootView();
    const bool mail = mailBox_->isEnabled() && mailBox_->isChecked();
    const bool entourage = entourageBox_->isChecked();
    if (!mail && !entourage && engine.linuxPrograms.isEmpty()) {
        main_->alert({SUAMainController::Alert::Warning,
                      text("No e-mail program has been selected.", "No e-mail program has been selected."),
                      text("You need to select one e-mail program to proceed to the next step.",
                           "You need to select one e-mail program to proceed to the next step.")});
        return false;
    }
    engine.configureMail = mail;
    engine.configureEntourage = entourage;
    return true;
}

void SUAMailClientsController::processWithEngine(SUAProcessEngine&) { resetUI(); }

void SUAMailClientsController::resetUI() {
    if (!mailBox_)
        return;
    timer_->stop();
    mailBox_->setChecked(false);
    entourageBox_->setChecked(false);
}

SUALinuxProgramsController::SUALinuxProgramsController(SUAMainController* main)
    : AKPaneController(main, text("LINUX_LIST", "Mail on This Computer"),
                       text("LINUX_TITLE", "Mail programs found on this computer")) {}

QWidget* SUALinuxProgramsController::loadPane() {
    auto* view = new QWidget;
    auto* layout = new QVBoxLayout(view);
    layout->addWidget(wrappedLabel(text("LINUX_TEXT",
                                        "Tick the programs the assistant should set up. Each change is "
                                        "recorded, and removing Junkward takes it back."),
                                   view));
    list_ = new QWidget(view);
    new QVBoxLayout(list_);
    layout->addWidget(list_);
    layout->addStretch();
    return view;
}

void SUALinuxProgramsController::initPaneWithEngine(SUAProcessEngine&) {
    relativeRootView();
    programs_ = SUAMailPrograms::detect();
    qDeleteAll(list_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly));
    boxes_.clear();
    auto* layout = static_cast<QVBoxLayout*>(list_->layout());
    if (programs_.isEmpty())
        layout->addWidget(wrappedLabel(text("LINUX_NONE", "<i>No other mail program was found.</i>"), list_));
    for (const SUAMailProgram& p : programs_) {
        auto* box = new QCheckBox(p.name, list_);
        box->setToolTip(p.location);
        box->setEnabled(p.configurable);
        box->setChecked(p.configurable);
        layout->addWidget(box);
        boxes_ << box;
        if (!p.configurable) {
            auto* steps =
                wrappedLabel(QStringLiteral("<i>%1</i>")
                                 .arg((p.steps.isEmpty()
                                           ? text("LINUX_NOT_INSTALLED", "The Junkward files for it are not installed.")
                                           : p.steps)
                                          .toHtmlEscaped()),
                             list_);
            steps->setContentsMargins(24, 0, 0, 0);
            layout->addWidget(steps);
        }
    }
    // Thunderbird keeps an add-on another program put in a profile switched off
    // until the user allows it: say so before the user wonders why nothing happens.
    if (std::any_of(programs_.cbegin(), programs_.cend(),
                    [](const SUAMailProgram& p) { return p.kind == SUAMailProgram::Thunderbird && p.configurable; })) {
        layout->addSpacing(6);
        layout->addWidget(wrappedLabel(
            text("LINUX_THUNDERBIRD",
                 "Thunderbird gets the Junkward add-on: it asks Junkward about each new message and adds "
                 "“Learn Spam” and “Learn Good E-mail” to the message list’s menu. Thunderbird keeps the add-on "
                 "switched off until you allow it: at its next start, open its main menu (☰), choose “Junkward "
                 "added to Thunderbird” and click Enable. Thunderbird takes the add-on unsigned: none of its "
                 "preferences is changed. Turn off Thunderbird’s own junk filter in each account’s Junk Settings, "
                 "so that only Junkward judges your mail."),
            list_));
    }
}

bool SUALinuxProgramsController::checkPaneValuesWithEngine(SUAProcessEngine& engine) {
    engine.linuxPrograms.clear();
    for (int i = 0; i < boxes_.size() && i < programs_.size(); ++i)
        if (boxes_[i]->isEnabled() && boxes_[i]->isChecked())
            engine.linuxPrograms << programs_[i];
    return true;
}

void SUALinuxProgramsController::processWithEngine(SUAProcessEngine& engine) {
    QStringList failed;
    for (const SUAMailProgram& p : std::as_const(engine.linuxPrograms))
        if (!SUAMailPrograms::apply(p))
            failed << p.name;
    if (failed.size() < engine.linuxPrograms.size())
        SUAMailConfiguration::setMailClientHasBeenConfigured(QLatin1String(SUALinuxNickname));
    if (!failed.isEmpty())
        main_->alert({SUAMainController::Alert::Critical,
                      text("LINUX_FAILED", "Some mail programs could not be configured"),
                      failed.join(QStringLiteral(", "))});
}

void SUALinuxProgramsController::resetUI() {}

SUAStopPaneController::SUAStopPaneController(SUAMainController* main)
    : AKPaneController(main, text("CONFIGURE_LIST", "Configuration"),
                       text("CONFIGURE_TITLE", "Configure your e-mail programs")) {}

QWidget* SUAStopPaneController::loadPane() {
    auto* view = new QWidget;
    auto* layout = new QVBoxLayout(view);
    summary_ = wrappedLabel(QString(), view);
    layout->addWidget(summary_);
    layout->addSpacing(8);
    auto* row = new QHBoxLayout;
    configure_ = new QPushButton(text("CONFIGURE_BUTTON", "Configure"), view);
    row->addWidget(configure_);
    row->addStretch();
    layout->addLayout(row);
    progress_ = new QProgressBar(view);
    progress_->setRange(0, 0);
    progress_->setTextVisible(false);
    progress_->hide();
    layout->addWidget(progress_);
    status_ = wrappedLabel(QString(), view);
    layout->addWidget(status_);
    layout->addStretch();
    connect(configure_, &QPushButton::clicked, main_, &SUAMainController::finishSetUp);
    return view;
}

void SUAStopPaneController::initPaneWithEngine(SUAProcessEngine& engine) {
    relativeRootView();
    QStringList steps;
    if (engine.configureMail)
        steps << text("MAIL_STEPS",
                      "<b>Apple Mail</b>: Mail is quit if it runs; the Junkward plug-in is installed, the "
                      "<b>Spam</b> mailbox created, Mail's own junk filter turned off and the "
                      "<b>Junkward</b> rule added, which moves spam to the Spam mailbox. Your other rules stay "
                      "as they are.");
    for (const SUAMailProgram& p : std::as_const(engine.linuxPrograms))
        steps << QStringLiteral("<b>%1</b>: %2")
                     .arg(
                         p.name.toHtmlEscaped(),
                         p.kind == SUAMailProgram::Procmail
                             ? text("PROCMAIL_STEPS",
                                    "the Junkward recipe is included from ~/.procmailrc; spam goes to the Junk folder.")
                             : text("THUNDERBIRD_STEPS",
                                    "the Junkward add-on is installed; enable it at Thunderbird’s next start."));
    if (engine.configureEntourage)
        steps << text("ENTOURAGE_STEPS",
                      "<b>Microsoft Entourage</b>: a guide opens and shows the two steps to take in Entourage; "
                      "the assistant waits until you click Done in it.");
    summary_->setText(steps.join(QStringLiteral("<br><br>")) + QStringLiteral("<br><br>") +
                      text("CONFIGURE_TEXT", "Click Configure to begin."));
    status_->clear();
    configure_->setEnabled(true);
    progress_->hide();
}

void SUAStopPaneController::resetUI() {
    if (!configure_)
        return;
    status_->clear();
    progress_->hide();
    configure_->setEnabled(true);
    if (entourageObserver_ >= 0) {
        platform::DistributedNotificationCenter::defaultCenter().removeObserver(entourageObserver_);
        entourageObserver_ = -1;
    }
}

// The Mail steps, in order; the first failure stops them.
bool SUAStopPaneController::configureMail() {
    using Alert = SUAMainController::Alert;
    if (!SUAMailConfiguration::checkMailHasBeenConfiguredAtLeastOnce()) {
        main_->alert(
            {Alert::Warning,
             text("Apple Mail has not yet been configured for any mail account.",
                  "Apple Mail has not yet been configured for any mail account."),
             text("At least one mail account needs to be configured before Junkward can configure Apple Mail.",
                  "At least one mail account needs to be configured before Junkward can configure Apple Mail.")});
        return false;
    }
    if (SUAMailConfiguration::isMailRunning()) {
        main_->alert(
            {Alert::Informational, text("Apple Mail is currently running.", "Apple Mail is currently running."),
             text("We need to quit it to configure it properly.", "We need to quit it to configure it properly.")});
        if (!SUAMailConfiguration::quitMail()) {
            main_->alert({Alert::Critical, text("Unable to quit Apple Mail", "Unable to quit Apple Mail"),
                          text("It was not possible to properly quit Apple Mail.",
                               "It was not possible to properly quit Apple Mail.")});
            platform::log::console(QLatin1String(kLogMailQuit));
            return false;
        }
    }
    using Step = bool (*)();
    const Step steps[] = {&SUAMailConfiguration::createMailBundlesDirectory,
                          &SUAMailConfiguration::copyBundle,
                          &SUAMailConfiguration::createMailSpamMailBox,
                          &SUAMailConfiguration::modifyMailPreferences,
                          &SUAMailConfiguration::modifyRules,
                          nullptr,
                          &SUAMailConfiguration::copyMailScripts};
    int logIndex = 0;
    for (Step step : steps) {
        if (!step) {
            SUAMailConfiguration::removeMailScriptsAliases();  // result ignored
            continue;
        }
        if (!step()) {
            main_->alert({Alert::Critical, text("Apple Mail configuration failed", "Apple Mail configuration failed"),
                          text("It was not possible to properly configure Apple Mail.",
                               "It was not possible to properly configure Apple Mail.")});
            platform::log::console(QLatin1String(kLogMailSteps[logIndex]));
            return false;
        }
        ++logIndex;
    }
    SUAMailConfiguration::setMailClientHasBeenConfigured(QLatin1String(SUAMailNickname));
    return true;
}

void SUAStopPaneController::processWithEngine(SUAProcessEngine& engine) {
    relativeRootView();
    if (engine.configureMail) {
        status_->setText(text("CONFIGURING_MAIL", "Configuring Apple Mail…"));
        if (!configureMail()) {
            status_->setText(text("MAIL_FAILED", "Apple Mail was not configured."));
            if (!engine.configureEntourage)
                return;
        }
    }
    if (!engine.configureEntourage) {
        if (engine.configureMail || !engine.linuxPrograms.isEmpty())
            finalStep();
        return;
    }
    // Entourage is configured by hand, following the guide; its "Done" ends the wait.
    status_->setText(text("Waiting for manual configuration...", "Waiting for manual configuration..."));
    progress_->show();
    configure_->setEnabled(false);
    engine.waitingForEntourage = true;
    if (entourageObserver_ < 0)
        entourageObserver_ = platform::DistributedNotificationCenter::defaultCenter().addObserver(
            QLatin1String(kEntourageDone), std::nullopt, [this](const platform::Notification&) {
                SUAMailConfiguration::setMailClientHasBeenConfigured(QLatin1String(SUAEntourageNickname));
                main_->engine().waitingForEntourage = false;
                main_->endAssistant();
                finalStep();
            });
    const QString guide = guideProgram();
    if (guide.isEmpty() || !QProcess::startDetached(guide, {}))
        platform::log::console(QLatin1String(kLogGuide));
}

void SUAStopPaneController::finalStep() {
    platform::LocalNotificationCenter::defaultCenter().post(QLatin1String(kDidEnd));
    status_->setText(text("CONFIGURED", "Your e-mail programs are configured."));
    main_->alert({SUAMainController::Alert::Informational, text("Configuration successful", "Configuration successful"),
                  text("Your e-mail programs are now configured to work with Quillon Junkward X3.",
                       "Your e-mail programs are now configured to work with Quillon Junkward X3.")});
}

// ------------------------------------------------------------- the window

void SUAMainController::setAlertHandler(AlertHandler handler) { alertHandler() = std::move(handler); }

void SUAMainController::alert(const Alert& a) {
    if (alertHandler()) {
        alertHandler()(a);
        return;
    }
    QMessageBox box(a.kind == Alert::Critical  ? QMessageBox::Critical
                    : a.kind == Alert::Warning ? QMessageBox::Warning
                                               : QMessageBox::Information,
                    text("Window Title", "Junkward Set-up Assistant"), a.title, QMessageBox::Ok, window_);
    box.setInformativeText(a.message);
    box.exec();
}

SUAMainController& SUAMainController::sharedMainController() {
    static SUAMainController* instance = new SUAMainController;
    return *instance;
}

SUAMainController::SUAMainController() {
    panes_.push_back(std::make_unique<SUATextPaneController>(
        this, text("INTRO_LIST", "Introduction"), text("INTRO_TITLE", "Welcome to Junkward"),
        text("INTRO_TEXT",
             "This assistant sets up your e-mail programs to work with Junkward: every new message is "
             "handed to the Junkward engine, and spam goes to a mailbox of its own, so that your inbox "
             "holds only the mail you want.<br><br>Junkward never deletes a message: what it takes for "
             "spam waits in the <b>Spam</b> mailbox, and <b>Learn Good E-mail</b> teaches it when it "
             "was wrong.<br><br>Click Continue to choose your e-mail programs.")));
    panes_.push_back(std::make_unique<SUALinuxProgramsController>(this));
    panes_.push_back(std::make_unique<SUAMailClientsController>(this));
    panes_.push_back(std::make_unique<SUAStopPaneController>(this));
}

SUAMainController::~SUAMainController() { delete window_.data(); }

void SUAMainController::launchEngineIfNeeded() {
    const QString signature = QLatin1String(kEngineSignature);
    if (platform::launching::isApplicationRunning(signature))
        return;
    QString location = platform::launching::findApplication(signature);
    if (location.isEmpty())
        location = platform::launching::executableForPath(platform::folders::engineApplication());
    if (location.isEmpty()) {
        platform::log::console(QLatin1String(kLogEngineNotFound));
        return;
    }
    if (!platform::launching::openApplication(signature) && !platform::launching::launchApplicationAtPath(location))
        platform::log::console(QLatin1String(kLogEngineNotLaunched));
}

bool SUAMainController::anyMailClientConfigured() {
    for (const char* nickname : {SUAMailNickname, SUAEntourageNickname, SUALinuxNickname})
        if (SUAMailConfiguration::hasMailClientBeenConfigured(QLatin1String(nickname)))
            return true;
    return false;
}

void SUAMainController::showSetupAssistantDialog(bool firstLaunch) {
    if (firstLaunch)
        launchEngineIfNeeded();
    SUAMainController& main = sharedMainController();
    if (!main.open(firstLaunch)) {
        QApplication::beep();
        return;
    }
    main.window_->exec();
}

bool SUAMainController::open(bool firstLaunch) {
    firstLaunch_ = firstLaunch;
    if (!window_) {
        window_ = new QDialog;
        ui_ = std::make_unique<Ui::SUAWindow>();
        ui_->setupUi(window_);
        window_->setWindowTitle(text("Window Title", "Junkward Set-up Assistant"));
        QFont title = ui_->paneTitle->font();
        title.setPointSizeF(title.pointSizeF() * 1.3);
        title.setBold(true);
        ui_->paneTitle->setFont(title);
        ui_->paneList->setSpacing(3);
        for (const auto& pane : panes_) {
            ui_->paneList->addItem(pane->listTitle());
            ui_->paneStack->addWidget(pane->relativeRootView());
        }
        connect(ui_->nextButton, &QPushButton::clicked, this, &SUAMainController::nextSlide);
        connect(ui_->backButton, &QPushButton::clicked, this, &SUAMainController::previousSlide);
        connect(ui_->cancelButton, &QPushButton::clicked, this, &SUAMainController::cancel);
        connect(window_, &QDialog::rejected, this, [this] {
            if (firstLaunch_)
                QCoreApplication::quit();
        });
    }
    ui_->cancelButton->setText(firstLaunch ? tr("Quit") : tr("Cancel"));
    for (const auto& pane : panes_)
        pane->setPreviousPaneIndex(-1);
    selectSlideAtIndex(0);
    panes_.front()->initPaneWithEngine(engine_);
    window_->setWindowModality(Qt::ApplicationModal);
    window_->show();
    return true;
}

QPushButton* SUAMainController::nextButton() const { return ui_ ? ui_->nextButton : nullptr; }
QPushButton* SUAMainController::backButton() const { return ui_ ? ui_->backButton : nullptr; }
QPushButton* SUAMainController::cancelButton() const { return ui_ ? ui_->cancelButton : nullptr; }

AKPaneController* SUAMainController::paneControllerAtIndex(int index) const {
    return index >= 0 && index < paneCount() ? panes_[index].get() : nullptr;
}

int SUAMainController::indexOfPaneControllerWithName(const QString& name) const {
    for (int i = 0; i < paneCount(); ++i)
        if (panes_[i]->listTitle() == name)
            return i;
    return -1;
}

void SUAMainController::selectSlideAtIndex(int index) {
    if (!paneControllerAtIndex(index) || !ui_)
        return;
    current_ = index;
    ui_->paneStack->setCurrentIndex(index);
    ui_->paneTitle->setText(panes_[index]->paneTitle());
    for (int i = 0; i < ui_->paneList->count(); ++i) {
        QFont f = ui_->paneList->item(i)->font();
        f.setBold(i == index);
        ui_->paneList->item(i)->setFont(f);
        ui_->paneList->item(i)->setForeground(i == index ? ui_->paneList->palette().text()
                                                         : ui_->paneList->palette().placeholderText());
    }
    updateButtons();
}

void SUAMainController::updateButtons() {
    ui_->backButton->setEnabled(current_ > 0);
    ui_->nextButton->setEnabled(current_ < paneCount() - 1);
}

void SUAMainController::nextSlide() {
    AKPaneController* pane = paneControllerAtIndex(current_);
    if (!pane || !pane->checkPaneValuesWithEngine(engine_))
        return;
    const QString name = pane->nextPaneName();
    const int next = name.isEmpty() ? current_ + 1 : indexOfPaneControllerWithName(name);
    AKPaneController* target = paneControllerAtIndex(next);
    if (!target) {
        platform::log::console(QLatin1String(kLogNextMissing));
        return;
    }
    target->setPreviousPaneIndex(current_);
    selectSlideAtIndex(next);
    target->initPaneWithEngine(engine_);
}

void SUAMainController::previousSlide() {
    AKPaneController* pane = paneControllerAtIndex(current_);
    if (!pane || pane->previousPaneIndex() < 0) {
        platform::log::console(QLatin1String(kLogNoPrevious));
        return;
    }
    if (!paneControllerAtIndex(pane->previousPaneIndex())) {
        platform::log::console(QLatin1String(kLogPreviousMissing));
        return;
    }
    selectSlideAtIndex(pane->previousPaneIndex());
}

void SUAMainController::cancel() {
    if (firstLaunch_) {
        window_->reject();  // quits the application
        return;
    }
    for (const auto& pane : panes_)
        pane->resetUI();
    window_->reject();
}

void SUAMainController::processPaneController(int index) {
    AKPaneController* pane = paneControllerAtIndex(index);
    if (!pane)
        return;
    const int previous = pane->previousPaneIndex();
    if (previous >= 0 && previous != index)
        processPaneController(previous);
    pane->processWithEngine(engine_);
}

void SUAMainController::finishSetUp() {
    engine_.startProcess();
    processPaneController(current_);
    if (engine_.endProcess())
        endAssistant();
}

void SUAMainController::endAssistant() {
    for (const auto& pane : panes_)
        pane->resetUI();
    if (window_) {
        firstLaunch_ = false;  // a finished set-up does not quit the application
        window_->accept();
    }
}
