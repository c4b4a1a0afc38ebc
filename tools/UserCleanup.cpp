#include "tools/UserCleanup.h"

#include "platform/PropertyList.h"
#include "tools/PBDirectoryServicesManager.h"
#include "tools/SafeTree.h"

#include <QCryptographicHash>
#include <QVariantList>

#include <fcntl.h>
#include <unistd.h>

#include <dirent.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

using safetree::Fd;

namespace {

constexpr std::array kPreferenceFiles = {
    ".com.quillon.junkward.lexicalDefautDBSet",
    "com.quillon.Junkward5.plist",
    "com.quillon.Junkward.plist",
    "com.quillon.junkward.Attachment.plist",
    "com.quillon.junkward.Bayesian.plist",
    "com.quillon.junkward.BlackList.plist",
    "com.quillon.junkward.General.plist",
    "com.quillon.junkward.URL.plist",
    "com.quillon.junkward.URL2.plist",
    "com.quillon.junkward.WhiteList.plist",
    "com.quillon.junkward.lastClean",
    "com.quillon.junkward.engine.plist",
    "com.quillon.junkward.mail.configured",
    "com.quillon.junkward.entourage.configured",
    "com.quillon.junkward.statistics.Address.plist",
    "com.quillon.junkward.statistics.Attachment.plist",
    "com.quillon.junkward.statistics.Bayesian.plist",
    "com.quillon.junkward.statistics.BlackList.plist",
    "com.quillon.junkward.statistics.ForgedHeader.plist",
    "com.quillon.junkward.statistics.General.plist",
    "com.quillon.junkward.statistics.SIGN.plist",
    "com.quillon.junkward.statistics.SPWR.plist",
    "com.quillon.junkward.statistics.URL.plist",
    "com.quillon.junkward.statistics.WhiteList.plist",
    "com.quillon.junkward.statistics.YellowPages.plist",
    // The second learning filter of this system.
    "com.quillon.junkward.ChiSquare.plist",
    "com.quillon.junkward.statistics.ChiSquare.plist",
};

// The learning filters' stores: the Bayesian database (an LMDB file with its lock
// file), its totals and training history, and the second filter's store.
constexpr std::array kCacheFiles = {
    "Junkward.db",  "Junkward.db-lock",  "Junkward.cnt", "Junkward Training Center History",
    "ChiSquare.db", "ChiSquare.db-lock",
};

// Left beside them by an engine killed while it stored a learning batch: the
// totals' journal, the history as the batch would have left it
// ("<history>.batch-<commit>", formerly "<history>.batch"), and the hidden
// temporary files of a write cut short (".<name>.XXXXXX").
constexpr const char* kCountJournal = "Junkward.cnt.batch";
constexpr std::string_view kHistoryJournalPrefix = "Junkward Training Center History.batch";
// The engine's explanations and kept sources of logged messages.
constexpr const char* kLogDetailsFolder = "Junkward Log Details";

constexpr const char* kRuleName = "Junkward";
constexpr const char* kLoginItemMarker = "X-Junkward-Path=";

std::string library(const char* sub) { return std::string(JKWUserLibraryInHome) + "/" + sub; }

// Folder below the home, or the home itself for an empty path.
Fd openBelow(int homeFd, const std::string& relative) {
    if (relative.empty())
        return Fd(::fcntl(homeFd, F_DUPFD_CLOEXEC, 0));
    return safetree::openFolder(homeFd, relative);
}

// Removes the first rule named "Junkward" (any case) from a rule file and writes
// it back atomically. Only a file with a single link is rewritten: a hard link
// planted in the home would otherwise have another file's content copied out.
void removeRule(int mailFd, const std::string& name, bool sortingFile) {
    struct stat st {};
    const auto bytes = safetree::readFile(mailFd, name, &st);
    if (!bytes || st.st_nlink != 1)
        return;
    const auto root = platform::plist::fromData(QByteArray::fromStdString(*bytes));
    if (!root)
        return;

    QVariant top = *root;
    QVariantList rules;
    const bool inDictionary = !sortingFile && top.typeId() == QMetaType::QVariantMap;
    if (inDictionary)
        rules = top.toMap().value(QStringLiteral("rules")).toList();
    else if (top.typeId() == QMetaType::QVariantList)
        rules = top.toList();
    else
        return;

    for (qsizetype i = 0; i < rules.size(); ++i) {
        const QString ruleName = rules[i].toMap().value(QStringLiteral("RuleName")).toString();
        if (ruleName.compare(QLatin1String(kRuleName), Qt::CaseInsensitive) == 0) {
            rules.removeAt(i);
            break;
        }
    }
    if (inDictionary) {
        QVariantMap map = top.toMap();
        if (map.contains(QStringLiteral("rules")))
            map.insert(QStringLiteral("rules"), rules);
        top = map;
    } else {
        top = rules;
    }
    const QByteArray out = platform::plist::toData(top, platform::plist::Format::XML);
    if (!out.isEmpty())
        safetree::replaceFile(mailFd, name, std::string_view(out.constData(), out.size()), st);
}

bool isHistoryJournal(std::string_view name) {
    if (!name.starts_with(kHistoryJournalPrefix))
        return false;
    name.remove_prefix(kHistoryJournalPrefix.size());
    if (name.empty())
        return true;
    if (name.size() < 2 || name.front() != '-')
        return false;
    return name.substr(1).find_first_not_of("0123456789") == std::string_view::npos;
}

bool isStoreFile(std::string_view name) {
    for (const char* listed : kCacheFiles)
        if (name == listed)
            return true;
    return name == kCountJournal || isHistoryJournal(name);
}

// A store file, a batch journal, or the temporary file of a write of one.
bool isStoreTrace(std::string_view name) {
    if (isStoreFile(name))
        return true;
    constexpr size_t kTemporarySuffix = 7;  // ".XXXXXX"
    if (name.size() < 2 + kTemporarySuffix || name.front() != '.' || name[name.size() - kTemporarySuffix] != '.')
        return false;
    return isStoreFile(name.substr(1, name.size() - 1 - kTemporarySuffix));
}

// Removes the stores, their journals and the log details from the Caches folder.
void removeCaches(int cachesFd) {
    if (DIR* listing = ::fdopendir(::fcntl(cachesFd, F_DUPFD_CLOEXEC, 0))) {
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(listing))
            if (isStoreTrace(entry->d_name))
                names.emplace_back(entry->d_name);
        ::closedir(listing);
        for (const std::string& name : names)
            safetree::removeFile(cachesFd, name);
    }
    safetree::removeTree(cachesFd, kLogDetailsFolder);
}

// Removes the login items the front end wrote for the engine ("junkward-*.desktop"
// entries carrying the system's own path key).
void removeLoginItems(int homeFd) {
    const Fd autostart = safetree::openFolder(homeFd, ".config/autostart");
    if (!autostart)
        return;
    DIR* listing = ::fdopendir(::fcntl(autostart.get(), F_DUPFD_CLOEXEC, 0));
    if (!listing)
        return;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view n(entry->d_name);
        if (n.starts_with("junkward-") && n.ends_with(".desktop"))
            names.emplace_back(n);
    }
    ::closedir(listing);
    for (const std::string& name : names) {
        const auto text = safetree::readFile(autostart.get(), name, nullptr, 1u << 16);
        if (text && text->find(kLoginItemMarker) != std::string::npos)
            safetree::removeFile(autostart.get(), name);
    }
}

// True when the file holds what the set-up wrote there, by the digest it recorded.
bool unchangedSinceSetUp(int folderFd, const std::string& name, const QVariantMap& change) {
    const QByteArray written = change.value(QStringLiteral("Written")).toString().toLatin1();
    if (written.isEmpty())
        return false;
    struct stat st {};
    const auto bytes = safetree::readFile(folderFd, name, &st);
    return bytes && QCryptographicHash::hash(QByteArrayView(bytes->data(), qsizetype(bytes->size())),
                                             QCryptographicHash::Sha256)
                            .toHex() == written;
}

}  // namespace

void undoMailSetup(int homeFd) {
    const Fd preferences = safetree::openFolder(homeFd, library("Preferences"));
    if (!preferences)
        return;
    const auto bytes = safetree::readFile(preferences.get(), JKWMailSetupRecordName, nullptr);
    if (!bytes)
        return;
    const auto root = platform::plist::fromData(QByteArray::fromStdString(*bytes));
    const QVariantList changes = root ? root->toMap().value(QStringLiteral("Changes")).toList() : QVariantList();

    // Latest change first, so a file changed twice ends as it was before the first.
    for (auto it = changes.crbegin(); it != changes.crend(); ++it) {
        const QVariantMap change = it->toMap();
        const QString action = change.value(QStringLiteral("Action")).toString();
        const auto target = safetree::splitParent(change.value(QStringLiteral("Path")).toString().toStdString());
        if (!target)
            continue;
        const Fd folder = openBelow(homeFd, target->first);
        if (!folder)
            continue;
        const std::string& name = target->second;

        if (action == QLatin1String("Created")) {
            safetree::removeFile(folder.get(), name);
        } else if (action == QLatin1String("CreatedFolder")) {
            ::unlinkat(folder.get(), name.c_str(), AT_REMOVEDIR);  // only when empty
        } else if (action == QLatin1String("Modified")) {
            const auto backup = safetree::splitParent(change.value(QStringLiteral("Backup")).toString().toStdString());
            if (!backup)
                continue;
            const Fd backupFolder = openBelow(homeFd, backup->first);
            if (!backupFolder || safetree::entryType(backupFolder.get(), backup->second) != S_IFREG)
                continue;
            // The file as it is now may hold the user's later edits: it stays beside,
            // unless it is still exactly what the set-up wrote.
            const mode_t current = safetree::entryType(folder.get(), name);
            if (current == S_IFDIR)
                continue;
            if (current == S_IFREG && unchangedSinceSetUp(folder.get(), name, change)) {
                safetree::removeFile(folder.get(), name);
            } else if (current != 0) {
                const std::string saved = name + JKWMailSetupSavedSuffix;
                if (safetree::entryType(folder.get(), saved) != 0 ||
                    ::renameat(folder.get(), name.c_str(), folder.get(), saved.c_str()) != 0)
                    continue;
            }
            ::renameat(backupFolder.get(), backup->second.c_str(), folder.get(), name.c_str());
        }
    }
    safetree::removeFile(preferences.get(), JKWMailSetupRecordName);
}

void cleanUserHome(int homeFd) {
    // The set-up record lives among the preferences: it is read before they go.
    undoMailSetup(homeFd);

    if (const Fd preferences = safetree::openFolder(homeFd, library("Preferences"))) {
        for (const char* name : kPreferenceFiles)
            safetree::removeFile(preferences.get(), name);
    }
    if (const Fd caches = safetree::openFolder(homeFd, library("Caches")))
        removeCaches(caches.get());
    if (const Fd logs = safetree::openFolder(homeFd, library("Logs")))
        safetree::removeTree(logs.get(), "Junkward");
    for (const char* bundles : {"Mail/Bundles", "Mail/Bundles (Disabled)"}) {
        if (const Fd folder = safetree::openFolder(homeFd, library(bundles)))
            safetree::removeTree(folder.get(), "JunkwardForMail.mailbundle");
    }
    if (const Fd mail = safetree::openFolder(homeFd, library("Mail"))) {
        removeRule(mail.get(), "MessageRules.plist", false);
        removeRule(mail.get(), "MessageSorting.plist", true);
    }
    removeLoginItems(homeFd);

    // The Library's folders go too once nothing is left in them (a folder still
    // holding anything, a mailbox of the user's say, stays).
    for (const char* folder : {"Mail/Bundles (Disabled)", "Mail/Bundles", "Mail", "Preferences", "Caches", "Logs",
                               "Application Support/AddressBook", "Application Support", ""}) {
        const auto parts = safetree::splitParent(*folder ? library(folder) : std::string(JKWUserLibraryInHome));
        if (!parts)
            continue;
        if (const Fd parent = openBelow(homeFd, parts->first))
            ::unlinkat(parent.get(), parts->second.c_str(), AT_REMOVEDIR);
    }
}

int runUserCleanup() {
    PBDirectoryServicesManager& directory = PBDirectoryServicesManager::defaultManager();
    for (const QVariantMap& user : directory.usersArray()) {
        const QVariant id = user.value(QStringLiteral("ID"));
        const QString name = user.value(QStringLiteral("Name")).toString();
        if (!id.isValid() || id.toLongLong() <= 499 || name.isEmpty())
            continue;
        const QByteArray home = directory.homeForUser(name);
        const Fd homeFd = safetree::openRoot(home.toStdString());
        if (!homeFd)
            continue;
        cleanUserHome(homeFd.get());
    }
    return 0;
}
