#include "hosts/mail/RuleThreads.h"

#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFileInfo>

namespace mailhost {

namespace {

bool yes(const QVariantMap& rule, const char* key) {
    return platform::plist::boolValue(rule, QString::fromLatin1(key), false);
}

QString targetOf(const MailStore& store, const QVariantMap& rule, const char* pathKey, const char* urlKey) {
    QString name = store.mailboxForReference(rule.value(QString::fromLatin1(pathKey)).toString());
    if (name.isEmpty())
        name = store.mailboxForReference(rule.value(QString::fromLatin1(urlKey)).toString());
    return name;
}

}  // namespace

struct RuleThreads::Batch {
    QStringList paths;
    std::shared_ptr<RuleSet> rules;
    std::vector<RuleOutcome> outcomes;
    std::mutex mutex;
    size_t remaining = 0;
    Done done;
};

RuleThreads::RuleThreads(const MailStore& store, int threadCount) : store_(store) {
    registerMailClasses();
    for (int i = 0; i < std::max(1, threadCount); ++i)
        threads_.emplace_back([this] { run(); });
}

RuleThreads::~RuleThreads() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

void RuleThreads::evaluate(const QStringList& inboxPaths, std::shared_ptr<RuleSet> rules, Done done) {
    auto batch = std::make_shared<Batch>();
    batch->paths = inboxPaths;
    batch->rules = rules ? std::move(rules) : std::make_shared<RuleSet>();
    batch->outcomes.resize(size_t(inboxPaths.size()));
    batch->remaining = size_t(inboxPaths.size());
    batch->done = std::move(done);
    if (inboxPaths.isEmpty()) {
        if (batch->done)
            batch->done({});
        return;
    }
    {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < size_t(inboxPaths.size()); ++i)
            queue_.push_back({batch, i});
    }
    wake_.notify_all();
}

void RuleThreads::run() {
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        Batch& batch = *item.batch;
        // at(): a const read; operator[] would detach the list shared by every rule thread.
        RuleOutcome outcome = applyRules(batch.paths.at(qsizetype(item.index)), *batch.rules);
        bool last;
        {
            std::lock_guard lock(batch.mutex);
            batch.outcomes[item.index] = std::move(outcome);
            last = --batch.remaining == 0;
        }
        if (last && batch.done)
            batch.done(std::move(batch.outcomes));
    }
}

RuleOutcome RuleThreads::applyRules(const QString& path, const RuleSet& rules) const {
    std::unique_ptr<MailMessage> message = messageForFile(path);
    RuleOutcome outcome{path, store_.mailboxOfMessage(path), {}};
    for (const auto& rule : rules.rules) {
        if (!QFileInfo::exists(message->path())) {
            outcome.error = QStringLiteral("the message file is gone");
            outcome.mailbox.clear();
            break;
        }
        if (!send<bool>(rule.get(), "doesMessageSatisfyCriteria:", static_cast<MHObject*>(message.get())))
            continue;
        const QVariantMap& d = rule->dictionary;
        QString error;
        if (yes(d, "ShouldCopyMessage")) {
            const QString copyTo = targetOf(store_, d, "CopyToMailbox", "CopyToMailboxURL");
            if (copyTo.isEmpty() || store_.copyMessage(message->path(), copyTo, &error).isEmpty())
                outcome.error = copyTo.isEmpty() ? QStringLiteral("no copy mailbox") : error;
        }
        if (yes(d, "MarkRead") || yes(d, "MarkFlagged")) {
            QString flags;
            if (yes(d, "MarkRead"))
                flags += QLatin1Char('S');
            if (yes(d, "MarkFlagged"))
                flags += QLatin1Char('F');
            message->setPath(store_.addFlags(message->path(), flags));
        }
        QString target;
        if (yes(d, "Deletes"))
            target = QString::fromLatin1(kTrashName);
        else if (yes(d, "ShouldTransferMessage"))
            target = targetOf(store_, d, "Mailbox", "MailboxURL");
        if (!target.isEmpty() && target != outcome.mailbox) {
            const QString moved = store_.moveMessage(message->path(), target, &error);
            if (moved.isEmpty()) {
                outcome.error = error;
                platform::log::console(
                    QStringLiteral("[MailHost] Rule \"%1\": could not move %2 to %3: %4")
                        .arg(d.value(QStringLiteral("RuleName")).toString(), message->path(), target, error));
            } else {
                message->setPath(moved);
                outcome.mailbox = target;
            }
            break;
        }
        if (yes(d, "ShouldTransferMessage") && target.isEmpty()) {
            outcome.error = QStringLiteral("the rule names no mailbox of this host");
            break;
        }
        if (yes(d, "StopEvaluatingRules"))
            break;
    }
    outcome.path = message->path();
    return outcome;
}

QStringList expandMessageSources(const QStringList& arguments, QStringList* problems) {
    QStringList files;
    for (const QString& argument : arguments) {
        const QFileInfo info(argument);
        if (info.isFile()) {
            files << info.absoluteFilePath();
            continue;
        }
        if (!info.isDir()) {
            if (problems)
                *problems << QStringLiteral("%1: no such message file or folder").arg(argument);
            continue;
        }
        const QDir dir(info.absoluteFilePath());
        QStringList folders;
        if (QFileInfo(dir.filePath(QStringLiteral("new"))).isDir() ||
            QFileInfo(dir.filePath(QStringLiteral("cur"))).isDir())
            folders << dir.filePath(QStringLiteral("new")) << dir.filePath(QStringLiteral("cur"));
        else
            folders << dir.path();
        const qsizetype before = files.size();
        for (const QString& folder : folders) {
            const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
            for (const QFileInfo& e : entries)
                files << e.absoluteFilePath();
        }
        if (files.size() == before && problems)
            *problems << QStringLiteral("%1: holds no messages").arg(argument);
    }
    return files;
}

}  // namespace mailhost
