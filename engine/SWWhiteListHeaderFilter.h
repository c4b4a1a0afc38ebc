#pragma once
// The white list, identifier "WhiteList": a sender found in the user's address
// book (the user's own card excepted) or a matching white rule makes a message
// legitimate while it is parsed. Training a message as legitimate teaches it
// the sender when "Learn" is on.

#include "SWHeaderPluginFilter.h"

#include <QObject>
#include <QSet>

inline constexpr const char* SWWhiteListIdentifier = "WhiteList";
inline constexpr const char* SWWhiteListUseAddressBookKey = "Use AddressBook";

namespace platform {
class AddressBook;
}

class SWWhiteListHeaderFilter : public SWHeaderPluginFilter {
public:
    SWWhiteListHeaderFilter();
    ~SWWhiteListHeaderFilter() override;

    // The header filter initialisation, then the address book: its addresses are
    // read now and again after every change of the book from outside.
    SWPlugInFilter* initializeWithBundle(std::shared_ptr<platform::Bundle> bundle, const QString& identifier) override;
    // Rules, then "Use AddressBook" (on when absent) and "Learn" (off when absent).
    void updatePreferences(const QVariantMap& preferences) override;

    // Rebuilds the address list from the shared address book (or the one given
    // with setAddressBook): every e-mail value of every card except the user's own.
    void updateAddressBook();
    void addressBookUpdatedNotification();

    // 2 (white-listed) for an address-book sender or a matching rule, else 0;
    // counts the message in the filter's statistics unless the filter is off.
    int processHeaders(SADictionary* headers) override;
    int decideHeaders(SADictionary* headers) override;
    // Learns the sender (see SWHeaderPluginFilter); always true.
    bool learnMessageAsLegitimate(SAMIMEPart* message, const QString& messageID) override;

    bool useAddressBook() const { return useAddressBook_; }
    const QStringList& addressBookAddresses() const { return addressBookAddresses_; }
    // Reads addresses from book instead of the user's shared book (borrowed).
    void setAddressBook(platform::AddressBook* book);

private:
    bool useAddressBook_ = true;
    QStringList addressBookAddresses_;
    QSet<QString> addressBookLookup_;  // the same addresses case-folded, for one lookup per message
    platform::AddressBook* addressBook_ = nullptr;
    std::unique_ptr<QObject> addressBookConnection_;  // lifetime of the signal connection
    int addressBookObserver_ = -1;
};
