// The mail program's set-up, checked each time the engine starts: the mail
// plug-in in the mail program's Bundles folder is the newest one of the
// machine-wide components, and plug-in loading is on after a copy was replaced.

#include "engine/SievraController.h"

#include "platform/Bundle.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>

namespace {

const QString kConfiguredMarker = QStringLiteral("com.quillon.junkward.mail.configured");
const QString kBundleName = QStringLiteral("JunkwardForMail.mailbundle");
const QString kBundlesFolder = QStringLiteral("Bundles");
const QString kDisabledFolder = QStringLiteral("Bundles (Disabled)");
const QString kDisabledFolderNumbered = QStringLiteral("Bundles (Disabled %1)");
const QString kRuleFiles[] = {QStringLiteral("MessageRules.plist"), QStringLiteral("MessageSorting.plist")};
const QString kMailPreferences = QStringLiteral("com.apple.mail.plist");
const QString kRuleName = QStringLiteral("Junkward");
// The plug-in interface of the newest mail program.
constexpr int kBundleCompatibilityVersion = 3;

const QString kNoPreferencesFolder =
    QStringLiteral("+ [SievraController modifyMailPreferences:]: ~/Library/Preferences does not exist.");
const QString kNoMailPreferences = QStringLiteral(
    "+ [SievraController modifyMailPreferences:]: ~/Library/Preferences/com.apple.mail.plist does not exist.");
const QString kCannotLoadMailPreferences = QStringLiteral(
    "+ [SievraController modifyMailPreferences:]: could not load ~/Library/Preferences/com.apple.mail.plist.");
const QString kCannotSaveMailPreferences = QStringLiteral(
    "+ [SievraController modifyMailPreferences:]: could not save ~/Library/Preferences/com.apple.mail.plist.");
const QString kNoMailFolder =
    QStringLiteral("+ [SievraController updateMailBundleIfNeeded]: ~/Library/Mail folder does not exist.");
const QString kCannotCreateFolder =
    QStringLiteral("+ [SievraController updateMailBundleIfNeeded:]: Not able to create folder: %1");
const QString kNoBundlesFolder =
    QStringLiteral("+ [SievraController updateMailBundleIfNeeded]: ~/Library/Mail/Bundles folder does not exist.");
const QString kDisabledNotRemoved =
    QStringLiteral("+ [SievraController updateMailBundleIfNeeded]: The older disabled bundle could not be removed.");
const QString kOlderNotRemoved =
    QStringLiteral("+ [SievraController updateMailBundleIfNeeded]: The older bundle could not be removed.");
const QString kNotCopied =
    QStringLiteral("+ [SievraController updateMailBundleIfNeeded]: The bundle could not be copied.");

bool isPlainFolder(const QString& path) {
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}

// Copies the bundle beside its destination first, so the mail program never
// finds a half-copied plug-in.
bool installBundle(const QString& source, const QString& destination) {
    const QString folder = QFileInfo(destination).absolutePath();
    QTemporaryDir staging(folder + QStringLiteral("/.junkward-install-XXXXXX"));
    if (!staging.isValid())
        return false;
    const QString copy = staging.path() + QLatin1Char('/') + kBundleName;
    if (!platform::folders::copyTree(source, copy))
        return false;
    return std::rename(QFile::encodeName(copy).constData(), QFile::encodeName(destination).constData()) == 0;
}

}  // namespace

bool SievraController::isJunkwardRuleEnabled() {
    // 1. The Mail folder.
    const QString mail = platform::folders::userMail();
    if (!isPlainFolder(mail))
        return false;
    for (const QString& name : kRuleFiles) {
        // 2. The file's rule list.
        const QString path = mail + QLatin1Char('/') + name;
        if (!QFileInfo(path).isFile())
            continue;
        const std::optional<QVariant> root = platform::plist::readFile(path);
        if (!root)
            continue;
        const QVariant rules = name == kRuleFiles[0] ? root->toMap().value(QStringLiteral("rules")) : *root;
        if (rules.typeId() != QMetaType::QVariantList)
            continue;
        // 3. The first rule of that name decides for this file.
        for (const QVariant& entry : rules.toList()) {
            const QVariantMap rule = entry.toMap();
            const QVariant ruleName = rule.value(QStringLiteral("RuleName"));
            if (ruleName.typeId() != QMetaType::QString ||
                ruleName.toString().compare(kRuleName, Qt::CaseInsensitive) != 0)
                continue;
            const QVariant active = rule.value(QStringLiteral("Active"));
            if (active.typeId() == QMetaType::QString && active.toString() == QLatin1String("1"))
                return true;
            break;
        }
    }
    // 4.
    return false;
}

bool SievraController::updateMailPreferences() {
    // 1. The preferences file.
    const QString folder = platform::folders::userPreferences();
    if (!isPlainFolder(folder)) {
        platform::log::console(kNoPreferencesFolder);
        return false;
    }
    const QString path = folder + QLatin1Char('/') + kMailPreferences;
    if (!QFileInfo(path).isFile()) {
        platform::log::console(kNoMailPreferences);
        return false;
    }
    std::optional<QVariantMap> preferences = platform::plist::readDictionary(path);
    if (!preferences) {
        platform::log::console(kCannotLoadMailPreferences);
        return false;
    }
    // 2.-3. Plug-in loading on.
    preferences->insert(QStringLiteral("BundleCompatibilityVersion"), qint64(kBundleCompatibilityVersion));
    preferences->insert(QStringLiteral("EnableBundles"), QStringLiteral("YES"));
    // 4. Written atomically.
    if (!platform::plist::writeFile(path, *preferences))
        platform::log::console(kCannotSaveMailPreferences);
    return true;
}

void SievraController::updateMailBundleIfNeeded() {
    // 1. Only once the user has set up the mail program for Junkward.
    const QString preferences = platform::folders::userPreferences();
    if (!isPlainFolder(preferences) || !QFileInfo::exists(preferences + QLatin1Char('/') + kConfiguredMarker))
        return;
    // 2. The plug-in of the machine-wide components.
    const QString source = platform::folders::junkwardComponents() + QStringLiteral("/Mail/") + kBundleName;
    // 3. The Mail folder.
    const QString mail = platform::folders::userMail();
    if (!isPlainFolder(mail)) {
        platform::log::console(kNoMailFolder);
        return;
    }
    // 4.-5. Its Bundles folder.
    const QString bundles = mail + QLatin1Char('/') + kBundlesFolder;
    if (!QFileInfo::exists(bundles) && !QFileInfo(bundles).isSymLink() && isJunkwardRuleEnabled()) {
        if (!QDir().mkdir(bundles))
            platform::log::console(kCannotCreateFolder.arg(bundles));
    }
    if (!QFileInfo(bundles).isDir()) {
        platform::log::console(kNoBundlesFolder);
        return;
    }
    const QString installed = bundles + QLatin1Char('/') + kBundleName;
    bool removedCopy = false;
    if (!QFileInfo(installed).isDir()) {
        // 6. Copies the mail program moved aside.
        for (int n = 0;; ++n) {
            const QString disabled =
                mail + QLatin1Char('/') + (n == 0 ? kDisabledFolder : kDisabledFolderNumbered.arg(n));
            if (!QFileInfo::exists(disabled))
                break;
            const QString copy = disabled + QLatin1Char('/') + kBundleName;
            if (isPlainFolder(copy) && isJunkwardRuleEnabled()) {
                if (!QDir(copy).removeRecursively())
                    platform::log::console(kDisabledNotRemoved);
                removedCopy = true;
            }
        }
    } else {
        // 7. An installed copy is replaced only by a greater version.
        const auto sourceBundle = platform::Bundle::open(source);
        const auto installedBundle = platform::Bundle::open(installed);
        if (!sourceBundle || !installedBundle)
            return;
        const QVariant sourceVersion = sourceBundle->infoDictionary().value(QStringLiteral("CFBundleVersion"));
        const QVariant installedVersion = installedBundle->infoDictionary().value(QStringLiteral("CFBundleVersion"));
        if (sourceVersion.typeId() == QMetaType::QString && installedVersion.typeId() == QMetaType::QString) {
            if (!(sourceVersion.toString() > installedVersion.toString()))
                return;
            if (!QDir(installed).removeRecursively())
                platform::log::console(kOlderNotRemoved);
            removedCopy = true;
        }
    }
    // 8. The copy.
    if (!isPlainFolder(source) || !installBundle(source, installed)) {
        platform::log::console(kNotCopied);
        return;
    }
    // 9. Plug-in loading on after a replacement.
    if (removedCopy)
        updateMailPreferences();
}
