// A filter plug-in used by the engine tests only. Besides the base behaviour it
// records statistics on request: the distributed notification
// "JunkwardTestPlugInRecord" with its identifier as object and the user info
// {"Record": filter status, "Count": how many} adds that many records, then
// posts "JunkwardTestPlugInRecorded" with its identifier as object.
#include "engine/SWPlugInFilter.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

class SWTestPlugInFilter : public SWPlugInFilter {
public:
    ~SWTestPlugInFilter() override {
        if (token_ >= 0)
            platform::DistributedNotificationCenter::defaultCenter().removeObserver(token_);
    }

    SWPlugInFilter* initializeWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier) override {
        SWPlugInFilter::initializeWithBundle(std::move(bundle), identifier);
        if (identifier_.isEmpty())
            return this;
        token_ = platform::DistributedNotificationCenter::defaultCenter().addObserver(
            QStringLiteral("JunkwardTestPlugInRecord"), identifier_, [this](const platform::Notification& n) {
                const qint64 count =
                    qBound(qint64(0), qint64(n.userInfo.value(QStringLiteral("Count")).toLongLong()), qint64(100));
                const qint32 record = qint32(n.userInfo.value(QStringLiteral("Record")).toInt());
                for (qint64 i = 0; i < count; ++i)
                    addToStatisticsSpam(record);
                // Tells the test the records are in, so it need not guess.
                platform::DistributedNotificationCenter::defaultCenter().post(
                    QStringLiteral("JunkwardTestPlugInRecorded"), identifier_);
            });
        return this;
    }

private:
    int token_ = -1;
};

JUNKWARD_REGISTER_CLASS(SWTestPlugInFilter, SWPlugInFilter)
