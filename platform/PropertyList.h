#pragma once
// Property lists as QVariant trees, stored with libplist.
//
// Types: QVariantMap (dictionary), QVariantList (array), QString (string),
// bool (boolean), qint64 / quint64 (integer; other integral types are accepted
// on write), double (real), QDateTime (date, UTC), QByteArray (data).
// Files are written as XML, messages are serialised as binary ("bplist00").

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>
#include <optional>

namespace platform::plist {

enum class Format { XML, Binary };

// Parses XML or binary property-list bytes (the format is detected).
// Returns nullopt for anything that is not a complete, well-formed property
// list, including hostile input (deep nesting, huge counts, bad offsets).
std::optional<QVariant> fromData(const QByteArray& bytes);

// Serialises a QVariant tree; an empty array on a value that has no
// property-list form (e.g. an invalid QVariant anywhere in the tree).
QByteArray toData(const QVariant& value, Format format);

// Reads a property-list file; nullopt when missing, unreadable or malformed.
std::optional<QVariant> readFile(const QString& path);

// Reads a file whose top level must be a dictionary; nullopt otherwise.
std::optional<QVariantMap> readDictionary(const QString& path);

// Writes atomically: a temporary file in the same folder, fsync, rename.
// On any failure the previous file stays untouched and false is returned.
bool writeFile(const QString& path, const QVariant& value, Format format = Format::XML);
// The same for bytes already serialised (toData); false for none.
bool writeData(const QString& path, const QByteArray& bytes);

// Mutable access into nested dictionaries stored in a QVariant tree: returns a
// reference to the QVariantMap under key, creating an empty one when the key is
// missing or holds something else. The reference stays valid until the parent
// map is modified at that key.
QVariantMap& childMap(QVariantMap& parent, const QString& key);

// Unsigned counter stored under key: the value, 0 when absent or not a number.
quint64 unsignedValue(const QVariantMap& map, const QString& key);

// Boolean under key, with the property-list leniency of the original platform:
// booleans, numbers (non-zero = true) and the strings "YES"/"true"/"1".
bool boolValue(const QVariantMap& map, const QString& key, bool fallback);

}  // namespace platform::plist
