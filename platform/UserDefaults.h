#pragma once
// User defaults of one application: a dictionary kept in the property-list file
// "<user Library>/Preferences/<bundle identifier>.plist".

#include <QString>
#include <QVariant>
#include <QVariantMap>

namespace platform {

class UserDefaults {
public:
    // Reads the file of identifier (an empty dictionary when it is missing or
    // unreadable). An identifier that is not a plain file name (empty, with '/',
    // starting with '.') gives defaults that live in memory only.
    explicit UserDefaults(const QString& identifier);

    // The defaults of the running program's main bundle (its identifier, else the
    // program's file name).
    static UserDefaults& standard();

    QString identifier() const;
    QString path() const;  // empty for an unusable identifier

    QVariant value(const QString& key, const QVariant& fallback = {}) const;
    bool contains(const QString& key) const;
    QVariantMap dictionary() const;
    void setValue(const QString& key, const QVariant& value);
    void remove(const QString& key);

    // Writes the dictionary atomically when it changed since the last read or
    // write (creating Preferences when missing), otherwise re-reads the file to
    // pick up changes of other processes. False when the write fails; the file and
    // the unsaved changes are then kept.
    bool synchronize();
    // Replaces the dictionary by the file's content, dropping unsaved changes. False
    // when the file exists but is not a readable dictionary (the dictionary stays).
    bool reload();

private:
    QString identifier_;
    QString path_;
    QVariantMap values_;
    bool dirty_ = false;
};

}  // namespace platform
