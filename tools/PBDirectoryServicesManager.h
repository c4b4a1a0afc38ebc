#pragma once
// The local accounts and groups, read once from the account database.
//
// Accounts come from getpwent(3) and groups from getgrent(3). For tests and for
// cleaning an image mounted elsewhere, $JUNKWARD_PASSWD_FILE and
// $JUNKWARD_GROUP_FILE name files in passwd(5) and group(5) format read in their
// place.

#include <QList>
#include <QString>
#include <QVariantMap>

#include <sys/types.h>

class PBDirectoryServicesManager {
public:
    // The shared reader, filled on first use.
    static PBDirectoryServicesManager& defaultManager();

    // {"Name": name, "ID": number} for every account, in database order.
    QList<QVariantMap> usersArray() const;
    // {"Name": name, "ID": number} for every group.
    QList<QVariantMap> groupsArray() const;
    // The name of uid / gid; empty when unknown.
    QString userAccountForUID(uid_t uid) const;
    QString groupForGID(gid_t gid) const;
    // The home folder and primary group of the account name (bytes as stored);
    // empty / -1 when unknown.
    QByteArray homeForUser(const QString& name) const;
    gid_t primaryGroupForUser(const QString& name) const;

    // Reads the database again (tests change the files between runs).
    void reload();

private:
    PBDirectoryServicesManager() { reload(); }

    struct Account {
        uid_t uid;
        gid_t gid;
        QString name;
        QByteArray home;
    };
    QList<Account> users_;
    QList<QPair<gid_t, QString>> groups_;
};
