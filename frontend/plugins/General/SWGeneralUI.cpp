#include "SWGeneralUI.h"

#include "platform/ClassRegistry.h"
#include "platform/PropertyList.h"

#include "ui_MainView.h"

#include <QCheckBox>
#include <QSpinBox>

namespace {

// A check box and its key in "Settings", with the value the engine assumes
// when the key is absent.
struct Switch {
    QCheckBox* Ui::SWGeneralView::*box;
    const char* key;
    bool fallback;
};

const Switch kSwitches[] = {
    {&Ui::SWGeneralView::showFeedback, "Show Feedback", true},
    {&Ui::SWGeneralView::showSpamDetection, "Show Spam Detection", true},
    {&Ui::SWGeneralView::asianCyrillic, "Filter Asiatic or Cyrillic Encodings", false},
    {&Ui::SWGeneralView::japanese, "Filter Japanese Encodings", false},
    {&Ui::SWGeneralView::nonJapanese, "Filter non Japanese Encodings", false},
    {&Ui::SWGeneralView::incorrectMessageID, "Incorrect Message-ID", true},
    {&Ui::SWGeneralView::advSubject, "ADV Subject", true},
    {&Ui::SWGeneralView::htmlBase64, "Filter HTML Base 64", false},
    {&Ui::SWGeneralView::trustSpamHeaders, "Trust Spam Headers", true},
    {&Ui::SWGeneralView::keepMessageSources, "Keep Message Sources", true},
};

constexpr const char* kRemoveOldMails = "Remove Old Mails";
constexpr const char* kMailsOlderThan = "Mails older than";
constexpr int kDefaultDays = 30;

}  // namespace

SWGeneralUI::SWGeneralUI() = default;
SWGeneralUI::~SWGeneralUI() = default;

QWidget* SWGeneralUI::settingsView() {
    auto* view = new QWidget;
    ui_ = std::make_unique<Ui::SWGeneralView>();
    ui_->setupUi(view);
    for (const Switch& s : kSwitches)
        connect((ui_.get()->*s.box), &QCheckBox::toggled, this, [this] { save(); });
    connect(ui_->removeOldMails, &QCheckBox::toggled, this, [this](bool on) {
        ui_->mailsOlderThan->setEnabled(on);
        save();
    });
    connect(ui_->mailsOlderThan, &QSpinBox::valueChanged, this, [this] { save(); });
    connect(ui_->engineStatus, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_)
            setStatus(on);
    });
    return view;
}

void SWGeneralUI::pluginDidFinishLoading() { refresh(); }
void SWGeneralUI::interfaceWillUpdate(QObject*) { refresh(); }

void SWGeneralUI::refresh() {
    if (!ui_)
        return;
    refreshing_ = true;
    ui_->engineStatus->setChecked(status_);
    for (const Switch& s : kSwitches)
        (ui_.get()->*s.box)->setChecked(platform::plist::boolValue(settings_, QLatin1String(s.key), s.fallback));
    const bool remove = platform::plist::boolValue(settings_, QLatin1String(kRemoveOldMails), false);
    ui_->removeOldMails->setChecked(remove);
    const QVariant days = settings_.value(QLatin1String(kMailsOlderThan));
    ui_->mailsOlderThan->setValue(days.canConvert<int>() && days.toInt() >= 1 ? days.toInt() : kDefaultDays);
    ui_->mailsOlderThan->setEnabled(remove);
    refreshing_ = false;
}

void SWGeneralUI::save() {
    if (refreshing_ || !ui_)
        return;
    QVariantMap settings = settings_;
    for (const Switch& s : kSwitches)
        settings.insert(QLatin1String(s.key), (ui_.get()->*s.box)->isChecked());
    settings.insert(QLatin1String(kRemoveOldMails), ui_->removeOldMails->isChecked());
    settings.insert(QLatin1String(kMailsOlderThan), qint64(ui_->mailsOlderThan->value()));
    updateSettings(settings);
}

JUNKWARD_REGISTER_CLASS(SWGeneralUI, SWPlugInUI)
