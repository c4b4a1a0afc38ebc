#include "tools/PBDirectoryServicesManager.h"

#include <grp.h>
#include <pwd.h>
#include <cstdio>

namespace {

// A FILE* closed at the end of the scope.
struct File {
    explicit File(const QByteArray& path) : f(std::fopen(path.constData(), "re")) {}
    ~File() {
        if (f)
            std::fclose(f);
    }
    FILE* f;
};

}  // namespace

PBDirectoryServicesManager& PBDirectoryServicesManager::defaultManager() {
    static PBDirectoryServicesManager manager;
    return manager;
}

void PBDirectoryServicesManager::reload() {
    users_.clear();
    groups_.clear();
    const auto addUser = [this](const passwd* pw) {
        if (pw->pw_name && pw->pw_dir)
            users_.append({pw->pw_uid, pw->pw_gid, QString::fromLocal8Bit(pw->pw_name), QByteArray(pw->pw_dir)});
    };
    const auto addGroup = [this](const group* gr) {
        if (gr->gr_name)
            groups_.append({gr->gr_gid, QString::fromLocal8Bit(gr->gr_name)});
    };

    const QByteArray passwdFile = qgetenv("JUNKWARD_PASSWD_FILE");
    if (!passwdFile.isEmpty()) {
        File file(passwdFile);
        while (file.f) {
            const passwd* pw = ::fgetpwent(file.f);
            if (!pw)
                break;
            addUser(pw);
        }
    } else {
        ::setpwent();
        while (const passwd* pw = ::getpwent())
            addUser(pw);
        ::endpwent();
    }
    const QByteArray groupFile = qgetenv("JUNKWARD_GROUP_FILE");
    if (!groupFile.isEmpty()) {
        File file(groupFile);
        while (file.f) {
            const group* gr = ::fgetgrent(file.f);
            if (!gr)
                break;
            addGroup(gr);
        }
    } else {
        ::setgrent();
        while (const group* gr = ::getgrent())
            addGroup(gr);
        ::endgrent();
    }
}

QList<QVariantMap> PBDirectoryServicesManager::usersArray() const {
    QList<QVariantMap> result;
    for (const Account& a : users_)
        result.append({{QStringLiteral("Name"), a.name}, {QStringLiteral("ID"), qint64(a.uid)}});
    return result;
}

QList<QVariantMap> PBDirectoryServicesManager::groupsArray() const {
    QList<QVariantMap> result;
    for (const auto& [gid, name] : groups_)
        result.append({{QStringLiteral("Name"), name}, {QStringLiteral("ID"), qint64(gid)}});
    return result;
}

QString PBDirectoryServicesManager::userAccountForUID(uid_t uid) const {
    for (const Account& a : users_)
        if (a.uid == uid)
            return a.name;
    return {};
}

QString PBDirectoryServicesManager::groupForGID(gid_t gid) const {
    for (const auto& [g, name] : groups_)
        if (g == gid)
            return name;
    return {};
}

QByteArray PBDirectoryServicesManager::homeForUser(const QString& name) const {
    for (const Account& a : users_)
        if (a.name == name)
            return a.home;
    return {};
}

gid_t PBDirectoryServicesManager::primaryGroupForUser(const QString& name) const {
    for (const Account& a : users_)
        if (a.name == name)
            return a.gid;
    return gid_t(-1);
}
