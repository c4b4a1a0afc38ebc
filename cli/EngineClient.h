#pragma once
// The engine as the command-line programs reach it: on the session bus, started
// when it is not running, with the limits of what one bus message carries.

#include "platform/ScriptingBus.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QVariantList>

#include <deque>
#include <functional>
#include <memory>
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
// kBatchBytes bytes (one bus call and one store transaction each). A batch is
// sent as soon as it is full, while the messages after it are still being read
// and while the engine learns the batch before; the engine answers in order.
// Each batch costs the engine two commits; a larger one makes the progress
// coarser.
inline constexpr int kBatchMessages = 2500;
inline constexpr qsizetype kBatchBytes = 32ll * 1024 * 1024;

class BatchLearner {
public:
    // ready is asked once, before the first batch is sent: false (the engine
    // cannot be reached) sends nothing.
    BatchLearner(bool spam, bool entourage, std::function<bool()> ready);
    ~BatchLearner();
    // Takes the next message.
    void add(const QByteArray& message);
    // Sends what is left and waits for every answer. done is called after each
    // answer with the number of messages handled so far (from the call of
    // finish on); learned receives one flag per message (true: learned). False
    // when a batch could not be handed over (its messages stay false; the others
    // are still tried) or the engine was not ready.
    bool finish(std::vector<bool>* learned, const std::function<void(std::size_t done)>& progress,
                QString* problem);
    // False once ready said no.
    bool engineReady() const { return !refused_; }

private:
    struct Sent;
    void send();
    void settle();
    QDBusPendingCall call(Sent& sent);

    QString method_;
    bool entourage_;
    std::function<bool()> ready_;
    bool asked_ = false;
    bool refused_ = false;
    QByteArrayList batch_;
    qsizetype batchBytes_ = 0;
    qsizetype count_ = 0;  // messages taken
    std::deque<std::unique_ptr<Sent>> sent_;
    std::vector<bool> learned_;
    bool allSent_ = true;
    bool asFiles_ = false;  // batches go as batch files
    QString problem_;
    std::function<void(std::size_t)> progress_;
};

// All of messages through a BatchLearner, with the engine taken as ready.
bool learnMessages(const QByteArrayList& messages, bool spam, bool entourage, std::vector<bool>* learned,
                   const std::function<void(std::size_t done)>& progress, QString* problem);

}  // namespace junkwardcli
