#pragma once
// The engine as the command-line programs reach it: on the session bus, started
// when it is not running, with the limits of what one bus message carries.

#include "platform/ScriptingBus.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QVariantList>

#include <functional>
#include <vector>

namespace junkwardcli {

// A bus message holds at most a 64 MiB byte array (the library aborts on more):
// larger messages are refused before they are sent.
inline constexpr qsizetype kBusMaxMessageBytes = 63ll * 1024 * 1024;

// Why the engine could not be used, as a word for a header field.
inline constexpr char kErrorNoSessionBus[] = "no-session-bus";
inline constexpr char kErrorNotInstalled[] = "engine-not-installed";
inline constexpr char kErrorNotStarted[] = "engine-not-started";
inline constexpr char kErrorNoAnswer[] = "engine-not-answering";
inline constexpr char kErrorTimeout[] = "engine-timeout";
inline constexpr char kErrorRefused[] = "engine-refused";
inline constexpr char kErrorTooLarge[] = "message-too-large";
inline constexpr char kErrorEmpty[] = "empty-message";

// A delivery agent (procmail, maildrop, Dovecot) runs the programs with a bare
// environment: when neither the session bus address nor the runtime folder is
// set, the user's login session in /run/user/<uid> is used if it is there.
// Call before anything talks to the bus.
void adoptUserSession();

// Makes sure the engine owns its bus name, starting it (bus activation, else
// the program in the machine-wide Library) when needed. On failure error
// receives one of the words above and problem a sentence for the user.
bool ensureEngine(QByteArray* error, QString* problem);

// Calls one method of the engine's bus interface.
platform::ScriptingReply callEngine(const QString& method, const QVariantList& arguments, double timeoutSeconds);

// A sentence for a failed call, and the word for it.
QString describeFailure(const platform::ScriptingReply& reply);
QByteArray failureWord(const platform::ScriptingReply& reply);

// The engine's verdict on one message.
struct Judgement {
    bool ok = false;
    int verdict = 2;   // 0 spam, 1 legitimate, 2 undecided
    QString reason;    // the deciding "Filt-ID"
    QByteArray error;  // when not ok: one of the words above
    QString problem;   // when not ok: a sentence
    bool spam() const { return ok && verdict == 0; }
};
Judgement judgeMessage(const QByteArray& message, bool entourage, double timeoutSeconds);

// Learns messages in batches of at most kBatchMessages messages and
// kBatchBytes bytes (one bus call and one store transaction each; the next
// batch is sent while the engine learns the one before). done is
// called after each batch with the number of messages handled so far; learned
// receives one flag per message (true: learned). False when a batch could not
// be handed over (its messages stay false; the others are still tried).
inline constexpr int kBatchMessages = 1000;
inline constexpr qsizetype kBatchBytes = 32ll * 1024 * 1024;
bool learnMessages(const QByteArrayList& messages, bool spam, bool entourage, std::vector<bool>* learned,
                   const std::function<void(std::size_t done)>& progress, QString* problem);

}  // namespace junkwardcli
