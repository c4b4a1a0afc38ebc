#include "SWWhiteListHeaderFilter.h"

#include "SWNotifications.h"
#include "mailparse/SAArray.h"
#include "mailparse/SADictionary.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"
#include "platform/AddressBook.h"
#include "platform/NotificationCenter.h"
#include "platform/ClassRegistry.h"
#include "platform/PropertyList.h"

JUNKWARD_REGISTER_CLASS(SWWhiteListHeaderFilter, SWPlugInFilter)

SWWhiteListHeaderFilter::SWWhiteListHeaderFilter() = default;

SWWhiteListHeaderFilter::~SWWhiteListHeaderFilter() {
    if (addressBookObserver_ >= 0)
        platform::LocalNotificationCenter::defaultCenter().removeObserver(addressBookObserver_);
}

SWPlugInFilter* SWWhiteListHeaderFilter::initializeWithBundle(std::shared_ptr<platform::Bundle> bundle,
                                                              const QString& identifier) {
    SWHeaderPluginFilter::initializeWithBundle(std::move(bundle), identifier);
    addressBookObserver_ = platform::LocalNotificationCenter::defaultCenter().addObserver(
        platform::kABDatabaseChangedExternallyNotification,
        [this](const platform::Notification&) { addressBookUpdatedNotification(); });
    updateAddressBook();
    return this;
}

void SWWhiteListHeaderFilter::updatePreferences(const QVariantMap& preferences) {
    SWHeaderPluginFilter::updatePreferences(preferences);
    const QVariantMap settings = preferences.value(sw::SWPreferencesSettingsKey).toMap();
    useAddressBook_ = platform::plist::boolValue(settings, SWWhiteListUseAddressBookKey, true);
    learnSender_ = platform::plist::boolValue(settings, SWHeaderSettingsLearnKey, false);
}

void SWWhiteListHeaderFilter::setAddressBook(platform::AddressBook* book) {
    addressBook_ = book;
    addressBookConnection_ = std::make_unique<QObject>();
    if (book)
        QObject::connect(book, &platform::AddressBook::changedExternally, addressBookConnection_.get(),
                         [this] { addressBookUpdatedNotification(); });
    updateAddressBook();
}

void SWWhiteListHeaderFilter::addressBookUpdatedNotification() { updateAddressBook(); }

void SWWhiteListHeaderFilter::updateAddressBook() {
    platform::AddressBook* book = addressBook_ ? addressBook_ : platform::AddressBook::sharedAddressBook();
    QStringList addresses;
    if (book) {
        const std::optional<platform::ABPerson> me = book->me();
        for (const platform::ABPerson& person : book->people()) {
            if (me && person.uniqueId == me->uniqueId)
                continue;
            for (const QString& email : person.emails)
                addresses.append(email.trimmed());
        }
    }
    addressBookAddresses_ = addresses;
    addressBookLookup_.clear();
    for (const QString& address : addresses)
        addressBookLookup_.insert(address.toCaseFolded());
}

int SWWhiteListHeaderFilter::decideHeaders(SADictionary* headers) {
    if (!status_)
        return SWHeaderInvestigationNothing;

    if (useAddressBook_ && headers && !addressBookAddresses_.isEmpty()) {
        SAString fromKey("From");
        auto* values = static_cast<SAArray*>(headers->objectForKey(&fromKey, SACaseInsensitiveSearch));
        auto* from = values && values->isKindOfClass(GETIDSAArray()) ? static_cast<SAString*>(values->objectAtIndex(0))
                                                                     : nullptr;
        if (from && from->isKindOfClass(GETIDSAString())) {
            const SARef<SAString> bare = SARef<SAString>::adopt(SAMIMEPart::copyAddress(from));
            const QString address = bare ? stringFromHeaderValue(bare.get()) : QString();
            if (!address.isEmpty() && addressBookLookup_.contains(address.trimmed().toCaseFolded()))
                return SWHeaderInvestigationWhiteListed;
        }
    }

    if (!array_.isEmpty()) {
        const auto prepared = copyPreProcessedHeaders(headers);
        if (prepared && headersMatchArray(*prepared, array_))
            return SWHeaderInvestigationWhiteListed;
    }
    return SWHeaderInvestigationNothing;
}

int SWWhiteListHeaderFilter::processHeaders(SADictionary* headers) {
    if (!status_)
        return SWHeaderInvestigationNothing;
    const int result = decideHeaders(headers);
    addToStatisticsSpam(result == SWHeaderInvestigationWhiteListed ? SWFilterStatusLegitimate
                                                                   : SWFilterStatusUndecided);
    return result;
}

bool SWWhiteListHeaderFilter::learnMessageAsLegitimate(SAMIMEPart* message, const QString&) {
    QVariantMap settings;
    settings.insert(SWWhiteListUseAddressBookKey, useAddressBook_);
    learnSenderOfMessage(message, settings);
    return true;
}
