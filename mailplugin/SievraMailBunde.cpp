#include "mailplugin/SievraMailBunde.h"

#include "mailplugin/SievraAutoCleaner.h"
#include "mailplugin/SievraMenu.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/Folders.h"
#include "platform/Launching.h"
#include "platform/Log.h"
#include "platform/MessagePort.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <dlfcn.h>
#include <mutex>

using mailhost::IMP;
using mailhost::MailClass;
using mailhost::MHObject;

namespace {

using RuleIMP = bool (*)(MHObject*, const char*, MHObject*);
using ColorIMP = int (*)(MHObject*, const char*, MHObject*, bool*);

std::atomic<RuleIMP> _oldDoesMessageSatisfyCriteria{nullptr};
std::atomic<ColorIMP> _oldSievraColorForMessagePrototype{nullptr};
SievraWorkAroundForJaguar* workAroundForJaguar = nullptr;

// The engine's port, shared by every rule thread. One query at a time uses it;
// the lock also makes the replacement of an invalid port happen once when two
// threads find it invalid together.
std::mutex gPortLock;
std::unique_ptr<platform::RemoteMessagePort> gCachedPort;
// Engine launches are made one at a time: the threads behind the first wait for
// its result instead of starting the engine again.
std::mutex gLaunchLock;

const QString kUnableToPatch = QStringLiteral("Junkward: Unable to patch Mail.app");
const QString kEngineNotFound = QStringLiteral("Mail.app Plugin: The Junkward Engine was not found.");
const QString kEngineNotLaunched = QStringLiteral("Mail.app Plugin: The Junkward Engine could not be launched.");
const QString kEngineNotLoaded = QStringLiteral("Mail.app Plugin: The Junkward Engine is not loaded yet.");

bool portExists() { return platform::RemoteMessagePort::connect(QLatin1String(SievraMessagePortName)) != nullptr; }

bool waitForPort() {
    for (int i = 0; i < SievraLaunchWaitTries; ++i) {
        QThread::sleep(1);
        if (portExists())
            return true;
    }
    return false;
}

// The principal class as the host sees it.
class SievraMailBundeClass : public mailhost::MailBundleClass {
public:
    void initialize() override { SievraMailBunde::initialize(); }
    bool hasPreferencesPanel() override { return SievraMailBunde::hasPreferencesPanel(); }
};

// The categories' methods are added to the host's classes when the bundle is
// loaded, before its principal class is initialised.
const bool gCategoriesAdded = [] {
    mailhost::registerMailClasses();
    if (MailClass* rule = MailClass::named("MessageRule"))
        rule->addMethod("processRule:", mailhost::imp_cast(&MessageRule_Sievra::processRule), "c@:@");
    if (MailClass* router = MailClass::named("MessageRouter"))
        router->metaclass()->addMethod(
            "processMessage:withColor:", mailhost::imp_cast(&MessageRouter_Sievra::processMessage), "i@:@^c");
    return true;
}();

}  // namespace

namespace {
const bool gRegistered = [] {
    platform::ClassRegistry::add(
        QStringLiteral("SievraMailBunde"), QLatin1String(mailhost::kMailBundleBaseTag),
        []() -> void* { return static_cast<mailhost::MailBundleClass*>(new SievraMailBundeClass); });
    return true;
}();
}  // namespace

// --- SievraWorkAroundForJaguar --------------------------------------------------

SievraWorkAroundForJaguar* SievraWorkAroundForJaguar::sharedSievraWorkAroundForJaguar() {
    static SievraWorkAroundForJaguar* shared = [] {
        auto* s = new SievraWorkAroundForJaguar;
        s->mutableArray_.reserve(10);
        return s;
    }();
    return shared;
}

void SievraWorkAroundForJaguar::addToIdle() {
    QMutexLocker lock(&sharedLock_);
    const auto self = std::this_thread::get_id();
    if (std::find(mutableArray_.begin(), mutableArray_.end(), self) == mutableArray_.end())
        mutableArray_.push_back(self);
}

void SievraWorkAroundForJaguar::removeFromIdle() {
    QMutexLocker lock(&sharedLock_);
    mutableArray_.erase(std::remove(mutableArray_.begin(), mutableArray_.end(), std::this_thread::get_id()),
                        mutableArray_.end());
}

bool SievraWorkAroundForJaguar::shouldBeIdling() {
    QMutexLocker lock(&sharedLock_);
    return std::find(mutableArray_.begin(), mutableArray_.end(), std::this_thread::get_id()) != mutableArray_.end();
}

// --- SievraMailBunde --------------------------------------------------------------

void SievraMailBunde::initialize() {
    // 1. The idle set.
    workAroundForJaguar = SievraWorkAroundForJaguar::sharedSievraWorkAroundForJaguar();
    // 2.-3. The rule hook.
    const IMP old = NSObject_Sievra::patchInstanceSelector(MailClass::named("MessageRule"),
                                                           "doesMessageSatisfyCriteria:", "processRule:");
    _oldDoesMessageSatisfyCriteria = reinterpret_cast<RuleIMP>(old);
    if (!old)
        platform::log::console(kUnableToPatch);
    // 4.-5. The colour hook, from the main event loop a moment later.
    if (QCoreApplication::instance())
        QTimer::singleShot(SievraPatchDelayMs, QCoreApplication::instance(), [] { SievraMailBunde::patch(); });
    // 6. The menu and the cleaner.
    SievraMenu::sharedSievraMenu();
    SievraAutoCleaner::sharedAutoCleaner();
}

void SievraMailBunde::patch() {
    // A second exchange would undo the first: the hook is set once.
    static std::once_flag once;
    std::call_once(once, [] {
        const IMP old = NSObject_Sievra::patchClassSelector(
            MailClass::named("MessageRouter"), "colorForMessage:highlightTextUsingColor:", "processMessage:withColor:");
        _oldSievraColorForMessagePrototype = reinterpret_cast<ColorIMP>(old);
    });
}

std::shared_ptr<platform::Bundle> SievraMailBunde::bundle() {
    static std::shared_ptr<platform::Bundle> own = [] {
        // The bundle folder is three levels above this shared object
        // (<bundle>/Contents/MacOS/<executable>).
        Dl_info info{};
        if (!::dladdr(reinterpret_cast<void*>(&SievraMailBunde::bundle), &info) || !info.dli_fname)
            return std::shared_ptr<platform::Bundle>();
        QString path = QString::fromLocal8Bit(info.dli_fname);
        for (int i = 0; i < 3; ++i)
            path = path.left(std::max<qsizetype>(0, path.lastIndexOf(QLatin1Char('/'))));
        return platform::Bundle::open(path);
    }();
    return own;
}

QString SievraMailBunde::bundleVersion() {
    const auto b = bundle();
    return b ? b->infoDictionary().value(QStringLiteral("CFBundleVersion")).toString() : QString();
}

bool SievraMailBunde::hasPreferencesPanel() {
    // The host's toolkit is always of the version that has these objects.
    SievraMenu::sharedSievraMenu();
    SievraAutoCleaner::sharedAutoCleaner();
    return false;
}

// --- NSObject(Sievra) -------------------------------------------------------------

IMP NSObject_Sievra::switchSelector(MailClass* cls, const char* a, const char* b, bool isClass) {
    if (!cls || !a || !b)
        return nullptr;
    MailClass* target = isClass ? cls->metaclass() : cls;
    const auto ownMethod = [target](const char* selector) -> mailhost::Method* {
        for (mailhost::Method* m : target->copyMethodList()) {
            if (m->selector() == selector)
                return m;
        }
        return nullptr;
    };
    // 1.-3. Each selector must be defined by the target class itself; an
    // inherited one is copied in first, so the exchange touches this class only.
    for (const char* selector : {a, b}) {
        if (ownMethod(selector))
            continue;
        mailhost::Method* inherited = target->lookupMethod(selector);
        if (!inherited || !target->addMethod(selector, inherited->implementation(), inherited->types()))
            return nullptr;
    }
    // 4. Both must be there now.
    mailhost::Method* first = ownMethod(a);
    mailhost::Method* second = ownMethod(b);
    if (!first || !second)
        return nullptr;
    // 5. Exchange; the caller keeps a's former implementation.
    const IMP old = first->implementation();
    mailhost::exchangeImplementations(first, second);
    return old;
}

// --- MessageRule(Sievra) ----------------------------------------------------------

bool MessageRule_Sievra::processRule(MHObject* rule, const char* selector, MHObject* message) {
    // 1. An inactive rule never matches.
    if (!mailhost::send<bool>(rule, "isActive"))
        return false;
    // 2. Any other rule keeps the host's own test.
    const QString name = mailhost::send<QString>(rule, "ruleName");
    if (name.compare(QLatin1String(SievraRuleName), Qt::CaseInsensitive) != 0) {
        const RuleIMP old = _oldDoesMessageSatisfyCriteria.load();
        return old ? old(rule, selector, message) : false;
    }
    if (!message)
        return false;
    // 3. A message that is only marked read is not judged again.
    if (mailhost::send<int>(message, "messageFlags") == 1)
        return false;
    // 4. Only mail messages.
    if (mailhost::respondsToSelector(message, "type") && mailhost::send<int>(message, "type") != 0)
        return false;
    // 5. Not while the host computes colours on this thread.
    if (workAroundForJaguar && workAroundForJaguar->shouldBeIdling())
        return false;
    // 6. The raw message, within the size the engine is sent.
    const QByteArray data = mailhost::send<QByteArray>(message, "messageDataIncludingFromSpace:", false);
    if (data.isEmpty() || data.size() > SievraMaximumMessageBytes)
        return false;
    // 7.-8. The engine decides.
    if (!launchSievraIfNeededAndPossible())
        return false;
    return querySievraForData(data);
}

bool MessageRule_Sievra::isApplicationRunning(const QString& signature) {
    return platform::launching::isApplicationRunning(signature);
}

bool MessageRule_Sievra::launchSievraIfNeededAndPossible() {
    // 1. The engine serves its port.
    if (portExists())
        return true;
    std::lock_guard launch(gLaunchLock);
    if (portExists())
        return true;  // another thread started it meanwhile
    const QString signature = QLatin1String(SievraEngineSignature);
    if (isApplicationRunning(signature)) {
        // 2. The engine is starting up: give it a few seconds.
        if (waitForPort())
            return true;
    } else {
        // 3. Find the engine: by its signature, else at its place in the Library.
        QString location = platform::launching::findApplication(signature);
        if (location.isEmpty())
            location = platform::launching::executableForPath(platform::folders::engineApplication());
        if (location.isEmpty()) {
            platform::log::console(kEngineNotFound);
        } else if (!platform::launching::openApplication(signature) &&
                   !platform::launching::launchApplicationAtPath(location)) {
            // 4. It could not be started.
            platform::log::console(kEngineNotLaunched);
        } else if (waitForPort()) {
            return true;
        }
    }
    // 5. A last look.
    if (portExists())
        return true;
    platform::log::console(kEngineNotLoaded);
    return false;
}

bool MessageRule_Sievra::querySievraForData(const QByteArray& data) {
    std::lock_guard lock(gPortLock);
    QByteArray reply;
    int status = platform::kMessagePortIsInvalid;
    // A port kept from an earlier query may have lost its engine just now: such a
    // failure is tried once more on a fresh connection.
    for (int attempt = 0; attempt < 2; ++attempt) {
        // 1.-2. The cached port, replaced when the engine went away.
        const bool reused = gCachedPort && gCachedPort->isValid();
        if (!reused) {
            gCachedPort = platform::RemoteMessagePort::connect(QLatin1String(SievraMessagePortName));
            if (!gCachedPort || !gCachedPort->isValid()) {
                gCachedPort.reset();
                return false;
            }
        }
        // 3. One request.
        status = gCachedPort->sendRequest(SievraMessageIDFilterMail, data, SievraMessageTimeout, SievraMessageTimeout,
                                          true, &reply);
        const bool connectionLost =
            status == platform::kMessagePortIsInvalid || status == platform::kMessagePortTransportError;
        if (!reused || !connectionLost)
            break;
        gCachedPort.reset();
    }
    if (status != platform::kMessagePortSuccess)
        return false;
    // 4.-5. The reply's first byte decides.
    qint32 verdict = 0;
    std::memcpy(&verdict, reply.constData(), size_t(std::min<qsizetype>(reply.size(), sizeof verdict)));
    return (verdict & 0xff) != 0;
}

// --- MessageRouter(Sievra) ----------------------------------------------------------

int MessageRouter_Sievra::processMessage(MHObject* routerClass, const char* selector, MHObject* message,
                                         bool* highlight) {
    SievraWorkAroundForJaguar* idle = SievraWorkAroundForJaguar::sharedSievraWorkAroundForJaguar();
    idle->addToIdle();
    const ColorIMP old = _oldSievraColorForMessagePrototype.load();
    const int color = old ? old(routerClass, selector, message, highlight) : -1;
    idle->removeFromIdle();
    return color;
}
