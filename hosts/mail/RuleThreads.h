#pragma once
// New mail: delivery into INBOX and the rule threads that evaluate the active
// rules for each new message, several messages at once. A message whose rules
// fail in any way stays in INBOX.

#include "hosts/mail/MailClasses.h"

#include <QString>
#include <QStringList>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace mailhost {

// Where one message ended.
struct RuleOutcome {
    QString path;     // its file now
    QString mailbox;  // the mailbox it is in now
    QString error;    // why a matching rule's action failed, if it did
};

class RuleThreads {
public:
    using Done = std::function<void(std::vector<RuleOutcome>)>;

    RuleThreads(const MailStore& store, int threadCount);
    // Finishes the queued messages, then stops the threads.
    ~RuleThreads();

    // Evaluates rules for every message (files in INBOX); done runs on a rule
    // thread once all of them are finished, with one outcome per message in order.
    void evaluate(const QStringList& inboxPaths, std::shared_ptr<RuleSet> rules, Done done);
    int threadCount() const { return int(threads_.size()); }

    // Runs the rules for one message on the calling thread.
    RuleOutcome applyRules(const QString& path, const RuleSet& rules) const;

private:
    struct Batch;
    struct Item {
        std::shared_ptr<Batch> batch;
        size_t index;
    };
    void run();

    const MailStore& store_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Every message file that an argument names: a file; a Maildir (its new and cur);
// a folder of message files. Arguments that name none land in *problems.
QStringList expandMessageSources(const QStringList& arguments, QStringList* problems);

}  // namespace mailhost
