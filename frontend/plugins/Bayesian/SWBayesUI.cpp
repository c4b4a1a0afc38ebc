#include "SWBayesUI.h"

#include "bayes/SWBayesFilter.h"
#include "bayes/SWDataBase.h"
#include "platform/ClassRegistry.h"
#include "platform/Launching.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

#include "ui_MainView.h"

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QThread>
#include <QTimer>

namespace {

constexpr const char* kCleanPeriodically = "Clean Periodically";
constexpr const char* kAutomaticallyLearn = "Automatically Learn";
constexpr int kRefreshDelayMs = 300;
constexpr int kLearnRefreshIntervalMs = 5000;  // words re-read at most this often while mail is judged
constexpr int kEngineStartMs = 8000;

}  // namespace

void SWBayesWordModel::setWords(std::vector<SWBayesWord> words) {
    beginResetModel();
    words_ = std::move(words);
    endResetModel();
}

int SWBayesWordModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(words_.size()); }
int SWBayesWordModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant SWBayesWordModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || size_t(index.row()) >= words_.size())
        return {};
    const SWBayesWord& w = words_[size_t(index.row())];
    if (role == Qt::TextAlignmentRole && index.column() != WordColumn)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::UserRole) {  // sort key
        switch (index.column()) {
        case WordColumn:
            return w.word;
        case SpamColumn:
            return w.spam;
        case HamColumn:
            return w.ham;
        case DateColumn:
            return w.date;
        default:
            return {};
        }
    }
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case WordColumn:
        return w.word;
    case SpamColumn:
        return QLocale().toString(w.spam);
    case HamColumn:
        return QLocale().toString(w.ham);
    case DateColumn:
        return w.date > 0 ? QLocale().toString(QDateTime::fromSecsSinceEpoch(w.date).date(), QLocale::ShortFormat)
                          : QString();
    default:
        return {};
    }
}

QVariant SWBayesWordModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case WordColumn:
        return tr("Word");
    case SpamColumn:
        return tr("In spam");
    case HamColumn:
        return tr("In good mail");
    case DateColumn:
        return tr("Last seen");
    default:
        return {};
    }
}

SWBayesUI::SWBayesUI() = default;

SWBayesUI::~SWBayesUI() {
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    for (int token : observers_)
        center.removeObserver(token);
}

QWidget* SWBayesUI::settingsView() {
    auto* view = new QWidget;
    ui_ = std::make_unique<Ui::SWBayesView>();
    ui_->setupUi(view);
    model_ = new SWBayesWordModel(this);
    proxy_ = new QSortFilterProxyModel(this);
    proxy_->setSourceModel(model_);
    proxy_->setSortRole(Qt::UserRole);
    proxy_->setFilterKeyColumn(SWBayesWordModel::WordColumn);
    proxy_->setFilterCaseSensitivity(Qt::CaseInsensitive);
    ui_->wordsTable->setModel(proxy_);
    ui_->wordsTable->verticalHeader()->hide();
    ui_->wordsTable->verticalHeader()->setDefaultSectionSize(ui_->wordsTable->fontMetrics().height() + 6);
    ui_->wordsTable->horizontalHeader()->setSectionResizeMode(SWBayesWordModel::WordColumn, QHeaderView::Stretch);
    ui_->wordsTable->sortByColumn(SWBayesWordModel::SpamColumn, Qt::DescendingOrder);
    connect(ui_->searchField, &QLineEdit::textChanged, proxy_, &QSortFilterProxyModel::setFilterFixedString);
    connect(ui_->automaticallyLearn, &QCheckBox::toggled, this, [this] { saveSettings(); });
    connect(ui_->cleanPeriodically, &QCheckBox::toggled, this, [this] { saveSettings(); });
    connect(ui_->addButton, &QPushButton::clicked, this, [this] { addWordDialog(); });
    connect(ui_->removeButton, &QPushButton::clicked, this, [this] { removeSelected(); });
    connect(ui_->optimizeButton, &QPushButton::clicked, this, [this] { requestOptimize(); });
    connect(ui_->resetButton, &QPushButton::clicked, this, [this] { confirmReset(); });
    auto* removeAction = new QAction(ui_->wordsTable);
    removeAction->setShortcut(QKeySequence::Delete);
    removeAction->setShortcutContext(Qt::WidgetShortcut);
    connect(removeAction, &QAction::triggered, this, [this] { removeSelected(); });
    ui_->wordsTable->addAction(removeAction);
    refreshTimer_ = new QTimer(this);
    refreshTimer_->setSingleShot(true);
    refreshTimer_->setInterval(kRefreshDelayMs);
    connect(refreshTimer_, &QTimer::timeout, this, [this] { refreshWords(); });
    return view;
}

bool SWBayesUI::initWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier) {
    if (!SWPlugInUI::initWithBundle(std::move(bundle), identifier))
        return false;
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    observers_ << center.addObserver(SWBayesDataBaseOperationDone, identifier_,
                                     [this](const platform::Notification&) { scheduleRefresh(); });
    observers_ << center.addObserver(SWBayesDataBaseWillClean, identifier_, [this](const platform::Notification&) {
        cleaning_ = true;
        if (ui_) {
            ui_->optimizeButton->setEnabled(false);
            ui_->totalsLabel->setText(tr("Cleaning the word store…"));
        }
    });
    observers_ << center.addObserver(SWBayesDataBaseDidClean, identifier_, [this](const platform::Notification&) {
        cleaning_ = false;
        if (ui_)
            ui_->optimizeButton->setEnabled(true);
        scheduleRefresh();
    });
    return true;
}

void SWBayesUI::pluginDidFinishLoading() {
    refreshSettings();
    refreshWords();
}

void SWBayesUI::paneHasBeenSelected(QObject* sender) {
    SWPlugInUI::paneHasBeenSelected(sender);
    if (!lastRead_.isValid() || lastRead_.elapsed() > kRefreshDelayMs)
        refreshWords();
}

void SWBayesUI::scheduleRefresh() {
    if (refreshTimer_)
        refreshTimer_->start();
}

void SWBayesUI::preferencesDidLearn(const platform::Notification&) {
    // Posted after every judged message: the list follows at a calm pace, and only
    // while someone can see it.
    if (view() && view()->isVisible() && (!lastRead_.isValid() || lastRead_.elapsed() > kLearnRefreshIntervalMs))
        scheduleRefresh();
}

void SWBayesUI::refreshWords() {
    if (!ui_)
        return;
    lastRead_.start();
    SWBayesWordList list = SWBayesWordStore::readWords();
    const auto totals = SWBayesWordStore::readTotals();
    const size_t count = list.words.size();
    model_->setWords(std::move(list.words));
    QString text;
    if (!list.storeExists)
        text = tr("Nothing learned yet. Train the filter with “Learn Spam” and “Learn Good E-mail”.");
    else if (!list.error.isEmpty())
        text = tr("The word store cannot be read: %1").arg(list.error);
    else
        text = tr("Learned from %1 spam and %2 good messages; %3 words.")
                   .arg(QLocale().toString(totals ? totals->first : 0), QLocale().toString(totals ? totals->second : 0),
                        QLocale().toString(quint64(count)));
    if (list.truncated)
        text += QLatin1Char(' ') + tr("Only the first %1 words are listed.").arg(QLocale().toString(quint64(count)));
    if (cleaning_)
        text = tr("Cleaning the word store…");
    ui_->totalsLabel->setText(text);
}

void SWBayesUI::interfaceWillUpdate(QObject*) { refreshSettings(); }

void SWBayesUI::refreshSettings() {
    if (!ui_)
        return;
    refreshing_ = true;
    ui_->automaticallyLearn->setChecked(
        platform::plist::boolValue(settings_, QLatin1String(kAutomaticallyLearn), false));
    ui_->cleanPeriodically->setChecked(platform::plist::boolValue(settings_, QLatin1String(kCleanPeriodically), true));
    refreshing_ = false;
}

void SWBayesUI::saveSettings() {
    if (refreshing_ || !ui_)
        return;
    QVariantMap settings = settings_;
    settings.insert(QLatin1String(kAutomaticallyLearn), ui_->automaticallyLearn->isChecked());
    settings.insert(QLatin1String(kCleanPeriodically), ui_->cleanPeriodically->isChecked());
    updateSettings(settings);
}

bool SWBayesUI::postRequest(const char* name, const QVariantMap* userInfo) {
    // The filter lives in the engine: start it when it is not running, so the
    // request is heard.
    const QString engine = QLatin1String(platform::kEngineBusName);
    if (!platform::ScriptingBus::hasOwner(engine)) {
        platform::launching::openApplication(QLatin1String(platform::launching::kEngineSignature));
        QDeadlineTimer deadline(kEngineStartMs);
        while (!platform::ScriptingBus::hasOwner(engine) && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QThread::msleep(20);
        }
    }
    return platform::DistributedNotificationCenter::defaultCenter().post(QLatin1String(name), identifier_, userInfo);
}

bool SWBayesUI::requestAddWord(const QString& word, qint64 spam, qint64 ham) {
    const QVariantMap info{{SWDataBaseKeywordKey, word}, {SWDataBaseSpamKey, spam}, {SWDataBaseHamKey, ham}};
    return postRequest(SWBayesDataBaseShouldAddWord, &info);
}

bool SWBayesUI::requestRemoveWords(const QStringList& words) {
    if (words.isEmpty())
        return false;
    const QVariantMap info{{SWBayesDataBaseSelectionKey, words}};
    return postRequest(SWBayesDataBaseShouldRemoveWords, &info);
}

bool SWBayesUI::requestReset() { return postRequest(SWBayesDataBaseShouldReset, nullptr); }
bool SWBayesUI::requestOptimize() { return postRequest(SWBayesDataBaseShouldOptimize, nullptr); }

void SWBayesUI::addWordDialog() {
    QDialog dialog(view() ? view()->window() : nullptr);
    dialog.setWindowTitle(tr("Add a Word"));
    auto* form = new QFormLayout(&dialog);
    auto* word = new QLineEdit(&dialog);
    auto* spam = new QSpinBox(&dialog);
    auto* ham = new QSpinBox(&dialog);
    spam->setRange(0, 1000000);
    ham->setRange(0, 1000000);
    spam->setValue(1);
    auto* hint = new QLabel(tr("A word is kept to its first 20 bytes."), &dialog);
    hint->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("Add"));
    buttons->button(QDialogButtonBox::Ok)->setEnabled(false);
    form->addRow(tr("&Word:"), word);
    form->addRow(tr("Seen in &spam:"), spam);
    form->addRow(tr("Seen in &good mail:"), ham);
    form->addRow(hint);
    form->addRow(buttons);
    connect(word, &QLineEdit::textChanged, &dialog, [buttons](const QString& text) {
        buttons->button(QDialogButtonBox::Ok)->setEnabled(!text.trimmed().isEmpty());
    });
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    dialogDisplayed(true);
    const int result = dialog.exec();
    dialogDisplayed(false);
    if (result == QDialog::Accepted && !word->text().trimmed().isEmpty())
        requestAddWord(word->text().trimmed(), spam->value(), ham->value());
}

void SWBayesUI::removeSelected() {
    QStringList words;
    for (const QModelIndex& index : ui_->wordsTable->selectionModel()->selectedRows(SWBayesWordModel::WordColumn))
        words << index.data(Qt::DisplayRole).toString();
    requestRemoveWords(words);
}

void SWBayesUI::confirmReset() {
    QMessageBox box(QMessageBox::Warning, tr("Reset"),
                    tr("Do you really want the Bayesian filter to forget everything it has learned?"),
                    QMessageBox::NoButton, view() ? view()->window() : nullptr);
    box.setInformativeText(tr("This cannot be undone. The filter judges nothing until it has been trained again."));
    QPushButton* reset = box.addButton(tr("Reset"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(tr("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    dialogDisplayed(true);
    box.exec();
    dialogDisplayed(false);
    if (box.clickedButton() == reset)
        requestReset();
}

JUNKWARD_REGISTER_CLASS(SWBayesUI, SWPlugInUI)
