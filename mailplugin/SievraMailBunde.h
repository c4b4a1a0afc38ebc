#pragma once
// The mail plug-in's principal class and its hooks into the mail host: the
// "Junkward" rule is answered by the engine's verdict (the message's raw bytes
// go to the engine's port "Sievra"), and colour computation never reaches the
// engine. All members are class-level: the host never makes an instance.

#include "engine/SievraPort.h"
#include "hosts/mail/MailClasses.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <memory>
#include <thread>
#include <vector>

namespace platform {
class Bundle;
class RemoteMessagePort;
}  // namespace platform

inline constexpr char SievraRuleName[] = "Junkward";
inline constexpr char SievraEngineSignature[] = "_SM2";
inline constexpr int SievraLaunchWaitTries = 4;
inline constexpr int SievraPatchDelayMs = 100;

// The threads that are inside the host's colour computation at present.
class SievraWorkAroundForJaguar {
public:
    static SievraWorkAroundForJaguar* sharedSievraWorkAroundForJaguar();
    void addToIdle();
    void removeFromIdle();
    bool shouldBeIdling();

private:
    QMutex sharedLock_;
    std::vector<std::thread::id> mutableArray_;
};

class SievraMailBunde {
public:
    // The load sequence: the rule hook at once, the colour hook 0.1 s later, then
    // the menu and the cleaner.
    static void initialize();
    static void patch();
    // The bundle this class was loaded from, and its "CFBundleVersion".
    static std::shared_ptr<platform::Bundle> bundle();
    static QString bundleVersion();
    static bool hasPreferencesPanel();
    static bool hasComposeAccessoryViewOwner() { return false; }
};

// Method exchange on the host's classes (the NSObject(Sievra) category).
struct NSObject_Sievra {
    // Exchanges the implementations of a and b on cls (its class methods when
    // isClass); a's implementation from before, or null when either is missing.
    static mailhost::IMP switchSelector(mailhost::MailClass* cls, const char* a, const char* b, bool isClass);
    static mailhost::IMP patchInstanceSelector(mailhost::MailClass* cls, const char* a, const char* b) {
        return switchSelector(cls, a, b, false);
    }
    static mailhost::IMP patchClassSelector(mailhost::MailClass* cls, const char* a, const char* b) {
        return switchSelector(cls, a, b, true);
    }
};

// The MessageRule(Sievra) category.
struct MessageRule_Sievra {
    // The rule test that replaces the host's doesMessageSatisfyCriteria:.
    static bool processRule(mailhost::MHObject* rule, const char* selector, mailhost::MHObject* message);
    static bool isApplicationRunning(const QString& signature);
    // True when the engine's port exists on return, starting the engine if needed.
    static bool launchSievraIfNeededAndPossible();
    // The engine's verdict on a raw message: true for spam.
    static bool querySievraForData(const QByteArray& data);
};

// The MessageRouter(Sievra) category: the colour computation, with this thread
// marked idle so the "Junkward" rule does not reach the engine meanwhile.
struct MessageRouter_Sievra {
    static int processMessage(mailhost::MHObject* routerClass, const char* selector, mailhost::MHObject* message,
                              bool* highlight);
};
