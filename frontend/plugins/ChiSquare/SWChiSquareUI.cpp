#include "SWChiSquareUI.h"

#include "chisquare/SWChiSquareScore.h"
#include "platform/ClassRegistry.h"

#include "ui_MainView.h"

#include <QDoubleSpinBox>
#include <QSpinBox>

namespace {

// The keys of the filter's "Settings" and the values it assumes without them.
constexpr const char* kSpamCutoff = SWChiSquareSpamCutoffKey;
constexpr const char* kHamCutoff = SWChiSquareHamCutoffKey;
constexpr const char* kMaximumClues = SWChiSquareMaximumCluesKey;
constexpr const char* kMinimumLearned = SWChiSquareMinimumLearnedKey;
const SWChiSquareSettings kDefaults;
const double kDefaultSpamCutoff = kDefaults.spamCutoff;
const double kDefaultHamCutoff = kDefaults.hamCutoff;
const int kDefaultMaximumClues = kDefaults.maximumClues;
const int kDefaultMinimumLearned = kDefaults.minimumLearned;

double number(const QVariantMap& settings, const char* key, double fallback, double low, double high) {
    const QVariant v = settings.value(QLatin1String(key));
    bool ok = false;
    const double d = v.toDouble(&ok);
    return ok && d >= low && d <= high ? d : fallback;
}

}  // namespace

SWChiSquareUI::SWChiSquareUI() = default;
SWChiSquareUI::~SWChiSquareUI() = default;

QWidget* SWChiSquareUI::settingsView() {
    auto* view = new QWidget;
    ui_ = std::make_unique<Ui::SWChiSquareView>();
    ui_->setupUi(view);
    connect(ui_->spamCutoff, &QDoubleSpinBox::valueChanged, this, [this] { save(); });
    connect(ui_->hamCutoff, &QDoubleSpinBox::valueChanged, this, [this] { save(); });
    connect(ui_->minimumLearned, &QSpinBox::valueChanged, this, [this] { save(); });
    connect(ui_->maximumClues, &QSpinBox::valueChanged, this, [this] { save(); });
    return view;
}

void SWChiSquareUI::pluginDidFinishLoading() { refresh(); }
void SWChiSquareUI::interfaceWillUpdate(QObject*) { refresh(); }

void SWChiSquareUI::refresh() {
    if (!ui_)
        return;
    refreshing_ = true;
    ui_->spamCutoff->setValue(number(settings_, kSpamCutoff, kDefaultSpamCutoff, 0.0, 1.0));
    ui_->hamCutoff->setValue(number(settings_, kHamCutoff, kDefaultHamCutoff, 0.0, 1.0));
    ui_->minimumLearned->setValue(int(number(settings_, kMinimumLearned, kDefaultMinimumLearned, 0, 100000)));
    ui_->maximumClues->setValue(int(number(settings_, kMaximumClues, kDefaultMaximumClues, 1, 10000)));
    ui_->problemLabel->clear();
    refreshing_ = false;
}

void SWChiSquareUI::save() {
    if (refreshing_ || !ui_)
        return;
    if (ui_->hamCutoff->value() >= ui_->spamCutoff->value()) {
        ui_->problemLabel->setText(tr("The good-mail cutoff must be below the spam cutoff; nothing was saved."));
        return;
    }
    ui_->problemLabel->clear();
    QVariantMap settings = settings_;
    settings.insert(QLatin1String(kSpamCutoff), ui_->spamCutoff->value());
    settings.insert(QLatin1String(kHamCutoff), ui_->hamCutoff->value());
    settings.insert(QLatin1String(kMinimumLearned), qint64(ui_->minimumLearned->value()));
    settings.insert(QLatin1String(kMaximumClues), qint64(ui_->maximumClues->value()));
    updateSettings(settings);
}

JUNKWARD_REGISTER_CLASS(SWChiSquareUI, SWPlugInUI)
