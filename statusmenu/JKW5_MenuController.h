#pragma once
// The Junkward status menu: a switch for the whole engine, one per filter, and
// the command that opens the front end. The switches write the filters'
// preference files and announce the change over the distributed notification
// centre, which the engine and the front end follow. The switches come alive once
// the root daemon's port has been found.

#include "hosts/statusitem/QStatusItemPlugin.h"

#include <QList>
#include <QMap>
#include <QVariantMap>

#include <memory>

class QAction;
class QMainWindow;
class QMenu;
class QTimer;
namespace Ui {
class JKWMenu;
}

// Keys of a filter entry.
inline constexpr const char* JKW5_MENU_BUNDLE_KEY = "Bundle";  // path of the "UI.bundle"
inline constexpr const char* JKW5_MENU_IDENTIFIER_KEY = "SWPluginIdentifier";
inline constexpr const char* JKW5_MENU_STATUS_KEY = "Status";
inline constexpr const char* JKW5_MENU_POSITION_KEY = "Prefered Position";
inline constexpr const char* JKW5_MENU_NAME_KEY = "Name";

// Daemon poll: 2.5 s for the first 72 failed checks, then 60 s.
inline constexpr int JKW5_MENU_FAST_POLL_MS = 2500;
inline constexpr int JKW5_MENU_SLOW_POLL_MS = 60000;
inline constexpr int JKW5_MENU_FAST_POLL_COUNT = 72;

// The order of two filter entries by "Prefered Position" ("First…", "Last…" or a
// string compared without regard to case), then by identifier: <0, 0, >0.
int comparePlugin(const QVariantMap& receiver, const QVariantMap& other);

class JKW5_MenuController : public QStatusItemPlugin {
    Q_OBJECT
public:
    JKW5_MenuController();
    ~JKW5_MenuController() override;

    bool initWithBundle(std::shared_ptr<platform::Bundle> bundle) override;
    bool startPlugin() override { return true; }
    bool stopPlugin() override { return true; }
    QMenu* statusMenu() const override;
    QIcon statusIcon() const override { return icon_; }
    QString statusToolTip() const override;

    // <user Library>/Preferences/com.quillon.junkward.<identifier>.plist
    static QString preferencesPathWithIdentifier(const QString& identifier);
    // True for a front end whose "ASBuildVersion" has a character below '5' at
    // index 3 in the Contents/Info.plist of bundlePath (an older generation).
    static bool isOlderFrontEnd(const QString& bundlePath);

    void loadPlugins();
    void loadCurrentSettings();
    void buildFiltersSection();
    void setApplicationIconNamed(const QString& name);
    // Stores status for identifier, writes it into the filter's preference file
    // and announces it. False when the file could not be read or written.
    bool forwardStatus(bool status, const QString& identifier);
    void checkForDaemonStatus();

    // Menu actions.
    void switchStatus();
    void switchFilterStatus(QAction* sender);
    void openJunkwardApplication();
    // Enables, titles and checks an item from the current state.
    bool validateMenuItem(QAction* item);
    void validateMenu();

    // State, for the tray icon and for tests.
    bool isRunningFine() const { return isRunningFine_; }
    bool engineStatus() const { return engineStatus_; }
    const QList<QVariantMap>& sortedFilters() const { return cachedSortedFiltersList_; }
    QAction* engineItem() const { return IBengineMenuItem_; }
    QAction* openItem() const { return IBopenMenuItem_; }
    QList<QAction*> filterItems() const;
    int pollInterval() const;  // 0 when not polling

private:
    void awakeFromNib();
    void distributedFilterStatusDidChange(const QString& object, const QVariantMap& userInfo, bool hasUserInfo);
    void allSettingsDidChange();
    void updateIcon();
    QString localized(const char* text) const;

    std::unique_ptr<Ui::JKWMenu> ui_;
    std::unique_ptr<QMainWindow> nib_;
    QAction* IBapplicationMenuItem_ = nullptr;
    QAction* IBfiltersMenuItem_ = nullptr;
    QAction* IBengineMenuItem_ = nullptr;
    QAction* IBopenMenuItem_ = nullptr;
    bool isRunningFine_ = false;
    bool isDaemonRunning_ = false;
    std::unique_ptr<QTimer> timer_;
    QString identifier_;
    QMap<QString, QVariantMap> plugins_;
    QList<QVariantMap> cachedSortedFiltersList_;
    bool engineStatus_ = true;
    QIcon icon_;
    QString iconName_;
    QList<int> observers_;
};
