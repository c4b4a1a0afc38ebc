#pragma once
// The base class of every filter's settings and statistics panel.
//
// A filter's "UI.bundle" registers its principal class, derived from SWPlugInUI,
// with JUNKWARD_REGISTER_CLASS(MyPanel, SWPlugInUI). The main window creates it
// by name, lets it build its view (loadMainView), then calls initWithBundle().
// The panel owns the filter's preferences and statistics as the front end sees
// them, shows the four counters and a histogram of the last day, week or month,
// switches between its settings and its statistics view, resets the filter's
// statistics and keeps the filter's on/off status in step with the filter list,
// the preference file and the other processes. Everything runs on the main thread.

#include "frontend/kit/QAHistogramView.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class QComboBox;
class QLabel;
class QPushButton;
class QStackedWidget;
class QTimer;
class QToolButton;
class QWidget;

namespace platform {
class Bundle;
struct Notification;
}  // namespace platform

namespace Ui {
class SWPlugInUIView;
}

class SWPlugInUI : public QObject, public QAHistogramViewDataSource {
    Q_OBJECT
public:
    SWPlugInUI();
    ~SWPlugInUI() override;

    // Builds the panel: the frame with the two view buttons, the statistics view
    // and the subclass's settings view (settingsView()). False when the view
    // cannot be built; the panel is then not used.
    bool loadMainView();

    // Keeps the bundle and identifier, loads preferences and statistics and
    // observes the notifications of the filter. False without bundle or when no
    // preferences can be had.
    virtual bool initWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier);
    // Called once every panel has been initialised; nothing in the base class.
    virtual void pluginDidFinishLoading();

    QWidget* view() const;
    // The panel was put into the main window: shows its settings view unless one of
    // the two views is already in place.
    virtual void paneHasBeenSelected(QObject* sender);
    void showSettings();
    void showStatistics();
    bool isStatisticsViewVisible() const;
    // Re-reads the statistics file and redraws counters and histogram; posts
    // "SWSievraPlugInLocalScoreDidChange" with the statistics.
    void statisticsDidUpdate();
    // Extra data of a settings package (path of the package); true in the base class.
    virtual bool importExtra(const QString& packagePath);
    virtual bool exportExtra(const QString& packagePath);

    QString identifier() const { return identifier_; }
    bool status() const { return status_; }
    // The localised "ToolBarName" of the bundle's "Localizable" table.
    QString localizedName() const;

    // For subclasses.
    QVariantMap& settings() { return settings_; }
    const QVariantMap& preferences() const { return preferences_; }
    // Stores settings into the preferences, saves them and announces them with
    // "SWPlugInPreferencesDidChange". False when they could not be saved.
    bool updateSettings(const QVariantMap& settings);
    // Switches the filter on or off: saved and announced as a change made in the list.
    void setStatus(bool status);
    virtual double minOptionsHeight() const { return 100.0; }
    virtual bool isResizable() const { return false; }

    // Actions.
    void takePeriodFrom(int index);
    // Asks for confirmation in a dialog, then resetStatisticsConfirmed().
    void resetStatistics();
    // Announces the reset to the main window and reloads the (now empty) statistics.
    void resetStatisticsConfirmed();
    void updateHistogram();

    // Statistics as last loaded, the period and the histogram samples.
    const std::optional<QVariantMap>& statistics() const { return statistics_; }
    int period() const { return period_; }
    qint64 maxValue() const { return maxValue_; }
    QStringList graphKeys() const { return graphKeys_; }
    // Rebuilds the samples of the period from the statistics, for the local time now.
    void updateWorkingData();
    void updateWorkingData(const QDateTime& localNow);
    // The text of a counter field ("--" when unknown).
    QString counterText(const char* key) const;

    // Histogram data source.
    int numberOfSamplesInHistogramView(const QAHistogramView* view) const override;
    int numberOfValuesPerSampleInHistogramView(const QAHistogramView* view) const override;
    std::array<qint64, 2> histogramViewSampleAtIndex(const QAHistogramView* view, int index) const override;
    qint64 maxValueInHistogramView(const QAHistogramView* view) const override;
    std::array<QColor, 2> attributesForSampleInHistogramView(const QAHistogramView* view) const override;
    QAHistogramLabel histogramViewLabelForSampleAtIndex(const QAHistogramView* view, int index) const override;
    QStringList legendForValuesInHistogramView(const QAHistogramView* view) const override;
    QString toolTipForSampleAtIndex(const QAHistogramView* view, int index) const override;

    // The clock of the histogram (local time); tests set a fixed one.
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
    QAHistogramView* histogramView() const;

    // Colours of spam and good mail, shared with the filter list.
    static QColor spamColor();
    static QColor goodMailColor();

signals:
    // The settings or statistics view was brought to the front.
    void viewDidSwitch();

protected:
    // The subclass's settings controls, created once by loadMainView(); the base
    // class shows an empty page.
    virtual QWidget* settingsView();
    // Hooks; nothing in the base class.
    virtual void preferencesDidLearn(const platform::Notification& notification);
    virtual void initSizes();
    virtual void viewDidResize(QObject* sender);
    // The preferences were reloaded (after an import): refresh the controls.
    virtual void interfaceWillUpdate(QObject* sender);
    virtual void protectionStatusDidChange(const platform::Notification& notification);

    // Tells the main window that a modal dialog opens (true) or closes (false):
    // its menus are disabled meanwhile.
    static void dialogDisplayed(bool shown);
    // Reads the preference file again (after an import, or when the engine changed
    // it) and refreshes the controls.
    void reloadPreferences();

    std::shared_ptr<platform::Bundle> bundle_;
    QString identifier_;
    bool status_ = false;
    QVariantMap settings_;
    QVariantMap preferences_;

private:
    void localStatusDidChange(const platform::Notification& notification);
    bool loadPreferences(const char* failureText);
    void updateCounters();
    void switchTo(bool statistics);
    bool savePreferences();
    QString sampleDateText(int index) const;
    QDateTime now() const;

    std::unique_ptr<Ui::SWPlugInUIView> ui_;
    QPointer<QWidget> IBview_;
    QWidget* IBsettingsView_ = nullptr;
    QWidget* IBstatisticsView_ = nullptr;
    std::optional<QVariantMap> statistics_;
    std::array<qint64, 2> values_{};
    QMap<int, QVariantMap> workingData_;
    QMap<int, QDateTime> sampleDates_;
    qint64 maxValue_ = 0;
    int period_ = 0;
    QTimer* periodTimer_ = nullptr;
    QTimer* learnTimer_ = nullptr;
    QStringList graphKeys_;
    std::function<QDateTime()> clock_;
    QList<int> distributedObservers_;
    QList<int> localObservers_;
};
