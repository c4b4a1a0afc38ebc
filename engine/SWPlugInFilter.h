#pragma once
// The base class of every filter the engine consults: plug-in filters loaded
// from an "Engine.bundle" and the header filters compiled into the engine.
//
// A plug-in's principal class derives from SWPlugInFilter and is registered with
// JUNKWARD_REGISTER_CLASS(MyFilter, SWPlugInFilter); the engine creates it by the
// name in NSPrincipalClass and calls initializeWithBundle() once. All members run
// on the engine's main thread (the Qt event loop); the delayed statistics save is
// a timer of that loop.

#include <QDateTime>
#include <QString>
#include <QVariantMap>
#include <memory>
#include <optional>

class QTimer;
class SAMIMEPart;

namespace platform {
class Bundle;
struct Notification;
}  // namespace platform

// Result of filter() and the records of the statistics.
inline constexpr qint32 SWFilterStatusSpam = 0;
inline constexpr qint32 SWFilterStatusLegitimate = 1;
inline constexpr qint32 SWFilterStatusUndecided = 2;
inline constexpr qint32 SWFilterStatusFalsePositive = 3;  // statistics record only
inline constexpr qint32 SWFilterStatusNotApplicable = 4;

// What a filter's prepareToLearn() found in a message, for its learnPreparedMessage().
class SWPreparedLearning {
public:
    virtual ~SWPreparedLearning() = default;
};

class SWPlugInFilter {
public:
    SWPlugInFilter();
    virtual ~SWPlugInFilter();
    SWPlugInFilter(const SWPlugInFilter&) = delete;
    SWPlugInFilter& operator=(const SWPlugInFilter&) = delete;

    // Reads "SWPluginIdentifier", "Category", "Version" and "ServiceID" from the
    // bundle's information dictionary (the identifier argument is not used),
    // observes "SWPlugInPreferencesDidChange" and "SWSievraPlugInStatisticsDidReset"
    // for that identifier, loads preferences and statistics, sets the status from
    // "Status" (off when missing) and calls updatePreferences(). With no bundle or
    // no information dictionary the filter stays off and without identifier.
    // Returns this, or nullptr when the filter cannot be used.
    virtual SWPlugInFilter* initializeWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier);

    // Applies a preference dictionary ("Status", "Settings"); the base does nothing.
    virtual void updatePreferences(const QVariantMap& preferences);

    // The information dictionary: "SWPluginIdentifier", "Path", "Category",
    // "Version", "ServiceID", "UpdateSupport", "Service Date", built in that order
    // and ending at the first missing value.
    virtual QVariantMap dictionary() const;

    virtual bool status() const;
    virtual void setStatus(bool status);
    virtual void setLogReason(bool logReason);
    virtual QString identifier() const;
    virtual quint32 category() const;
    virtual QString version() const;
    virtual int formatVersion() const;        // 65536
    virtual bool hasConfigurationUI() const;  // false
    virtual quint32 serviceID() const;
    virtual QDateTime serviceDate() const;       // invalid unless a subclass set it
    virtual bool serviceSupportsUpdate() const;  // false

    // Judges a parsed message (borrowed, may be null): one of SWFilterStatus*.
    // The base answers SWFilterStatusUndecided.
    virtual qint32 filter(SAMIMEPart* message);
    // Training; messageID may be empty. engineStatus is the engine verdict
    // (0 spam, 1 legitimate, 2 undecided). The base does nothing and answers true.
    virtual bool automaticallyTrainWithMessage(SAMIMEPart* message, const QString& messageID, qint32 engineStatus);
    virtual bool learnMessageAsSpam(SAMIMEPart* message, const QString& messageID);
    virtual bool learnMessageAsLegitimate(SAMIMEPart* message, const QString& messageID);
    // Bulk training: the learnMessageAs* calls between beginLearningBatch() and
    // endLearningBatch() form one batch, which a filter may store as a whole
    // (one transaction, one write of its files) instead of message by message.
    // endLearningBatch() is false when the batch could not be stored; then none
    // of it may be kept. Every begin is followed by one end. The base does
    // nothing (each message is stored when it is learned) and answers true.
    virtual void beginLearningBatch();
    virtual bool endLearningBatch();
    // Bulk training on two threads. Inside a batch, a filter that answers true
    // to preparesLearning() gets prepareToLearn() for each message on a second
    // thread, while the main thread stores earlier messages: it takes the
    // message apart from the message alone (its settings aside, no state of the
    // filter, nothing stored or posted) and returns what learning it needs.
    // learnPreparedMessage() then learns the message on the main thread with
    // that result, as learnMessageAsSpam / learnMessageAsLegitimate would. The
    // base prepares nothing and learns through learnMessageAs*.
    virtual bool preparesLearning() const;
    virtual std::unique_ptr<SWPreparedLearning> prepareToLearn(SAMIMEPart* message, const QString& messageID);
    virtual bool learnPreparedMessage(SAMIMEPart* message, const QString& messageID, bool spam,
                                      std::unique_ptr<SWPreparedLearning> prepared);
    // Why the filter would judge a message as it does, for a person to read: its
    // score and the evidence that weighed most. Nothing is learned, counted or
    // logged. The base has nothing to say (an empty dictionary).
    virtual QVariantMap explain(SAMIMEPart* message);
    // The explanation of the message filter() judged last, in the form of
    // explain(), made from what judging already worked out (no second
    // judgement). The base keeps none (an empty dictionary).
    virtual QVariantMap lastExplanation();

    // "SWPlugInPreferencesDidChange" for this filter: updatePreferences(userInfo).
    virtual void preferencesDidChange(const platform::Notification& notification);
    // The statistics file of the identifier; nullopt when missing or unreadable.
    virtual std::optional<QVariantMap> loadStatistics();
    // Writes the statistics file; false when there is nothing to write or the write fails.
    virtual bool saveStatistics();
    // "SWSievraPlugInStatisticsDidReset": starts new statistics that hold only
    // "SWMAILSTARTDATE" from the user info; nothing is written until the next record.
    virtual void statisticsDidReset(const platform::Notification& notification);
    // Records a filter status and schedules a save 2 s later, replacing any pending one.
    virtual void addToStatisticsSpam(qint32 record);
    // The scheduled save; on success posts "SWPlugInStatisticsDidUpdate" with the identifier.
    virtual void delayedSavedOnDisk(const QString& identifier);

    // Runs a pending delayed save now (the process is about to end).
    void flushPendingStatistics();

    // The in-memory statistics (nullopt before the first record when no file existed).
    const std::optional<QVariantMap>& statistics() const { return statistics_; }

    // Calendar update of a statistics dictionary with the local time now:
    // counters at the top level and in the year/month/day/hour records, then
    // pruning of old years and months. Always true.
    static bool addToStatistics(QVariantMap& statistics, qint32 record);
    // The same with an explicit local date and time.
    static bool addToStatistics(QVariantMap& statistics, qint32 record, const QDateTime& localNow);
    // Sets the counters of a new period to 1 as the record asks.
    static void initDictionary(QVariantMap& dictionary, qint32 record);
    // Increments the counters of an existing period as the record asks.
    static void updateDictionary(QVariantMap& dictionary, qint32 record);

    // Delay between the last record of a burst and the statistics write.
    static constexpr int kStatisticsSaveDelayMs = 2000;

protected:
    // Observes the two per-identifier notifications; used by initializeWithBundle()
    // and by subclasses that initialise differently.
    void observeFilterNotifications();
    // Initialisation of a filter compiled into the engine: the identifier is the
    // one given; category, version and service id come from the bundle; the
    // preferences default to the "Engine.bundle" beside the bundle.
    SWPlugInFilter* initializeBuiltInWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier);

    std::shared_ptr<platform::Bundle> bundle_;
    QString identifier_;
    quint32 category_ = 0;
    QString version_;
    quint32 serviceID_ = 0;
    QDateTime serviceDate_;
    std::optional<QVariantMap> statistics_;
    bool status_ = false;
    bool logReason_ = false;

private:
    // Takes the bundle (identifier_ set): its numbers, the notifications, the
    // preferences and statistics, the switch.
    void startWithBundle(std::shared_ptr<platform::Bundle> bundle);

    std::unique_ptr<QTimer> saveTimer_;
    int preferencesObserver_ = -1;
    int resetObserver_ = -1;
};
