#pragma once
// The user's address book: vCard 3.0 and 4.0 files ("*.vcf", one or more cards
// each) in <user Library>/Application Support/AddressBook. The user's own card is
// the one whose UID is written in the file "Me" of that folder. Outside changes
// to the folder are announced after a short quiet period.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

namespace platform {

// Posted on the local notification centre (and emitted as changedExternally())
// when the address-book folder changed from outside.
inline constexpr char kABDatabaseChangedExternallyNotification[] = "ABDatabaseChangedExternallyNotification";

struct ABPerson {
    QString uniqueId;    // UID, else a stable identifier made from file and position
    QString name;        // FN, may be empty
    QStringList emails;  // every EMAIL value, in file order
};

class AddressBook : public QObject {
    Q_OBJECT
public:
    // The book of the current user, created on first use on the calling thread.
    static AddressBook* sharedAddressBook();
    // A book over folder (tests, other users).
    explicit AddressBook(const QString& folder, QObject* parent = nullptr);
    ~AddressBook() override;

    static QString defaultFolder();  // <user Library>/Application Support/AddressBook
    QString folder() const;

    // Every card of every file, files in name order, cards in file order.
    QList<ABPerson> people() const;
    // The card named by "Me"; nullopt when there is none.
    std::optional<ABPerson> me() const;

    // Reads the folder again now (also done after each outside change).
    void reload();

    // Parses the cards of one vCard file; malformed cards are skipped. sourceKey
    // makes the identifiers of cards without UID (e.g. the file name).
    static QList<ABPerson> parseVCards(const QByteArray& bytes, const QString& sourceKey);

signals:
    void changedExternally();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

}  // namespace platform
