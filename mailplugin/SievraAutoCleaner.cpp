#include "mailplugin/SievraAutoCleaner.h"

#include "engine/SWNotifications.h"
#include "hosts/mail/MailClasses.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <QTimer>

namespace {

const QString kRemoveOldMails = QStringLiteral("Remove Old Mails");
const QString kMailsOlderThan = QStringLiteral("Mails older than");
const QString kSpamMailbox = QStringLiteral("~/Library/Mail/Mailboxes/Spam.mbox");
const QString kSpamNotFound = QStringLiteral("[SievraAutoCleaner clean] Spam mail box has not been found.");
const QString kStoreNotFound = QStringLiteral("[SievraAutoCleaner clean] Library Store has not been found.");

SievraAutoCleaner* gSharedCleaner = nullptr;

}  // namespace

SievraAutoCleaner* SievraAutoCleaner::sharedAutoCleaner() {
    if (!gSharedCleaner)
        gSharedCleaner = new SievraAutoCleaner;
    return gSharedCleaner;
}

SievraAutoCleaner::SievraAutoCleaner() {
    // 1. The general settings file.
    const QString file = platform::folders::userPreferences() +
                         QStringLiteral("/com.quillon.junkward.%1.plist").arg(QLatin1String(sw::SWGeneralIdentifier));
    if (const auto preferences = platform::plist::readDictionary(file)) {
        const QVariant settings = preferences->value(QLatin1String(sw::SWPreferencesSettingsKey));
        if (settings.typeId() == QMetaType::QVariantMap) {
            const QVariantMap map = settings.toMap();
            readDayCount(map);
            if (map.contains(kRemoveOldMails))
                running_ = platform::plist::boolValue(map, kRemoveOldMails, false);
        }
    }
    // 2. The first cleaning.
    if (running_)
        scheduleFirstCleaning();
    // 3. Changes of the settings.
    observer_ = platform::DistributedNotificationCenter::defaultCenter().addObserver(
        QLatin1String(sw::SWPlugInPreferencesDidChange), QString::fromLatin1(sw::SWGeneralIdentifier),
        [this](const platform::Notification& n) { preferencesDidChange(n); });
}

SievraAutoCleaner::~SievraAutoCleaner() {
    if (observer_ >= 0)
        platform::DistributedNotificationCenter::defaultCenter().removeObserver(observer_);
    delete timer_;
    if (gSharedCleaner == this)
        gSharedCleaner = nullptr;
}

void SievraAutoCleaner::readDayCount(const QVariantMap& settings) {
    const QVariant days = settings.value(kMailsOlderThan);
    bool ok = false;
    const qint64 value = days.toLongLong(&ok);
    if (days.isValid() && ok)
        numberOfDays_ = int(std::clamp<qint64>(value, -1, 1 << 20));
    if (numberOfDays_ < 1)
        numberOfDays_ = 1;
}

bool SievraAutoCleaner::firstCleaningPending() const { return firstCleaningTimer_ && firstCleaningTimer_->isActive(); }

void SievraAutoCleaner::scheduleFirstCleaning() {
    if (!firstCleaningTimer_) {
        firstCleaningTimer_ = new QTimer(this);
        firstCleaningTimer_->setSingleShot(true);
        connect(firstCleaningTimer_, &QTimer::timeout, this, &SievraAutoCleaner::firstCleaning);
    }
    firstCleaningTimer_->start(kFirstCleaningDelayMs);  // replaces a pending one
}

void SievraAutoCleaner::preferencesDidChange(const platform::Notification& notification) {
    const QVariant settings = notification.userInfo.value(QLatin1String(sw::SWPreferencesSettingsKey));
    if (!notification.hasUserInfo || settings.typeId() != QMetaType::QVariantMap)
        return;
    const QVariantMap map = settings.toMap();
    // 1. The day count.
    readDayCount(map);
    // 2.-3. Removal switched.
    const bool remove = platform::plist::boolValue(map, kRemoveOldMails, false);
    if (remove == running_)
        return;
    running_ = remove;
    if (running_) {
        scheduleFirstCleaning();
    } else {
        if (firstCleaningTimer_)
            firstCleaningTimer_->stop();
        delete timer_;
        timer_ = nullptr;
    }
}

void SievraAutoCleaner::firstCleaning() {
    clean();
    if (!timer_) {
        timer_ = new QTimer;
        connect(timer_, &QTimer::timeout, this, &SievraAutoCleaner::periodicCheck);
        timer_->start(kPeriodMs);
    }
}

void SievraAutoCleaner::periodicCheck() { clean(); }

void SievraAutoCleaner::clean() {
    if (!running_)
        return;
    using mailhost::MailClass;
    using mailhost::MHObject;
    using mailhost::send;
    // 1. The Spam mailbox's path.
    const QString path = platform::folders::userMail() + kSpamMailbox.mid(QStringLiteral("~/Library/Mail").size());
    // 2. Its identifier, from the host's viewer class.
    const QStringList uids =
        send<QStringList>(MailClass::named("MessageViewer"), "_mailboxUidsForPaths:", QStringList{path});
    if (uids.isEmpty()) {
        platform::log::console(kSpamNotFound);
        return;
    }
    // 3. A writable store on it.
    MHObject* store = send<MHObject*>(MailClass::named("LibraryStore"), "alloc");
    if (store)
        store = send<MHObject*>(store, "initWithMailboxUid:readOnly:", uids.first(), false);
    if (!store) {
        platform::log::console(kStoreNotFound);
        return;
    }
    // 4. Delete, without compacting.
    send<int>(store, "deleteMessagesOlderThanNumberOfDays:compact:", numberOfDays_, false);
    send<void>(store, "release");
}
