// User defaults: one property-list dictionary per application identifier.

#include "platform/UserDefaults.h"

#include "platform/Bundle.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QFileInfo>

namespace platform {

namespace {

bool usableIdentifier(const QString& id) {
    return !id.isEmpty() && !id.startsWith(QLatin1Char('.')) && !id.contains(QLatin1Char('/')) &&
           !id.contains(QChar(0));
}

}  // namespace

UserDefaults::UserDefaults(const QString& identifier) : identifier_(identifier) {
    if (usableIdentifier(identifier))
        path_ = folders::userPreferences() + QLatin1Char('/') + identifier + QStringLiteral(".plist");
    reload();
}

UserDefaults& UserDefaults::standard() {
    static UserDefaults defaults([] {
        const auto main = Bundle::mainBundle();
        const QString id = main->identifier();
        return id.isEmpty() ? QFileInfo(main->executablePath()).fileName() : id;
    }());
    return defaults;
}

QString UserDefaults::identifier() const { return identifier_; }
QString UserDefaults::path() const { return path_; }

QVariant UserDefaults::value(const QString& key, const QVariant& fallback) const {
    return values_.value(key, fallback);
}

bool UserDefaults::contains(const QString& key) const { return values_.contains(key); }
QVariantMap UserDefaults::dictionary() const { return values_; }

void UserDefaults::setValue(const QString& key, const QVariant& value) {
    if (!value.isValid()) {
        remove(key);
        return;
    }
    auto it = values_.find(key);
    if (it != values_.end() && *it == value && it->typeId() == value.typeId())
        return;
    values_.insert(key, value);
    dirty_ = true;
}

void UserDefaults::remove(const QString& key) {
    if (values_.remove(key) > 0)
        dirty_ = true;
}

bool UserDefaults::synchronize() {
    if (path_.isEmpty())
        return !dirty_;
    if (!dirty_) {
        reload();
        return true;
    }
    if (!folders::ensureFolder(folders::userPreferences())) {
        log::console(QStringLiteral("[UserDefaults synchronize] Unable to create the folder %1")
                         .arg(folders::userPreferences()));
        return false;
    }
    if (!plist::writeFile(path_, values_)) {
        log::console(QStringLiteral("[UserDefaults synchronize] Unable to write %1").arg(path_));
        return false;
    }
    dirty_ = false;
    return true;
}

bool UserDefaults::reload() {
    if (path_.isEmpty())
        return true;
    if (!QFileInfo::exists(path_)) {
        values_.clear();
        dirty_ = false;
        return true;
    }
    auto dict = plist::readDictionary(path_);
    if (!dict)
        return false;
    values_ = *dict;
    dirty_ = false;
    return true;
}

}  // namespace platform
