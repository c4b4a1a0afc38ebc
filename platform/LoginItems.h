#pragma once
// Login items as XDG autostart desktop entries: the current user's items are the
// ".desktop" files in ${XDG_CONFIG_HOME:-$HOME/.config}/autostart, every user's
// those of the first folder of ${XDG_CONFIG_DIRS:-/etc/xdg} + "/autostart".
// An item's path is its "X-Junkward-Path" key, else the program of its Exec line;
// its hide flag is "X-Junkward-Hide" (the entry is still started; the application
// is asked to start without showing a window). Items are ordered by file name.

#include <QList>
#include <QString>

namespace platform::loginitems {

enum class LoginItemDomain { CurrentUser, AnyUser, System };

struct LoginItem {
    QString path;  // the application or program started at login
    bool hide = false;
    QString file;  // the desktop entry holding it
    QString name;  // Name=
};

// The autostart folder of domain; empty for a domain without one.
QString autostartFolder(LoginItemDomain domain);

// Adds path to the login items of domain (current user or any user only). When an
// item with the same path (compared without regard to case) is there already,
// answers true without change; otherwise writes a new entry atomically and
// answers whether the write succeeded.
bool AddLoginItemWithPropertiesToUser(LoginItemDomain domain, const QString& path, bool hide);

// The items of domain, in order.
QList<LoginItem> ListLoginItems(LoginItemDomain domain);
int CountLoginItems(LoginItemDomain domain);
// One line per item ("<index>: <path> (hidden)") on standard error; also returned.
QString PrintLoginItems(LoginItemDomain domain);
// Removes the item at index (deletes its entry file); false for a bad index or a
// failed removal.
bool RemoveLoginItemAtIndex(LoginItemDomain domain, int index);

}  // namespace platform::loginitems
