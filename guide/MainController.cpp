#include "guide/MainController.h"

#include "ui_GuideWindow.h"
#include "ui_Step1View.h"
#include "ui_Step2View.h"

#include "platform/NotificationCenter.h"

#include <QCoreApplication>
#include <QEvent>

namespace {
constexpr qreal kInactiveOpacity = 0.5;
}

MainController::MainController() : terminate_([] { QCoreApplication::quit(); }) {}

MainController::~MainController() = default;

void MainController::awakeFromNib() {
    window_ = std::make_unique<QWidget>(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
    ui_ = std::make_unique<Ui::GuideWindow>();
    ui_->setupUi(window_.get());
    step1_ = new QWidget;
    step1Ui_ = std::make_unique<Ui::Step1View>();
    step1Ui_->setupUi(step1_);
    step2_ = new QWidget;
    step2Ui_ = std::make_unique<Ui::Step2View>();
    step2Ui_->setupUi(step2_);
    // The container owns both pages; only the current one is shown.
    for (QWidget* page : {step1_, step2_}) {
        page->setParent(ui_->bottomView);
        page->adjustSize();
        page->hide();
    }
    connect(ui_->goBackButton, &QPushButton::clicked, this, &MainController::previous);
    connect(ui_->continueButton, &QPushButton::clicked, this, &MainController::next);

    ui_->goBackButton->setEnabled(false);
    diplayView(step1_);
    window_->installEventFilter(this);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

QPushButton* MainController::goBackButton() const { return ui_->goBackButton; }
QPushButton* MainController::continueButton() const { return ui_->continueButton; }

void MainController::previous() {
    ui_->goBackButton->setEnabled(false);
    ui_->continueButton->setEnabled(true);
    ui_->continueButton->setText(tr("Continue"));
    diplayView(step1_);
}

void MainController::next() {
    if (currentView_ == step2_) {
        // A second click before the program has ended announces nothing more.
        if (finished_)
            return;
        finished_ = true;
        platform::DistributedNotificationCenter::defaultCenter().post(QString::fromLatin1(JKWEntourageManualConfDone));
        terminate_();
        return;
    }
    ui_->goBackButton->setEnabled(true);
    ui_->continueButton->setText(tr("Done"));
    diplayView(step2_);
}

void MainController::diplayView(QWidget* view) {
    if (currentView_)
        currentView_->hide();
    currentView_ = view;
    view->setParent(ui_->bottomView);
    view->move(1, 1);
    view->resize(view->sizeHint().expandedTo(view->minimumSize()));
    view->show();
}

bool MainController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_.get()) {
        if (event->type() == QEvent::WindowDeactivate)
            window_->setWindowOpacity(kInactiveOpacity);
        if (event->type() == QEvent::WindowActivate)
            window_->setWindowOpacity(1.0);
    }
    return QObject::eventFilter(watched, event);
}
