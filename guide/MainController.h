#pragma once
// The two-page guide to setting up Entourage by hand. Finishing it tells the
// set-up assistant ("ENTOURAGE MANUAL CONF DONE") and ends the program.

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class QPushButton;
class QWidget;
namespace Ui {
class GuideWindow;
class Step1View;
class Step2View;
}  // namespace Ui

inline constexpr const char* JKWEntourageManualConfDone = "ENTOURAGE MANUAL CONF DONE";

class MainController : public QObject {
    Q_OBJECT
public:
    MainController();
    ~MainController() override;

    // Sets the window up and shows page 1.
    void awakeFromNib();
    void previous();
    void next();
    // Puts view into the bottom container at (1, 1), replacing the current page.
    void diplayView(QWidget* view);

    QWidget* window() const { return window_.get(); }
    QWidget* currentView() const { return currentView_; }
    QWidget* step1View() const { return step1_; }
    QWidget* step2View() const { return step2_; }
    QPushButton* goBackButton() const;
    QPushButton* continueButton() const;
    // What ends the program; the application's quit by default.
    void setTerminate(std::function<void()> terminate) { terminate_ = std::move(terminate); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::unique_ptr<QWidget> window_;
    std::unique_ptr<Ui::GuideWindow> ui_;
    std::unique_ptr<Ui::Step1View> step1Ui_;
    std::unique_ptr<Ui::Step2View> step2Ui_;
    QWidget* step1_ = nullptr;
    QWidget* step2_ = nullptr;
    QPointer<QWidget> currentView_;
    bool finished_ = false;
    std::function<void()> terminate_;
};
