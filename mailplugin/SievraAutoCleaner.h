#pragma once
// Removes the messages older than a number of days from the Spam mailbox once an
// hour, while the general settings ask for it ("Remove Old Mails", "Mails older
// than"). The first cleaning runs a minute after removal is switched on.

#include <QObject>
#include <QVariantMap>

class QTimer;
namespace platform {
struct Notification;
}

class SievraAutoCleaner : public QObject {
    Q_OBJECT
public:
    static constexpr int kFirstCleaningDelayMs = 60 * 1000;
    static constexpr int kPeriodMs = 3600 * 1000;

    static SievraAutoCleaner* sharedAutoCleaner();
    // Reads the general settings and registers for their changes.
    SievraAutoCleaner();
    ~SievraAutoCleaner() override;

    void preferencesDidChange(const platform::Notification& notification);
    void firstCleaning();
    void periodicCheck();
    // Removes the old messages of the Spam mailbox now, when removal is on.
    void clean();

    bool running() const { return running_; }
    int numberOfDays() const { return numberOfDays_; }
    bool firstCleaningPending() const;
    bool hourly() const { return timer_ != nullptr; }

private:
    QTimer* timer_ = nullptr;
    QTimer* firstCleaningTimer_ = nullptr;
    bool running_ = false;
    int numberOfDays_ = 0;
    int observer_ = -1;
    void scheduleFirstCleaning();
    void readDayCount(const QVariantMap& settings);
};
