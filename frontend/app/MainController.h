#pragma once
// The front end's controller and the owner of its main window: the filter list
// on the left (one row per "UI.bundle" panel, a separator after the first),
// the selected panel on the right. It loads the panels, keeps each filter's
// on/off status and hit count in step with the engine and the other front ends,
// imports and exports settings packages, resets statistics, opens the manual,
// waits for the root daemon at start-up and adds the engine to the login items.

#include "frontend/app/FilterListModel.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <list>
#include <memory>

class QAction;
class QDialog;
class QMainWindow;
class QTimer;
class SWPlugInUI;

namespace platform {
class UserDefaults;
struct Notification;
}  // namespace platform
namespace Ui {
class MainWindow;
class StartupProgress;
}  // namespace Ui

class MainController : public QObject {
    Q_OBJECT
public:
    // An alert: its kind, texts and buttons (the first is the default).
    struct Alert {
        enum Kind { Informational, Warning, Critical } kind = Informational;
        QString title;
        QString message;
        QStringList buttons;
    };
    // Shows alerts; tests install one that answers for the user. Returns the
    // index of the button chosen.
    using AlertHandler = std::function<int(const Alert&)>;
    static void setAlertHandler(AlertHandler handler);

    // Creation: observers, and a first look for the daemon's port.
    explicit MainController(QObject* parent = nullptr);
    ~MainController() override;

    // Builds the window, loads the panels and, while the daemon is not there,
    // shows the start-up progress window.
    void awakeFromNib();
    // Adds the engine to the login items; once the daemon is there selects the
    // first filter and shows the window.
    void applicationDidFinishLaunching();
    // Stores the window frame.
    void applicationWillTerminate();
    // A settings package given on the command line: asks, then imports. Always true.
    bool applicationOpenFile(const QString& path);

    // Actions.
    void showSettings();
    void showStatistics();
    void showHideDetectedSpams();
    void showLog();
    void showUserManual();
    void importSettings();
    void exportSettings();
    void resetAllStatistics();
    bool exportSettingsToPath(const QString& path);
    bool importSettingsAtPath(const QString& path);

    void loadPlugins();
    void showController(SWPlugInUI* controller);
    void checkDaemonStatus();
    // Enables, titles and checks the menu items for the current state.
    void validateMenuItems();

    // State, for the window and its tests.
    QMainWindow* window() const { return window_; }
    FilterListModel* filterModel() const { return model_; }
    const QList<PlugInEntry*>& sortedFilters() const { return cachedSortedFiltersList_; }
    PlugInEntry* plugin(const QString& identifier) const;
    SWPlugInUI* currentController() const { return currentController_; }
    bool isInitialized() const { return isInitialized_; }
    bool engineStatus() const { return engineStatus_; }
    int openDialogs() const { return alertSheetCount_; }
    QAction* action(const QString& name) const;
    bool selectRow(int row);
    // How long to wait for the daemon: tries, one every interval.
    void setDaemonWait(int tries, int intervalMs);
    // Whether start-up opens the set-up assistant while no mail program has
    // been configured (the program turns it on; embedders and tests do not).
    void setOpensSetupAssistant(bool on) { opensSetupAssistant_ = on; }
    // Where the manual is looked for.
    static QString installedManualPath();

protected:
    // Closing the main window quits, unless a dialog is open.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void plugInScoreDidChange(const platform::Notification& n);
    void plugInDidSendStatus(const platform::Notification& n);
    void allSettingsDidChange();
    void distributedFilterStatusDidChange(const platform::Notification& n);
    void dialogDisplayedDidChange(const platform::Notification& n);
    void userManualDidBecomeAvailable(const platform::Notification& n);
    void statisticsDidReset(const platform::Notification& n);
    void statusEdited(const QString& identifier, bool status);
    void tableViewSelectionDidChange();
    void daemonNeverCame();
    void updateStatusBar();
    void reloadList();
    int alert(const Alert& alert);
    static bool daemonPortExists();
    // Runs a dialog modally; the menus that need a free window are off meanwhile.
    int runModal(QDialog& dialog);

    std::map<QString, std::unique_ptr<PlugInEntry>> plugins_;
    std::list<PlugInEntry> separators_;
    QList<PlugInEntry*> cachedSortedFiltersList_;
    std::vector<std::unique_ptr<SWPlugInUI>> instances_;
    bool engineStatus_ = true;
    bool pluginsLoaded_ = false;
    bool isInitialized_ = false;
    bool showDetectedSpams_ = true;
    int alertSheetCount_ = 0;
    bool firstLaunch = true;
    bool opensSetupAssistant_ = false;
    SWPlugInUI* currentController_ = nullptr;
    std::unique_ptr<platform::UserDefaults> defaults_;

    QMainWindow* window_ = nullptr;
    std::unique_ptr<Ui::MainWindow> ui_;
    FilterListModel* model_ = nullptr;
    QDialog* progressWindow_ = nullptr;
    std::unique_ptr<Ui::StartupProgress> progressUi_;
    QTimer* daemonTimer_ = nullptr;
    int daemonTries_ = 0;
    int maximumDaemonTries_ = 300;
    int lastSelectedRow_ = -1;
    QList<int> distributedObservers_;
    QList<int> localObservers_;
};
