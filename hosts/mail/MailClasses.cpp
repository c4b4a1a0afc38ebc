#include "hosts/mail/MailClasses.h"

#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QFile>
#include <QFileInfo>
#include <mutex>

namespace mailhost {

namespace {

MailApplication* gApplication = nullptr;
std::mutex gRulesMutex;
std::shared_ptr<RuleSet> gCurrentRules = std::make_shared<RuleSet>();

// Headers read for the rules' own criteria; a header block longer than this is cut.
constexpr qint64 kHeaderBytes = 256 * 1024;

const QString kRuleFiles[] = {QStringLiteral("MessageRules.plist"), QStringLiteral("MessageSorting.plist")};

// The header block (unfolded "name: value" lines) and the start of the body.
struct ParsedHeaders {
    QList<QPair<QString, QString>> fields;
    QString body;
};

ParsedHeaders parseHeaders(const QString& path) {
    ParsedHeaders parsed;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return parsed;
    const QByteArray head = file.read(kHeaderBytes);
    int end = head.indexOf("\n\n");
    int crlfEnd = head.indexOf("\r\n\r\n");
    int bodyStart = -1;
    if (crlfEnd >= 0 && (end < 0 || crlfEnd < end)) {
        end = crlfEnd;
        bodyStart = crlfEnd + 4;
    } else if (end >= 0) {
        bodyStart = end + 2;
    } else {
        end = int(head.size());
    }
    const QString block = QString::fromUtf8(head.left(end)).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    for (const QString& line : block.split(QLatin1Char('\n'))) {
        if ((line.startsWith(QLatin1Char(' ')) || line.startsWith(QLatin1Char('\t'))) && !parsed.fields.isEmpty()) {
            parsed.fields.last().second += QLatin1Char(' ') + line.trimmed();
            continue;
        }
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon > 0)
            parsed.fields.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    if (bodyStart >= 0)
        parsed.body = QString::fromUtf8(head.mid(bodyStart));
    return parsed;
}

QStringList valuesOf(const ParsedHeaders& headers, const QString& name) {
    QStringList names{name};
    if (name.compare(QLatin1String("AnyRecipient"), Qt::CaseInsensitive) == 0)
        names = {QStringLiteral("To"), QStringLiteral("Cc")};
    QStringList values;
    for (const auto& field : headers.fields) {
        for (const QString& n : names) {
            if (field.first.compare(n, Qt::CaseInsensitive) == 0)
                values << field.second;
        }
    }
    return values;
}

bool criterionMatches(const QVariantMap& criterion, const ParsedHeaders& headers) {
    const QString header = criterion.value(QStringLiteral("Header")).toString();
    if (header == QLatin1String("AnyMessage"))
        return true;
    if (header.isEmpty() || header == QLatin1String("IsJunkMail"))
        return false;  // this host keeps no junk-mail rating of its own
    const QString expression = criterion.value(QStringLiteral("Expression")).toString();
    const QString qualifier = criterion.value(QStringLiteral("Qualifier"), QStringLiteral("Contains")).toString();
    const QStringList values = header.compare(QLatin1String("Body"), Qt::CaseInsensitive) == 0
                                   ? QStringList{headers.body}
                                   : valuesOf(headers, header);
    const auto test = [&](const QString& v) {
        if (qualifier == QLatin1String("BeginsWith"))
            return v.startsWith(expression, Qt::CaseInsensitive);
        if (qualifier == QLatin1String("EndsWith"))
            return v.endsWith(expression, Qt::CaseInsensitive);
        if (qualifier == QLatin1String("IsEqualTo"))
            return v.compare(expression, Qt::CaseInsensitive) == 0;
        return v.contains(expression, Qt::CaseInsensitive);
    };
    if (qualifier == QLatin1String("DoesNotContain"))
        return std::none_of(values.begin(), values.end(),
                            [&](const QString& v) { return v.contains(expression, Qt::CaseInsensitive); });
    return std::any_of(values.begin(), values.end(), test);
}

// --- Implementations of the classes' methods --------------------------------

MHObject* NSObject_alloc(MHObject* cls, const char*) { return static_cast<MailClass*>(cls)->allocate(); }
void NSObject_release(MHObject* self, const char*) { delete self; }

int Message_messageFlags(MHObject* self, const char*) { return static_cast<MailMessage*>(self)->flags; }
int Message_type(MHObject*, const char*) { return 0; }  // every message here is a mail message
QByteArray Message_messageData(MHObject* self, const char*, bool) {
    QByteArray data;
    if (!MailStore::readMessage(static_cast<MailMessage*>(self)->path(), &data))
        return {};
    return data;
}

bool MessageRule_isActive(MHObject* self, const char*) {
    return platform::plist::boolValue(static_cast<MailRule*>(self)->dictionary, QStringLiteral("Active"), false);
}
QString MessageRule_ruleName(MHObject* self, const char*) {
    return static_cast<MailRule*>(self)->dictionary.value(QStringLiteral("RuleName")).toString();
}
bool MessageRule_doesMessageSatisfyCriteria(MHObject* self, const char*, MHObject* message) {
    auto* rule = static_cast<MailRule*>(self);
    if (!platform::plist::boolValue(rule->dictionary, QStringLiteral("Active"), false) || !message)
        return false;
    return ruleMatchesByCriteria(*rule, *static_cast<MailMessage*>(message));
}

int MessageRouter_colorForMessage(MHObject*, const char*, MHObject* message, bool* highlight) {
    const std::shared_ptr<RuleSet> rules = currentRules();
    for (const auto& rule : rules->rules) {
        if (!send<bool>(rule.get(), "doesMessageSatisfyCriteria:", message))
            continue;
        const QVariant color = rule->dictionary.value(QStringLiteral("Color"));
        if (!color.isValid())
            continue;
        if (highlight)
            *highlight = platform::plist::boolValue(rule->dictionary, QStringLiteral("HighlightTextUsingColor"), false);
        return int(color.toLongLong() & 0xffffff);
    }
    return -1;
}

QStringList MessageViewer_mailboxUidsForPaths(MHObject*, const char*, QStringList paths) {
    QStringList uids;
    MailApplication* app = MailApplication::shared();
    if (!app)
        return uids;
    for (const QString& path : paths) {
        const QString name = app->store().mailboxForReference(path);
        if (!name.isEmpty() && QFileInfo(app->store().mailboxPath(name)).isDir())
            uids << name;
    }
    return uids;
}

struct LibraryStoreObject : MHObject {
    QString mailbox;
    bool readOnly = true;
};

MHObject* LibraryStore_init(MHObject* self, const char*, QString uid, bool readOnly) {
    auto* store = static_cast<LibraryStoreObject*>(self);
    MailApplication* app = MailApplication::shared();
    if (!app || uid.isEmpty() || !QFileInfo(app->store().mailboxPath(uid)).isDir() ||
        app->store().mailboxForReference(QStringLiteral("local:///") + uid) != uid) {
        delete store;  // a failed initialiser releases its object
        return nullptr;
    }
    store->mailbox = uid;
    store->readOnly = readOnly;
    return store;
}

int LibraryStore_deleteOlder(MHObject* self, const char*, int days, bool) {
    auto* store = static_cast<LibraryStoreObject*>(self);
    MailApplication* app = MailApplication::shared();
    if (!app || store->readOnly || store->mailbox.isEmpty())
        return 0;
    return app->store().deleteMessagesOlderThan(store->mailbox, days);
}

}  // namespace

QString MailMessage::path() const {
    QMutexLocker lock(&mutex_);
    return path_;
}

void MailMessage::setPath(const QString& path) {
    QMutexLocker lock(&mutex_);
    path_ = path;
}

MailApplication* MailApplication::shared() { return gApplication; }
void MailApplication::setShared(MailApplication* application) { gApplication = application; }

void registerMailClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        MailClass* root = MailClass::define("NSObject", nullptr);
        root->metaclass()->addMethod("alloc", imp_cast(&NSObject_alloc), "@@:");
        root->addMethod("release", imp_cast(&NSObject_release), "v@:");

        MailClass* message = MailClass::define("Message", root, [] { return new MailMessage; });
        message->addMethod("messageFlags", imp_cast(&Message_messageFlags), "i@:");
        message->addMethod("type", imp_cast(&Message_type), "i@:");
        message->addMethod("messageDataIncludingFromSpace:", imp_cast(&Message_messageData), "@@:c");

        MailClass* rule = MailClass::define("MessageRule", root, [] { return new MailRule; });
        rule->addMethod("isActive", imp_cast(&MessageRule_isActive), "c@:");
        rule->addMethod("ruleName", imp_cast(&MessageRule_ruleName), "@@:");
        rule->addMethod("doesMessageSatisfyCriteria:", imp_cast(&MessageRule_doesMessageSatisfyCriteria), "c@:@");

        MailClass* router = MailClass::define("MessageRouter", root);
        router->metaclass()->addMethod(
            "colorForMessage:highlightTextUsingColor:", imp_cast(&MessageRouter_colorForMessage), "i@:@^c");

        MailClass* viewer = MailClass::define("MessageViewer", root);
        viewer->metaclass()->addMethod("_mailboxUidsForPaths:", imp_cast(&MessageViewer_mailboxUidsForPaths), "@@:@");

        MailClass* store = MailClass::define("LibraryStore", root, [] { return new LibraryStoreObject; });
        store->addMethod("initWithMailboxUid:readOnly:", imp_cast(&LibraryStore_init), "@@:@c");
        store->addMethod("deleteMessagesOlderThanNumberOfDays:compact:", imp_cast(&LibraryStore_deleteOlder), "i@:ic");
    });
}

std::shared_ptr<RuleSet> loadRules(const QString& mailFolder, QString* problem) {
    registerMailClasses();
    auto set = std::make_shared<RuleSet>();
    for (const QString& name : kRuleFiles) {
        const QString path = mailFolder + QLatin1Char('/') + name;
        if (!QFileInfo(path).isFile())
            continue;
        const std::optional<QVariant> root = platform::plist::readFile(path);
        QVariantList list;
        bool shaped = false;
        if (root && name == kRuleFiles[0] && root->typeId() == QMetaType::QVariantMap) {
            const QVariant rules = root->toMap().value(QStringLiteral("rules"));
            shaped = rules.typeId() == QMetaType::QVariantList;
            list = rules.toList();
        } else if (root && name == kRuleFiles[1] && root->typeId() == QMetaType::QVariantList) {
            shaped = true;
            list = root->toList();
        }
        if (!shaped) {
            if (problem)
                *problem = QStringLiteral("%1 is not a rule list").arg(path);
            continue;
        }
        MailClass* cls = MailClass::named("MessageRule");
        for (const QVariant& entry : list) {
            if (entry.typeId() != QMetaType::QVariantMap)
                continue;  // a rule that is not a dictionary is ignored
            auto rule = std::make_unique<MailRule>();
            rule->isa = cls;
            rule->dictionary = entry.toMap();
            set->rules.push_back(std::move(rule));
        }
        return set;
    }
    return set;
}

std::shared_ptr<RuleSet> currentRules() {
    std::lock_guard lock(gRulesMutex);
    return gCurrentRules;
}

void setCurrentRules(std::shared_ptr<RuleSet> rules) {
    std::lock_guard lock(gRulesMutex);
    gCurrentRules = rules ? std::move(rules) : std::make_shared<RuleSet>();
}

std::unique_ptr<MailMessage> messageForFile(const QString& path) {
    registerMailClasses();
    auto message = std::make_unique<MailMessage>();
    message->isa = MailClass::named("Message");
    message->setPath(path);
    const QString flags = MailStore::flagsOf(path);
    if (flags.contains(QLatin1Char('S')))
        message->flags |= kMessageFlagRead;
    if (flags.contains(QLatin1Char('R')))
        message->flags |= kMessageFlagAnswered;
    if (flags.contains(QLatin1Char('F')))
        message->flags |= kMessageFlagFlagged;
    return message;
}

bool ruleMatchesByCriteria(const MailRule& rule, MailMessage& message) {
    QVariantList criteria = rule.dictionary.value(QStringLiteral("Criteria")).toList();
    if (criteria.isEmpty() && rule.dictionary.contains(QStringLiteral("Header")))
        criteria << rule.dictionary;  // the older single-criterion form
    if (criteria.isEmpty())
        return false;
    const bool all = platform::plist::boolValue(rule.dictionary, QStringLiteral("AllCriteriaMustBeSatisfied"), false);
    std::optional<ParsedHeaders> headers;
    for (const QVariant& c : criteria) {
        const QVariantMap criterion = c.toMap();
        bool matched;
        if (criterion.value(QStringLiteral("Header")).toString() == QLatin1String("AnyMessage")) {
            matched = true;
        } else {
            if (!headers)
                headers = parseHeaders(message.path());
            matched = criterionMatches(criterion, *headers);
        }
        if (matched && !all)
            return true;
        if (!matched && all)
            return false;
    }
    return all;
}

}  // namespace mailhost
