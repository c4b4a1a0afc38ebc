#pragma once
// The set-up assistant: a modal window of panes (a list of their titles at the
// side, Back / Next / Cancel) that configures the user's mail programs. The
// panes collect the choices; SUAMailConfiguration does the file work. Panes:
// an introduction, the choice of mail programs, and the last pane that runs
// the configuration and reports its outcome.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "frontend/app/SUAMailPrograms.h"

#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
#include <QDialog>
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class QWidget;
class SUAMainController;
namespace Ui {
class SUAWindow;
}

// The choices the panes collect and the run of the configuration.
class SUAProcessEngine {
public:
    bool configureMail = false;
    bool configureEntourage = false;
    // The mail programs of this desktop chosen for set-up.
    QVector<SUAMailProgram> linuxPrograms;
    void startProcess() { waitingForEntourage = false; }
    // False while the manual configuration of Entourage is still to be done.
    bool endProcess() const { return !waitingForEntourage; }
    bool waitingForEntourage = false;
};

// Base of the panes.
class AKPaneController : public QObject {
    Q_OBJECT
public:
    AKPaneController(SUAMainController* main, QString listTitle, QString paneTitle);
    ~AKPaneController() override;
    // The pane's view, built on first use.
    QWidget* relativeRootView();
    QString listTitle() const { return listTitle_; }
    QString paneTitle() const { return paneTitle_; }
    virtual void initPaneWithEngine(SUAProcessEngine&) {}
    virtual QString nextPaneName() const { return {}; }
    int previousPaneIndex() const { return previousPaneIndex_; }
    void setPreviousPaneIndex(int index) { previousPaneIndex_ = index; }
    virtual bool checkPaneValuesWithEngine(SUAProcessEngine&) { return true; }
    virtual void processWithEngine(SUAProcessEngine&) {}
    virtual void resetUI() {}

protected:
    virtual QWidget* loadPane() = 0;
    SUAMainController* main_;

private:
    QString listTitle_;
    QString paneTitle_;
    int previousPaneIndex_ = -1;
    QPointer<QWidget> view_;
};

// The choice of mail programs.
class SUAMailClientsController : public AKPaneController {
    Q_OBJECT
public:
    explicit SUAMailClientsController(SUAMainController* main);
    void initPaneWithEngine(SUAProcessEngine& engine) override;
    bool checkPaneValuesWithEngine(SUAProcessEngine& engine) override;
    void processWithEngine(SUAProcessEngine& engine) override;
    void resetUI() override;
    QCheckBox* mailBox() const { return mailBox_; }
    QCheckBox* entourageBox() const { return entourageBox_; }
    // Enables the Mail box once the mail program has been set up.
    void checkMailConfigured();

protected:
    QWidget* loadPane() override;

private:
    QCheckBox* mailBox_ = nullptr;
    QCheckBox* entourageBox_ = nullptr;
    QLabel* mailNotice_ = nullptr;
    QTimer* timer_ = nullptr;
};

// The mail programs found in the home folder: those the assistant configures
// are ticked for set-up; the others show what to do in them.
class SUALinuxProgramsController : public AKPaneController {
    Q_OBJECT
public:
    explicit SUALinuxProgramsController(SUAMainController* main);
    void initPaneWithEngine(SUAProcessEngine& engine) override;
    bool checkPaneValuesWithEngine(SUAProcessEngine& engine) override;
    void processWithEngine(SUAProcessEngine& engine) override;
    void resetUI() override;
    const QVector<SUAMailProgram>& programs() const { return programs_; }
    QList<QCheckBox*> boxes() const { return boxes_; }

protected:
    QWidget* loadPane() override;

private:
    QWidget* list_ = nullptr;
    QVector<SUAMailProgram> programs_;
    QList<QCheckBox*> boxes_;
};

// The last pane: runs the configuration.
class SUAStopPaneController : public AKPaneController {
    Q_OBJECT
public:
    explicit SUAStopPaneController(SUAMainController* main);
    void initPaneWithEngine(SUAProcessEngine& engine) override;
    void processWithEngine(SUAProcessEngine& engine) override;
    void resetUI() override;
    QPushButton* configureButton() const { return configure_; }
    QLabel* statusLabel() const { return status_; }

protected:
    QWidget* loadPane() override;

private:
    bool configureMail();
    void finalStep();
    QLabel* summary_ = nullptr;
    QLabel* status_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* configure_ = nullptr;
    int entourageObserver_ = -1;
};

// A pane of text only.
class SUATextPaneController : public AKPaneController {
    Q_OBJECT
public:
    SUATextPaneController(SUAMainController* main, QString listTitle, QString paneTitle, QString text);

protected:
    QWidget* loadPane() override;

private:
    QString text_;
};

class SUAMainController : public QObject {
    Q_OBJECT
public:
    // An alert: its kind, texts and buttons (the first is the default).
    struct Alert {
        enum Kind { Informational, Warning, Critical } kind = Informational;
        QString title;
        QString message;
    };
    // Shows alerts; tests install one that records them.
    using AlertHandler = std::function<void(const Alert&)>;
    static void setAlertHandler(AlertHandler handler);

    static SUAMainController& sharedMainController();
    // Opens the assistant and runs it modally. In first-launch mode the
    // engine is started first and Cancel quits the application.
    static void showSetupAssistantDialog(bool firstLaunch);
    static void launchEngineIfNeeded();
    // A mail program has been configured: Mail, Entourage or one of this desktop.
    static bool anyMailClientConfigured();

    // Builds the window (once) and shows pane 0 without running it modally.
    bool open(bool firstLaunch);
    void selectSlideAtIndex(int index);
    void nextSlide();
    void previousSlide();
    void cancel();
    void finishSetUp();
    // Closes the window after the configuration.
    void endAssistant();

    int currentIndex() const { return current_; }
    int indexOfPaneControllerWithName(const QString& name) const;
    AKPaneController* paneControllerAtIndex(int index) const;
    int paneCount() const { return int(panes_.size()); }
    QDialog* window() const { return window_; }
    QPushButton* nextButton() const;
    QPushButton* backButton() const;
    QPushButton* cancelButton() const;
    SUAProcessEngine& engine() { return engine_; }
    void alert(const Alert& a);

    ~SUAMainController() override;

private:
    SUAMainController();
    void processPaneController(int index);
    void updateButtons();

    std::vector<std::unique_ptr<AKPaneController>> panes_;
    SUAProcessEngine engine_;
    int current_ = 0;
    bool firstLaunch_ = false;
    QPointer<QDialog> window_;
    std::unique_ptr<Ui::SUAWindow> ui_;
};
