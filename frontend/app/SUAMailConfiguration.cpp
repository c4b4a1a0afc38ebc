#include "frontend/app/SUAMailConfiguration.h"

#include "frontend/app/FrontEndStrings.h"
#include "platform/Bundle.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QVersionNumber>

namespace {

// The mail program on the session bus.
constexpr const char* kMailBusName = "com.quillon.junkward.Mail";
constexpr const char* kMailObjectPath = "/com/quillon/junkward/Mail";
constexpr const char* kMailInterface = "com.quillon.junkward.Mail";

constexpr const char* kBundleName = "JunkwardForMail.mailbundle";
constexpr const char* kRulesFile = "MessageRules.plist";
constexpr const char* kRuleName = "Junkward";

constexpr const char* kLogNoLibrary =
    "+ [SUAMailConfiguration createMailBundlesDirectory:]: ~/Library folder does not exist.";
constexpr const char* kLogBundlesNoMail =
    "+ [SUAMailConfiguration createMailBundlesDirectory:]: ~/Library/Mail folder does not exist.";
constexpr const char* kLogBundlesFile =
    "+ [SUAMailConfiguration createMailBundlesDirectory:]: A file named \"Bundles\" already exists.";
constexpr const char* kLogBundlesCreate =
    "+ [SUAMailConfiguration createMailBundlesDirectory:]: Not able to create folder: %1";
constexpr const char* kLogCopyNoMail = "+ [SUAMailConfiguration copyBundle]: ~/Library/Mail folder does not exist.";
constexpr const char* kLogCopyNoBundles =
    "+ [SUAMailConfiguration copyBundle]: ~/Library/Mail/Bundles folder does not exist.";
constexpr const char* kLogCopyRemove = "+ [SUAMailConfiguration copyBundle]: The older bundle could not be removed.";
constexpr const char* kLogCopyFailed = "+ [SUAMailConfiguration copyBundle]: The bundle could not be copied.";
constexpr const char* kLogSpamNoMail =
    "+ [SUAMailConfiguration createMailSpamMailBox:]: ~/Library/Mail folder does not exist.";
constexpr const char* kLogSpamNoMailboxes =
    "+ [SUAMailConfiguration createMailSpamMailBox:]: ~/Library/Mail/Mailboxes folder does not exist.";
constexpr const char* kLogSpamCreate = "+ [SUAMailConfiguration createMailSpamMailBox:]: Not able to create folder: %1";
constexpr const char* kLogSpamFile =
    "+ [SUAMailConfiguration createMailSpamMailBox:]: A file named \"Spam.mbox\" already exists.";
constexpr const char* kLogPrefsNoFolder =
    "+ [SUAMailConfiguration modifyMailPreferences:]: ~/Library/Preferences does not exist.";
constexpr const char* kLogPrefsNoFile =
    "+ [SUAMailConfiguration modifyMailPreferences:]: ~/Library/Preferences/com.apple.mail.plist does not exist.";
constexpr const char* kLogPrefsLoad =
    "+ [SUAMailConfiguration modifyMailPreferences:]: could not load ~/Library/Preferences/com.apple.mail.plist.";
constexpr const char* kLogPrefsSave =
    "+ [SUAMailConfiguration modifyMailPreferences:]: could not save ~/Library/Preferences/com.apple.mail.plist.";
constexpr const char* kLogRulesShape =
    "+ [SUAMailConfiguration modifyRules]: %1 is not a rule list; it is left as it is.";
constexpr const char* kLogRulesSave = "+ [SUAMailConfiguration modifyRules]: %1 could not be written.";

void log(const char* line) { platform::log::console(QLatin1String(line)); }

QString bundleVersion(const QString& path) {
    const auto info = platform::plist::readDictionary(path + QStringLiteral("/Contents/Info.plist"));
    if (!info)
        return {};
    const QVariant v = info->value(QStringLiteral("CFBundleVersion"));
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

// Whether version a is newer than b: numerically by component where both are
// version numbers ("5.0.10" is newer than "5.0.9"), else by plain string order.
bool isNewer(const QString& a, const QString& b) {
    qsizetype ia = 0;
    qsizetype ib = 0;
    const QVersionNumber va = QVersionNumber::fromString(a, &ia);
    const QVersionNumber vb = QVersionNumber::fromString(b, &ib);
    if (!va.isNull() && !vb.isNull() && ia == a.size() && ib == b.size())
        return QVersionNumber::compare(va, vb) > 0;
    return QString::compare(a, b) > 0;
}

bool isJunkwardRule(const QVariantMap& rule) {
    const QVariant name = rule.value(QStringLiteral("RuleName"));
    return name.typeId() == QMetaType::QString &&
           name.toString().compare(QLatin1String(kRuleName), Qt::CaseInsensitive) == 0;
}

bool testsJunkMark(const QVariantMap& rule) {
    const QString junk = QStringLiteral("IsJunkMail");
    if (rule.value(QStringLiteral("Header")).toString() == junk)
        return true;
    const QVariant criteria = rule.value(QStringLiteral("Criteria"));
    if (criteria.typeId() != QMetaType::QVariantList)
        return false;
    for (const QVariant& c : criteria.toList())
        if (c.typeId() == QMetaType::QVariantMap && c.toMap().value(QStringLiteral("Header")).toString() == junk)
            return true;
    return false;
}

// Toolbar items: the mail program's junk button goes; its "delete junk" item
// becomes the plain delete item (dropped when that is already there).
void fixToolbar(QVariantMap& prefs, const QString& key) {
    const auto it = prefs.find(key);
    if (it == prefs.end() || it->typeId() != QMetaType::QVariantMap)
        return;
    QVariantMap toolbar = it->toMap();
    const QString itemsKey = QStringLiteral("TB Item Identifiers");
    if (toolbar.value(itemsKey).typeId() != QMetaType::QVariantList)
        return;
    QVariantList items = toolbar.value(itemsKey).toList();
    items.removeAll(QStringLiteral("markAsJunkMail:"));
    const qsizetype junk = items.indexOf(QStringLiteral("delete_junk"));
    if (junk >= 0) {
        if (items.contains(QStringLiteral("deleteMessages:")))
            items.removeAt(junk);
        else
            items[junk] = QStringLiteral("deleteMessages:");
    }
    toolbar.insert(itemsKey, items);
    *it = toolbar;
}

}  // namespace

QString SUAMailConfiguration::mailFolder() { return platform::folders::userMail(); }
QString SUAMailConfiguration::rulesPath() { return mailFolder() + QLatin1Char('/') + QLatin1String(kRulesFile); }
QString SUAMailConfiguration::mailPreferencesPath() {
    return platform::folders::userPreferences() + QStringLiteral("/com.apple.mail.plist");
}
QString SUAMailConfiguration::sourceBundlePath() {
    return platform::folders::junkwardComponents() + QStringLiteral("/Mail/") + QLatin1String(kBundleName);
}
QString SUAMailConfiguration::installedBundlePath() {
    return mailFolder() + QStringLiteral("/Bundles/") + QLatin1String(kBundleName);
}

QString SUAMailConfiguration::markerPath(const QString& nickname) {
    return platform::folders::userPreferences() + QStringLiteral("/com.quillon.junkward.%1.configured").arg(nickname);
}

bool SUAMailConfiguration::hasMailClientBeenConfigured(const QString& nickname) {
    return QFileInfo::exists(markerPath(nickname));
}

bool SUAMailConfiguration::setMailClientHasBeenConfigured(const QString& nickname) {
    const QString path = markerPath(nickname);
    if (QFileInfo::exists(path))
        return true;
    if (!platform::folders::ensureFolder(platform::folders::userPreferences()))
        return false;
    QFile marker(path);
    return marker.open(QIODevice::WriteOnly);
}

bool SUAMailConfiguration::checkMailHasBeenConfiguredAtLeastOnce() {
    return platform::folders::isFolder(mailFolder()) &&
           platform::folders::isFolder(mailFolder() + QStringLiteral("/Mailboxes")) &&
           QFileInfo(mailPreferencesPath()).isFile();
}

bool SUAMailConfiguration::isMailRunning() { return platform::ScriptingBus::hasOwner(QLatin1String(kMailBusName)); }

bool SUAMailConfiguration::quitMail(int timeoutMs) {
    platform::ScriptingBus::callNoReply(QLatin1String(kMailBusName), QLatin1String(kMailObjectPath),
                                        QLatin1String(kMailInterface), QStringLiteral("Quit"), {});
    QDeadlineTimer deadline(timeoutMs);
    while (isMailRunning()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

bool SUAMailConfiguration::createMailBundlesDirectory() {
    if (!platform::folders::isFolder(platform::folders::userLibrary())) {
        log(kLogNoLibrary);
        return false;
    }
    if (!platform::folders::isFolder(mailFolder())) {
        log(kLogBundlesNoMail);
        return false;
    }
    const QString bundles = mailFolder() + QStringLiteral("/Bundles");
    const QFileInfo info(bundles);
    if (info.exists() && !info.isDir()) {
        log(kLogBundlesFile);
        return false;
    }
    if (!platform::folders::ensureFolder(bundles)) {
        platform::log::console(QString::fromLatin1(kLogBundlesCreate).arg(bundles));
        return false;
    }
    return true;
}

QString SUAMailConfiguration::mailBundleVersion() {
    const QString path = installedBundlePath();
    return platform::folders::isFolder(path) ? bundleVersion(path) : QString();
}

bool SUAMailConfiguration::copyBundle() {
    if (!platform::folders::isFolder(mailFolder())) {
        log(kLogCopyNoMail);
        return false;
    }
    if (!platform::folders::isFolder(mailFolder() + QStringLiteral("/Bundles"))) {
        log(kLogCopyNoBundles);
        return false;
    }
    const QString source = sourceBundlePath();
    const QString target = installedBundlePath();
    const QString aside = target + QStringLiteral(".old");
    const bool installed = QFileInfo::exists(target);
    if (installed) {
        if (!platform::Bundle::open(source) || !platform::Bundle::open(target))
            return true;
        const QString sourceVersion = bundleVersion(source);
        const QString installedVersion = bundleVersion(target);
        if (!sourceVersion.isEmpty() && !installedVersion.isEmpty() && !isNewer(sourceVersion, installedVersion))
            return true;
        // The older bundle is moved aside until the new one is in place.
        QDir(aside).removeRecursively();
        if (!QDir().rename(target, aside)) {
            log(kLogCopyRemove);
            return false;
        }
    }
    const QString partial = target + QStringLiteral(".partial");
    QDir(partial).removeRecursively();
    if (!platform::folders::isFolder(source) || !platform::folders::copyTree(source, partial) ||
        !QDir().rename(partial, target)) {
        QDir(partial).removeRecursively();
        if (installed)
            QDir().rename(aside, target);
        log(kLogCopyFailed);
        return false;
    }
    if (installed)
        QDir(aside).removeRecursively();
    return true;
}

bool SUAMailConfiguration::createMailSpamMailBox() {
    if (!platform::folders::isFolder(mailFolder())) {
        log(kLogSpamNoMail);
        return false;
    }
    const QString mailboxes = mailFolder() + QStringLiteral("/Mailboxes");
    if (!platform::folders::isFolder(mailboxes)) {
        log(kLogSpamNoMailboxes);
        return false;
    }
    const QString spam = mailboxes + QStringLiteral("/Spam.mbox");
    const QFileInfo info(spam);
    if (info.exists() && !info.isDir()) {
        log(kLogSpamFile);
        return false;
    }
    // A Maildir: the mailbox and its three folders.
    for (const QString& path :
         {spam, spam + QStringLiteral("/cur"), spam + QStringLiteral("/new"), spam + QStringLiteral("/tmp")}) {
        if (!platform::folders::ensureFolder(path, 0700)) {
            platform::log::console(QString::fromLatin1(kLogSpamCreate).arg(path));
            return false;
        }
    }
    return true;
}

bool SUAMailConfiguration::modifyMailPreferences() {
    if (!platform::folders::isFolder(platform::folders::userPreferences())) {
        log(kLogPrefsNoFolder);
        return false;
    }
    const QString path = mailPreferencesPath();
    if (!QFileInfo(path).isFile()) {
        log(kLogPrefsNoFile);
        return false;
    }
    auto prefs = platform::plist::readDictionary(path);
    if (!prefs) {
        log(kLogPrefsLoad);
        return false;
    }
    prefs->insert(QStringLiteral("BundleCompatibilityVersion"), qint64(3));
    prefs->insert(QStringLiteral("EnableBundles"), QStringLiteral("YES"));
    prefs->insert(QStringLiteral("JunkMailBehavior"), qint64(0));
    prefs->insert(QStringLiteral("junkMailTrustHeaders"), false);
    fixToolbar(*prefs, QStringLiteral("NSToolbar Configuration MessageViewer"));
    fixToolbar(*prefs, QStringLiteral("NSToolbar Configuration MainWindow"));
    // Without the written preferences the mail program would not load the
    // plug-in: a failed write is a failed step.
    if (!platform::plist::writeFile(path, *prefs)) {
        log(kLogPrefsSave);
        return false;
    }
    return true;
}

QVariantMap SUAMailConfiguration::junkwardRule() {
    const QString resource =
        swui::frontEndBundle()->pathForResource(QStringLiteral("MailRule"), QStringLiteral("plist"));
    if (!resource.isEmpty())
        if (auto rule = platform::plist::readDictionary(resource); rule && isJunkwardRule(*rule))
            return *rule;
    const QString spam = QStringLiteral("~/Library/Mail/Mailboxes/Spam.mbox");
    const QString spamUrl = QStringLiteral("local:///Spam");
    return QVariantMap{
        {"Active", "1"},
        {"AllCriteriaMustBeSatisfied", "NO"},
        {"AutoResponseType", qint64(0)},
        {"Color", qint64(10506940)},
        {"CopyToMailbox", spam},
        {"CopyToMailboxURL", spamUrl},
        {"Deletes", "NO"},
        {"HighlightTextUsingColor", "NO"},
        {"Mailbox", spam},
        {"MailboxURL", spamUrl},
        {"MarkFlagged", "NO"},
        {"MarkRead", "NO"},
        {"NotifyUser", "NO"},
        {"ShouldCopyMessage", "NO"},
        {"ShouldTransferMessage", "YES"},
        {"Criteria", QVariantList{QVariantMap{{"CriterionUniqueId", "MyID"}, {"Header", "AnyMessage"}}}},
        {"RuleName", QLatin1String(kRuleName)},
        {"TimeStamp", qint64(218656717)},
    };
}

bool SUAMailConfiguration::modifyRules() {
    if (!platform::folders::isFolder(mailFolder()))
        return false;
    const QString path = rulesPath();
    QVariantMap root;
    QVariantList rules;
    if (QFileInfo::exists(path)) {
        // A file the user may have edited by hand: anything but a rule list
        // (a dictionary with a "rules" array, or a bare array) stays untouched.
        const auto content = platform::plist::readFile(path);
        bool usable = false;
        if (content && content->typeId() == QMetaType::QVariantMap) {
            root = content->toMap();
            const QVariant list = root.value(QStringLiteral("rules"));
            usable = !list.isValid() || list.typeId() == QMetaType::QVariantList;
            rules = list.toList();
        } else if (content && content->typeId() == QMetaType::QVariantList) {
            rules = content->toList();
            usable = true;
        }
        if (!usable) {
            platform::log::console(QString::fromLatin1(kLogRulesShape).arg(path));
            return false;
        }
    }

    // 1. The mail program's own junk rule goes.
    for (qsizetype i = 0; i < rules.size(); ++i) {
        if (rules[i].typeId() == QMetaType::QVariantMap &&
            rules[i].toMap().contains(QStringLiteral("IsOneAndOnlyJunkRule"))) {
            rules.removeAt(i);
            break;
        }
    }
    // 2. The "Junkward" rule on, rules on the junk mark off.
    bool found = false;
    for (QVariant& entry : rules) {
        if (entry.typeId() != QMetaType::QVariantMap)
            continue;
        QVariantMap rule = entry.toMap();
        if (isJunkwardRule(rule)) {
            found = true;
            if (rule.value(QStringLiteral("Active")) != QVariant(QStringLiteral("1"))) {
                rule.insert(QStringLiteral("Active"), QStringLiteral("1"));
                entry = rule;
            }
        } else if (testsJunkMark(rule) && rule.value(QStringLiteral("Active")) != QVariant(QStringLiteral("0"))) {
            rule.insert(QStringLiteral("Active"), QStringLiteral("0"));
            entry = rule;
        }
    }
    // 3./4. Appended when missing.
    if (!found)
        rules << junkwardRule();
    root.insert(QStringLiteral("rules"), rules);
    if (!platform::plist::writeFile(path, root)) {
        platform::log::console(QString::fromLatin1(kLogRulesSave).arg(path));
        return false;
    }
    return true;
}

bool SUAMailConfiguration::removeMailScriptsAliases() {
    const QString folder = platform::folders::userLibrary() + QStringLiteral("/Scripts/Mail Scripts/Junkward");
    return !QFileInfo::exists(folder) || QDir(folder).removeRecursively();
}

// The mail program of this system shows the plug-in's own menu: no script
// menu links are needed.
bool SUAMailConfiguration::copyMailScripts() { return true; }
