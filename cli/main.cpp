// junkward: the engine from a shell or a mail-delivery rule.
//
//   junkward check [--entourage] [FILE...]     spam or not spam, one line per message
//   junkward filter [--exit-code] [FILE]       the message with its verdict header
//   junkward learn-spam FILE...                train every filter: these are spam
//   junkward learn-ham FILE...                 train every filter: these are good mail
//   junkward query [FILE...]                   ask over the port as the mail plug-in does
//   junkward explain FILE                      why the engine judges a message as it does
//   junkward log                               the activity log as text
//   junkward filters-version                   date of the URL filter database
//   junkward quit                              stop the engine

#include "cli/EngineClient.h"
#include "cli/Explain.h"
#include "cli/LogExport.h"
#include "cli/MessageSource.h"
#include "cli/VerdictHeader.h"
#include "engine/SievraPort.h"
#include "platform/Bundle.h"
#include "platform/Folders.h"
#include "platform/Launching.h"
#include "platform/MessagePort.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <cstdio>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

using namespace junkwardcli;

constexpr int kExitSpam = 0;
constexpr int kExitNotSpam = 1;
constexpr int kExitError = 2;

constexpr double kCallTimeout = 600.0;    // a 50 MB message takes a while to parse
constexpr double kStartTimeout = 30.0;    // the engine's start-up
constexpr double kFilterTimeout = 120.0;  // a delivery waits no longer

void say(FILE* stream, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    std::fwrite(utf8.constData(), 1, static_cast<size_t>(utf8.size()), stream);
    std::fputc('\n', stream);
}

void warn(const QString& text) { say(stderr, QStringLiteral("junkward: ") + text); }

const char* kUsage =
    "Usage: junkward COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  check [--entourage] [FILE...]  Judge each message: prints \"spam\" or \"not spam\"\n"
    "                                 (after the file name when there are several).\n"
    "                                 Reads standard input without FILE. Exit status 0\n"
    "                                 when the last message is spam, 1 when it is not,\n"
    "                                 2 on an error.\n"
    "  filter [--exit-code] [FILE]    Copy the message (standard input without FILE) to\n"
    "                                 standard output with the header X-Junkward-Status\n"
    "                                 added at the top; exit status 0 once it is written.\n"
    "  learn-spam FILE...             Train every filter that these messages are spam.\n"
    "  learn-ham FILE...              Train every filter that these messages are good mail.\n"
    "                                 A FILE may be one message, an mbox file or a folder\n"
    "                                 (a Maildir, or a folder of message files).\n"
    "  query [FILE...]                Ask the engine over its message port, exactly as the\n"
    "                                 mail plug-in does, and print its reply.\n"
    "  explain [--entourage] FILE     Show why the engine judges the message as it does:\n"
    "                                 the deciding check or filter and the strongest\n"
    "                                 evidence of each learning filter. Nothing is learned.\n"
    "  log                            Print the activity log (tab-separated text).\n"
    "  filters-version                Print the date of the URL filter database.\n"
    "  quit                           Stop the engine.\n"
    "\n"
    "The engine is started when it is not running. \"junkward COMMAND --help\" explains a command.\n";

QString helpFor(const QString& command) {
    if (command == "check")
        return "Usage: junkward check [--entourage] [FILE...]\n"
               "Judges each message through the whole engine (header lists, built-in checks,\n"
               "filter plug-ins) as a mail program's rule would, and prints \"spam\" or\n"
               "\"not spam\" for each; with several messages each line starts with its file\n"
               "name. The verdict is recorded in the activity log and the statistics.\n"
               "--entourage: the messages use carriage returns as line ends.\n"
               "Exit status: 0 when the last message is spam, 1 when it is not, 2 on an error.\n";
    if (command == "filter")
        return "Usage: junkward filter [--exit-code] [FILE]\n"
               "Judges one message (standard input without FILE) through the whole engine and\n"
               "writes it to standard output with one header added at the top of its header\n"
               "block:\n"
               "  X-Junkward-Status: Yes, reason=<deciding filter or check>, version=<version>\n"
               "(No for good mail). Every X-Junkward-Status header already in the message is\n"
               "removed first, with its continuation lines; nothing else changes, line ends and\n"
               "a missing final line end included. When the engine cannot judge the message it\n"
               "passes through with \"X-Junkward-Status: Unsure, error=<why>, version=<version>\".\n"
               "Exit status: 0 whenever the message was written, 2 when it could not be read or\n"
               "written. With --exit-code: 0 for spam, 1 for good mail, 2 when unsure or on an\n"
               "error (the message is written in every case it can be).\n";
    if (command == "learn-spam" || command == "learn-ham")
        return "Usage: junkward learn-spam|learn-ham [--entourage] FILE...\n"
               "Hands every message to every filter for training (the Bayesian filter learns\n"
               "its words, the lists learn the sender when their \"Learn\" setting is on) and\n"
               "records LEARN_SPAM or LEARN_HAM in the activity log. A FILE may be a single\n"
               "message, an mbox file (every message in it) or a folder: a Maildir (new/ and\n"
               "cur/) or a folder of message files. The messages go to the engine in batches\n"
               "that every filter stores at once. On a terminal a progress bar is shown.\n"
               "Exit status: 0 when every message was handed over, 2 otherwise.\n";
    if (command == "query")
        return QStringLiteral(
                   "Usage: junkward query [FILE...]\n"
                   "Sends each message to the engine's message port \"%1\" (message id %2,\n"
                   "at most %3 bytes, %4 s time-outs), exactly as the mail plug-in does,\n"
                   "and prints the reply: \"spam (%5)\" or \"not spam (%6)\".\n"
                   "Exit status: 0 when the last message is spam, 1 when it is not, 2 on an error.\n")
            .arg(QLatin1String(SievraMessagePortName))
            .arg(SievraMessageIDFilterMail)
            .arg(SievraMaximumMessageBytes)
            .arg(SievraMessageTimeout)
            .arg(SievraReplySpam)
            .arg(SievraReplyNotSpam);
    if (command == "explain")
        return "Usage: junkward explain [--entourage] FILE\n"
               "Shows why the engine judges the message as it does: the deciding header list,\n"
               "built-in check or filter, the Chi-Square filter's score and the ten tokens\n"
               "that weighed most, the Bayesian filter's score and its fifteen. Nothing is\n"
               "learned, logged or counted. Exit status: 0, or 2 on an error.\n";
    if (command == "log")
        return "Usage: junkward log\n"
               "Prints the activity log in the log viewer's export format: \"[L] \" (legitimate)\n"
               "or \"[S] \" (spam), date and time, sender, subject and the deciding filter,\n"
               "separated by tabs, oldest first.\n";
    if (command == "filters-version")
        return "Usage: junkward filters-version\n"
               "Prints the date (YYMMDD) of the URL filter database, or N/A.\n";
    if (command == "quit")
        return "Usage: junkward quit\nAsks the engine to quit.\n";
    return {};
}

bool ensureEngine() {
    QByteArray error;
    QString problem;
    if (junkwardcli::ensureEngine(&error, &problem))
        return true;
    warn(problem);
    return false;
}

platform::ScriptingReply callEngine(const QString& method, const QVariantList& arguments) {
    return junkwardcli::callEngine(method, arguments, kCallTimeout);
}

bool tooLargeForTheBus(const SourceMessage& m) {
    if (m.bytes.size() <= kBusMaxMessageBytes)
        return false;
    warn(QStringLiteral("%1: is larger than %2 MB, the most the engine's bus carries; skipped")
             .arg(m.origin)
             .arg(kBusMaxMessageBytes >> 20));
    return true;
}

// Reads the messages named by files (standard input when none).
bool gatherMessages(const QStringList& files, bool expand, std::vector<SourceMessage>* out, bool* hadErrors) {
    std::vector<SourceProblem> problems;
    if (files.isEmpty()) {
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) {
            warn("standard input cannot be read");
            *hadErrors = true;
            return false;
        }
        QByteArray bytes = in.readAll();
        if (bytes.isEmpty()) {
            warn("standard input is empty: no message");
            *hadErrors = true;
            return false;
        }
        out->push_back({QStringLiteral("-"), std::move(bytes)});
        return true;
    }
    for (const QString& file : files) {
        const bool ok =
            forEachMessage(file, expand, &problems, [&](SourceMessage&& m) { out->push_back(std::move(m)); });
        if (!ok)
            *hadErrors = true;
    }
    for (const SourceProblem& p : problems)
        warn(p.origin + " " + p.text);
    return !out->empty();
}

class Progress {
public:
    Progress(std::size_t total, const QString& verb) : verb_(verb) {
        setTotal(total);
        clock_.start();
    }
    void setTotal(std::size_t total) {
        total_ = total;
        enabled_ = isatty(STDERR_FILENO) && total > 3;
    }
    void step(std::size_t done, std::size_t failed) {
        if (!enabled_)
            return;
        const double seconds = std::max(0.001, clock_.elapsed() / 1000.0);
        const int width = 30;
        const int filled = total_ ? static_cast<int>(width * done / total_) : width;
        std::fprintf(stderr, "\r%s [%.*s%*s] %zu/%zu  %.1f msg/s%s", verb_.toUtf8().constData(), filled,
                     "##############################", width - filled, "", done, total_, done / seconds,
                     failed ? QStringLiteral("  (%1 failed)").arg(failed).toUtf8().constData() : "");
        std::fflush(stderr);
        drawn_ = true;
    }
    // Ends the bar's line, so that what is written next starts a line of its own.
    void breakLine() {
        if (drawn_)
            std::fputc('\n', stderr);
        drawn_ = false;
    }
    void finish(std::size_t done, std::size_t failed) {
        const double seconds = std::max(0.001, clock_.elapsed() / 1000.0);
        breakLine();
        std::fprintf(stderr, "%s %zu message%s in %.1f s (%.1f msg/s)%s\n", verb_.toUtf8().constData(), done - failed,
                     done - failed == 1 ? "" : "s", seconds, done / seconds,
                     failed ? QStringLiteral(", %1 failed").arg(failed).toUtf8().constData() : "");
    }

private:
    std::size_t total_;
    QString verb_;
    bool enabled_;
    bool drawn_ = false;  // the bar is on the current line
    QElapsedTimer clock_;
};

int commandCheck(QStringList args) {
    const bool entourage = args.removeAll("--entourage") > 0;
    bool errors = false;
    std::vector<SourceMessage> messages;
    if (!gatherMessages(args, !entourage, &messages, &errors))
        return kExitError;
    if (!ensureEngine())
        return kExitError;
    const bool prefix = messages.size() > 1 || args.size() > 1;
    int last = kExitError;
    for (const SourceMessage& m : messages) {
        if (tooLargeForTheBus(m)) {
            last = kExitError;
            continue;
        }
        const platform::ScriptingReply reply = callEngine("CheckSpamStatus", {m.bytes, entourage});
        if (!reply.ok || reply.values.isEmpty()) {
            warn(m.origin + ": " + describeFailure(reply));
            last = kExitError;
            continue;
        }
        const bool spam = reply.values.first().toBool();
        say(stdout, (prefix ? m.origin + ": " : QString()) + (spam ? "spam" : "not spam"));
        last = spam ? kExitSpam : kExitNotSpam;
    }
    std::fflush(stdout);
    return last;
}

int commandExplain(QStringList args) {
    const bool entourage = args.removeAll("--entourage") > 0;
    if (args.size() != 1) {
        warn("explain needs one FILE (see junkward explain --help)");
        return kExitError;
    }
    bool errors = false;
    std::vector<SourceMessage> messages;
    if (!gatherMessages(args, false, &messages, &errors) || messages.empty())
        return kExitError;
    if (tooLargeForTheBus(messages.front()) || !ensureEngine())
        return kExitError;
    const platform::ScriptingReply reply = callEngine("Explain", {messages.front().bytes, entourage});
    if (!reply.ok || reply.values.isEmpty()) {
        warn(messages.front().origin + ": " + describeFailure(reply));
        return kExitError;
    }
    const QJsonDocument json = QJsonDocument::fromJson(reply.values.first().toString().toUtf8());
    if (!json.isObject()) {
        warn(messages.front().origin + ": the engine's explanation cannot be read");
        return kExitError;
    }
    const QByteArray text = formatExplanation(json.object().toVariantMap()).toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
    return 0;
}

int commandLearn(QStringList args, bool spam) {
    const bool entourage = args.removeAll("--entourage") > 0;
    if (args.isEmpty()) {
        warn(QStringLiteral("%1 needs at least one FILE (see junkward %1 --help)")
                 .arg(spam ? "learn-spam" : "learn-ham"));
        return kExitError;
    }
    // Batches go to the engine while the messages after them are read; messages
    // the bus cannot carry are left out.
    Progress progress(0, spam ? "Learned as spam:" : "Learned as good mail:");
    junkwardcli::BatchLearner learner(spam, entourage, [] { return ensureEngine(); });
    std::vector<QString> origins;  // of the messages handed to the learner
    std::size_t total = 0;
    std::size_t skipped = 0;
    bool errors = false;
    std::vector<SourceProblem> problems;
    for (const QString& file : args) {
        const bool read = forEachMessage(file, !entourage, &problems, [&](SourceMessage&& m) {
            ++total;
            if (tooLargeForTheBus(m)) {
                ++skipped;
                return;
            }
            origins.push_back(m.origin);
            learner.add(m.bytes);
        });
        if (!read)
            errors = true;
    }
    for (const SourceProblem& p : problems)
        warn(p.origin + " " + p.text);
    if (total == 0)
        return kExitError;
    progress.setTotal(total);
    std::vector<bool> learned;
    QString problem;
    const bool sent = learner.finish(
        &learned, [&](std::size_t done) { progress.step(done + skipped, skipped); }, &problem);
    if (!learner.engineReady())
        return kExitError;
    progress.breakLine();
    if (!sent)
        warn(problem);
    std::size_t refused = 0;
    for (std::size_t i = 0; i < learned.size(); ++i) {
        if (learned[i])
            continue;
        ++refused;
        if (sent)
            warn(origins[i] +
                 ": not learned (it cannot be parsed, or a filter refused it: see the engine's log)");
    }
    progress.finish(total, skipped + refused);
    return (!sent || skipped || errors) ? kExitError : 0;
}

int commandFilter(QStringList args) {
    const bool exitCode = args.removeAll("--exit-code") > 0;
    if (args.size() > 1 || (args.size() == 1 && args.first().startsWith("-") && args.first() != "-")) {
        warn("filter takes one message: junkward filter [--exit-code] [FILE]");
        return kExitError;
    }
    // 1. The message, whole, as bytes.
    QFile in;
    const bool opened = (args.isEmpty() || args.first() == "-")
                            ? in.open(stdin, QIODevice::ReadOnly)
                            : (in.setFileName(args.first()), in.open(QIODevice::ReadOnly));
    if (!opened) {
        warn((args.isEmpty() ? QStringLiteral("standard input") : args.first()) + " cannot be read");
        return kExitError;
    }
    QByteArray message;
    for (;;) {
        const QByteArray chunk = in.read(1 << 20);
        if (chunk.isEmpty())
            break;
        message += chunk;
    }
    if (in.error() != QFileDevice::NoError) {
        warn((args.isEmpty() ? QStringLiteral("standard input") : args.first()) +
             " cannot be read: " + in.errorString());
        return kExitError;
    }

    // 2. The verdict; the message passes whatever happens to it.
    const junkwardcli::Judgement judgement = junkwardcli::judgeMessage(message, false, kFilterTimeout);
    if (!judgement.ok)
        warn(judgement.problem);
    const QByteArray value = judgement.ok
                                 ? junkwardcli::verdictValue(judgement.spam(), judgement.reason, JUNKWARD_VERSION)
                                 : junkwardcli::unsureValue(judgement.error, JUNKWARD_VERSION);
    const QByteArray out = junkwardcli::withHeaders(
        message, {QByteArray(junkwardcli::kVerdictHeaderName) + ": " + value}, {junkwardcli::kVerdictHeaderName});

    // 3. Written whole, or a failure the delivery agent sees.
    std::fflush(stdout);
    const char* p = out.constData();
    qsizetype left = out.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            warn(QStringLiteral("the message could not be written: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno))));
            return kExitError;
        }
        p += n;
        left -= n;
    }
    if (!exitCode)
        return 0;
    return !judgement.ok ? kExitError : judgement.spam() ? kExitSpam : kExitNotSpam;
}

int commandQuery(const QStringList& args) {
    bool errors = false;
    std::vector<SourceMessage> messages;
    if (!gatherMessages(args, true, &messages, &errors))
        return kExitError;
    std::unique_ptr<platform::RemoteMessagePort> port = platform::RemoteMessagePort::connect(SievraMessagePortName);
    if (!port) {
        if (!ensureEngine())
            return kExitError;
        QElapsedTimer waited;
        waited.start();
        while (!port && waited.elapsed() < kStartTimeout * 1000) {
            QThread::msleep(50);
            port = platform::RemoteMessagePort::connect(SievraMessagePortName);
        }
        if (!port) {
            warn("the engine runs but its message port \"Sievra\" is missing");
            return kExitError;
        }
    }
    const bool prefix = messages.size() > 1 || args.size() > 1;
    int last = kExitError;
    for (const SourceMessage& m : messages) {
        QByteArray reply;
        const int status = port->sendRequest(SievraMessageIDFilterMail, m.bytes.left(SievraMaximumMessageBytes),
                                             SievraMessageTimeout, SievraMessageTimeout, true, &reply);
        if (status != platform::kMessagePortSuccess || reply.size() != 4) {
            warn(QStringLiteral("%1: the port answered with status %2 and %3 bytes")
                     .arg(m.origin)
                     .arg(status)
                     .arg(reply.size()));
            last = kExitError;
            if (status == platform::kMessagePortIsInvalid)
                break;
            continue;
        }
        qint32 value = 0;
        std::memcpy(&value, reply.constData(), sizeof value);
        say(stdout, (prefix ? m.origin + ": " : QString()) + (value == SievraReplySpam
                                                                  ? QStringLiteral("spam (%1)").arg(value)
                                                                  : QStringLiteral("not spam (%1)").arg(value)));
        last = value == SievraReplySpam ? kExitSpam : kExitNotSpam;
    }
    std::fflush(stdout);
    return last;
}

int commandLog() {
    const QString path = QDir(platform::folders::userLogs()).filePath("Junkward/Junkward Log.log");
    if (!QFile::exists(path)) {
        warn("there is no activity log yet (" + path + ")");
        return 1;
    }
    const std::optional<QVariantMap> log = platform::plist::readDictionary(path);
    if (!log) {
        warn("the activity log " + path + " cannot be read");
        return kExitError;
    }
    // Reason codes are shown as the log viewer names them when its table is installed.
    const QString frontEndPath = QDir(platform::folders::junkwardSupport()).filePath("Junkward X5.app");
    std::shared_ptr<platform::Bundle> frontEnd =
        QFileInfo(frontEndPath).isDir() ? platform::Bundle::open(frontEndPath) : nullptr;
    auto localise = [&](const QString& code) { return frontEnd ? frontEnd->localizedString(code, code, "Log") : code; };
    const QString text = exportLogText(log->value("Log").toList(), localise);
    const QByteArray utf8 = text.toUtf8();
    std::fwrite(utf8.constData(), 1, static_cast<size_t>(utf8.size()), stdout);
    return 0;
}

int commandSimple(const QString& method) {
    if (method == "Quit" && !platform::ScriptingBus::hasOwner(platform::kEngineBusName)) {
        warn("the engine is not running");
        return 0;
    }
    if (!ensureEngine())
        return kExitError;
    const platform::ScriptingReply reply = callEngine(method, {});
    if (!reply.ok) {
        warn(describeFailure(reply));
        return kExitError;
    }
    if (!reply.values.isEmpty())
        say(stdout, reply.values.first().toString());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    junkwardcli::adoptUserSession();
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.first() == "--help" || args.first() == "-h" || args.first() == "help") {
        std::fputs(kUsage, args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? kExitError : 0;
    }
    const QString command = args.takeFirst();
    if (args.contains("--help") || args.contains("-h")) {
        if (const QString help = helpFor(command); !help.isEmpty()) {
            std::fputs(help.toUtf8().constData(), stdout);
            return 0;
        }
    }
    if (command == "check")
        return commandCheck(args);
    if (command == "filter")
        return commandFilter(args);
    if (command == "learn-spam")
        return commandLearn(args, true);
    if (command == "learn-ham")
        return commandLearn(args, false);
    if (command == "query")
        return commandQuery(args);
    if (command == "explain")
        return commandExplain(args);
    if (command == "log")
        return commandLog();
    if (command == "filters-version")
        return commandSimple("GetFiltersVersion");
    if (command == "quit")
        return commandSimple("Quit");
    warn("unknown command \"" + command + "\"");
    std::fputs(kUsage, stderr);
    return kExitError;
}
