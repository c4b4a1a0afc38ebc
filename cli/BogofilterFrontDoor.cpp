// junkward-bogofilter: bogofilter's command line in front of the engine, so mail
// programs set up to run bogofilter (Evolution, Claws Mail, mutt macros,
// procmail and maildrop recipes) drive Junkward unchanged.
//
// Classification reads one message (standard input, -I FILE), or many (-M an
// mbox, -b names on standard input, -B names as arguments), and asks the whole
// engine. Exit status: 0 spam, 1 good mail, 3 error (the engine answers spam or
// not spam, so 2, unsure, is not given). Registration (-s, -n, -Sn, -Ns) trains
// every filter through the engine's batch method.

#include "cli/EngineClient.h"
#include "cli/MessageSource.h"
#include "cli/VerdictHeader.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

using namespace junkwardcli;

constexpr int kExitSpam = 0;
constexpr int kExitHam = 1;
constexpr int kExitError = 3;

constexpr double kJudgeTimeout = 120.0;
constexpr char kBogosityHeader[] = "X-Bogosity";

const char* kHelp =
    "Usage: junkward-bogofilter [options] < message\n"
    "\n"
    "bogofilter's command line, answered by the Junkward engine.\n"
    "\n"
    "Classification (exit status 0 spam, 1 good mail, 3 error):\n"
    "  (no option)               judge the message on standard input\n"
    "  -p, --passthrough         write the message with X-Junkward-Status and X-Bogosity\n"
    "                            added at the top (earlier ones removed)\n"
    "  -O, --output-file=FILE    with -p: write the message to FILE\n"
    "  -e, --ham-true            exit 0 unless there is an error\n"
    "  -u, --update-as-scored    learn the message as it was judged\n"
    "  -M, --classify-mbox       standard input (or -I) is an mbox: judge each message\n"
    "  -b, --classify-stdin      judge the files, mboxes and Maildirs named on standard input\n"
    "  -B, --classify-files      judge the files, mboxes and Maildirs named as arguments\n"
    "  -t, --terse               print \"Y\", \"N\" and a score\n"
    "  -T, --fixed-terse-format  print \"S\", \"H\" and a score\n"
    "  -v, --verbosity           print the X-Bogosity line\n"
    "Registration:\n"
    "  -s, --register-spam       learn the message(s) as spam\n"
    "  -n, --register-ham        learn the message(s) as good mail\n"
    "  -Sn, -Ns                  learn the other way: the engine takes the earlier\n"
    "                            training back (-S or -N alone is not supported)\n"
    "General:\n"
    "  -I, --input-file=FILE     read the message from FILE\n"
    "  -d, --bogofilter-dir=DIR  accepted and ignored (the engine keeps its own store)\n"
    "  -C, --no-config-file, -q, --quiet, --unicode=yes|no   accepted and ignored\n"
    "  -h, --help, -V, --version\n"
    "Every other bogofilter option is refused with exit status 3.\n";

void warn(const QString& text) {
    const QByteArray utf8 = ("junkward-bogofilter: " + text + "\n").toUtf8();
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stderr);
}

struct Options {
    bool spam = false, ham = false, unSpam = false, unHam = false;
    bool passthrough = false, embed = false, update = false, mbox = false;
    bool bulkStdin = false, bulkArgs = false;
    int terse = 0;  // 1: -t, 2: -T
    int verbose = 0;
    QString input, output;
    QStringList objects;
};

// Parses bogofilter's options: short ones may be bundled ("-Sn", "-vv"), those
// taking a value take the rest of the word or the next word. False, with a
// sentence in problem, for anything that is not supported.
bool parse(const QStringList& args, Options* o, QString* problem, bool* help, bool* version) {
    auto value = [&](qsizetype& i, const QString& word, qsizetype at, QString* out) {
        if (at < word.size()) {
            *out = word.mid(at);
            return true;
        }
        if (i + 1 >= args.size())
            return false;
        *out = args[++i];
        return true;
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& word = args[i];
        if (o->bulkArgs && !word.startsWith('-')) {
            o->objects << word;
            continue;
        }
        if (word.startsWith("--")) {
            const QString name = word.section('=', 0, 0);
            const QString argument = word.contains('=') ? word.section('=', 1) : QString();
            if (name == "--register-spam")
                o->spam = true;
            else if (name == "--register-ham")
                o->ham = true;
            else if (name == "--unregister-spam")
                o->unSpam = true;
            else if (name == "--unregister-nonspam")
                o->unHam = true;
            else if (name == "--passthrough")
                o->passthrough = true;
            else if (name == "--ham-true")
                o->embed = true;
            else if (name == "--update-as-scored")
                o->update = true;
            else if (name == "--classify-mbox")
                o->mbox = true;
            else if (name == "--classify-stdin")
                o->bulkStdin = true;
            else if (name == "--classify-files") {
                o->bulkArgs = true;
                if (!argument.isEmpty())
                    o->objects << argument;
            } else if (name == "--terse")
                o->terse = 1;
            else if (name == "--fixed-terse-format")
                o->terse = 2;
            else if (name == "--verbosity")
                ++o->verbose;
            else if (name == "--help")
                *help = true;
            else if (name == "--version")
                *version = true;
            else if (name == "--no-config-file" || name == "--quiet" || name == "--unicode") {
            } else if (name == "--bogofilter-dir" || name == "--input-file" || name == "--output-file") {
                QString v = argument;
                if (!word.contains('=')) {
                    if (i + 1 >= args.size()) {
                        *problem = name + " needs a value";
                        return false;
                    }
                    v = args[++i];
                }
                if (name == "--input-file")
                    o->input = v;
                else if (name == "--output-file")
                    o->output = v;
            } else {
                *problem = "the option " + name + " is not supported";
                return false;
            }
            continue;
        }
        if (!word.startsWith('-') || word.size() < 2) {
            *problem = "unexpected argument \"" + word + "\" (objects are named after -B)";
            return false;
        }
        for (qsizetype at = 1; at < word.size(); ++at) {
            const QChar c = word[at];
            QString v;
            switch (c.unicode()) {
            case 's':
                o->spam = true;
                break;
            case 'n':
                o->ham = true;
                break;
            case 'S':
                o->unSpam = true;
                break;
            case 'N':
                o->unHam = true;
                break;
            case 'p':
                o->passthrough = true;
                break;
            case 'e':
                o->embed = true;
                break;
            case 'u':
                o->update = true;
                break;
            case 'M':
                o->mbox = true;
                break;
            case 'b':
                o->bulkStdin = true;
                break;
            case 'B':
                o->bulkArgs = true;
                break;
            case 't':
                o->terse = 1;
                break;
            case 'T':
                o->terse = 2;
                break;
            case 'v':
                ++o->verbose;
                break;
            case 'q':
            case 'C':
                break;
            case 'h':
                *help = true;
                break;
            case 'V':
                *version = true;
                break;
            case 'd':
            case 'I':
            case 'O':
                if (!value(i, word, at + 1, &v)) {
                    *problem = QStringLiteral("-%1 needs a value").arg(c);
                    return false;
                }
                if (c == 'I')
                    o->input = v;
                if (c == 'O')
                    o->output = v;
                at = word.size();
                break;
            default:
                *problem = QStringLiteral("the option -%1 is not supported").arg(c);
                return false;
            }
        }
    }
    // Combinations the engine can do.
    if (o->spam && o->ham) {
        *problem = "-s and -n together make no sense";
        return false;
    }
    if ((o->unSpam && !o->ham) || (o->unHam && !o->spam) || (o->unSpam && o->unHam)) {
        *problem =
            "-S and -N are supported only as -Sn and -Ns: the engine takes a training back "
            "when the message is learned the other way";
        return false;
    }
    if ((o->spam || o->ham) && (o->update || o->passthrough)) {
        *problem = "registration does not go with -u or -p";
        return false;
    }
    if (!o->output.isEmpty() && !o->passthrough) {
        *problem = "-O needs -p";
        return false;
    }
    if (o->bulkStdin && o->bulkArgs) {
        *problem = "-b and -B together make no sense";
        return false;
    }
    return true;
}

bool writeAll(int fd, const QByteArray& bytes) {
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

bool readAll(const QString& path, QByteArray* bytes) {
    QFile in;
    const bool opened =
        path.isEmpty() ? in.open(stdin, QIODevice::ReadOnly) : (in.setFileName(path), in.open(QIODevice::ReadOnly));
    if (!opened)
        return false;
    *bytes = in.readAll();
    return in.error() == QFileDevice::NoError;
}

// The messages of the objects named (files, mboxes, Maildirs); problems are told.
std::vector<SourceMessage> messagesOf(const QStringList& objects) {
    std::vector<SourceMessage> messages;
    std::vector<SourceProblem> problems;
    for (const QString& object : objects)
        forEachMessage(object, true, &problems, [&](SourceMessage&& m) { messages.push_back(std::move(m)); });
    for (const SourceProblem& p : problems)
        warn(p.origin + " " + p.text);
    return messages;
}

// The X-Bogosity line bogofilter would print, with the engine's reason.
QByteArray bogosityLine(const Judgement& j) {
    if (!j.ok)
        return QByteArray(kBogosityHeader) + ": Unsure, tests=junkward, error=" + j.error +
               ", spamicity=0.500000, version=" JUNKWARD_VERSION;
    return QByteArray(kBogosityHeader) + (j.spam() ? ": Spam" : ": Ham") +
           ", tests=junkward, reason=" + headerToken(j.reason.toUtf8()) +
           (j.spam() ? ", spamicity=1.000000" : ", spamicity=0.000000") + ", version=" JUNKWARD_VERSION;
}

QByteArray terseLine(const Judgement& j, int terse) {
    const char letter = !j.ok ? 'U' : j.spam() ? (terse == 2 ? 'S' : 'Y') : (terse == 2 ? 'H' : 'N');
    return QByteArray(1, letter) + (!j.ok ? " 0.500000" : j.spam() ? " 1.000000" : " 0.000000");
}

int registerMessages(const Options& o, const std::vector<SourceMessage>& messages) {
    QByteArrayList bytes;
    for (const SourceMessage& m : messages)
        bytes << m.bytes;
    QByteArray error;
    QString problem;
    if (!ensureEngine(&error, &problem)) {
        warn(problem);
        return kExitError;
    }
    std::vector<bool> learned;
    if (!learnMessages(bytes, o.spam, false, &learned, {}, &problem)) {
        warn(problem);
        return kExitError;
    }
    for (std::size_t i = 0; i < learned.size(); ++i)
        if (!learned[i])
            warn(messages[i].origin + ": not learned (it cannot be parsed, or a filter refused it)");
    return 0;
}

int classify(const Options& o, const std::vector<SourceMessage>& messages, bool bulk) {
    int status = kExitHam;
    bool errors = false;
    QByteArray printed;
    for (const SourceMessage& m : messages) {
        const Judgement j = judgeMessage(m.bytes, false, kJudgeTimeout);
        if (!j.ok) {
            warn((bulk ? m.origin + ": " : QString()) + j.problem);
            errors = true;
        }
        status = !j.ok ? kExitError : j.spam() ? kExitSpam : kExitHam;
        if (o.update && j.ok) {
            const platform::ScriptingReply r = callEngine(
                j.spam() ? QStringLiteral("LearnSpam") : QStringLiteral("LearnHam"), {m.bytes, false}, 600.0);
            if (!r.ok) {
                warn(describeFailure(r));
                errors = true;
            }
        }
        const QByteArray prefix = bulk ? m.origin.toLocal8Bit() + ' ' : QByteArray();
        if (o.passthrough) {
            const QByteArray header =
                QByteArray(kVerdictHeaderName) + ": " +
                (j.ok ? verdictValue(j.spam(), j.reason, JUNKWARD_VERSION) : unsureValue(j.error, JUNKWARD_VERSION));
            printed += withHeaders(m.bytes, {header, bogosityLine(j)}, {kVerdictHeaderName, kBogosityHeader});
        } else if (o.terse) {
            printed += prefix + terseLine(j, o.terse) + '\n';
        } else if (o.verbose) {
            printed += prefix + bogosityLine(j) + '\n';
        }
        // Claws Mail reads each answer before it names the next file.
        if (bulk && !o.passthrough) {
            if (!writeAll(STDOUT_FILENO, printed))
                return kExitError;
            printed.clear();
        }
    }
    if (!o.output.isEmpty()) {
        QSaveFile file(o.output);
        if (!file.open(QIODevice::WriteOnly) || file.write(printed) != printed.size() || !file.commit()) {
            warn(o.output + " cannot be written");
            return kExitError;
        }
    } else if (!writeAll(STDOUT_FILENO, printed)) {
        warn("standard output cannot be written");
        return kExitError;
    }
    if (errors)
        return kExitError;
    return o.embed ? 0 : status;
}

}  // namespace

int main(int argc, char** argv) {
    junkwardcli::adoptUserSession();
    QCoreApplication app(argc, argv);
    Options o;
    QString problem;
    bool help = false, version = false;
    if (!parse(app.arguments().mid(1), &o, &problem, &help, &version)) {
        warn(problem + " (see junkward-bogofilter --help)");
        return kExitError;
    }
    if (help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (version) {
        std::puts("junkward-bogofilter " JUNKWARD_VERSION " (Junkward engine; bogofilter's command line)");
        return 0;
    }

    // The messages: named objects, names read line by line, or one input.
    const bool bulk = o.bulkArgs || o.bulkStdin;
    const bool registering = o.spam || o.ham;
    if (o.bulkStdin) {
        // Each name is answered before the next is read: a mail program waits
        // for the answer to one file before it sends the next name.
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            warn("standard input cannot be read");
            return kExitError;
        }
        std::vector<SourceMessage> all;
        int status = kExitHam;
        QByteArray line;
        char c;
        while (in.getChar(&c)) {
            if (c != '\n') {
                line += c;
                continue;
            }
            const QString name = QString::fromLocal8Bit(line).trimmed();
            line.clear();
            if (name.isEmpty())
                continue;
            std::vector<SourceMessage> some = messagesOf({name});
            if (registering) {
                for (SourceMessage& m : some)
                    all.push_back(std::move(m));
            } else {
                status = classify(o, some, true);
                if (status == kExitError && !o.embed)
                    return status;
            }
        }
        if (!line.trimmed().isEmpty()) {
            std::vector<SourceMessage> some = messagesOf({QString::fromLocal8Bit(line).trimmed()});
            if (registering)
                for (SourceMessage& m : some)
                    all.push_back(std::move(m));
            else
                status = classify(o, some, true);
        }
        return registering ? registerMessages(o, all) : status;
    }

    std::vector<SourceMessage> messages;
    if (o.bulkArgs) {
        messages = messagesOf(o.objects);
    } else {
        QByteArray bytes;
        if (!readAll(o.input, &bytes)) {
            warn((o.input.isEmpty() ? QStringLiteral("standard input") : o.input) + " cannot be read");
            return kExitError;
        }
        const QString origin = o.input.isEmpty() ? QStringLiteral("-") : o.input;
        // An mbox is split when asked (-M) and, as bogofilter does, when registering.
        if ((o.mbox || registering) && looksLikeMbox(bytes)) {
            int n = 0;
            for (QByteArray& m : splitMbox(bytes))
                messages.push_back({QStringLiteral("%1#%2").arg(origin).arg(++n), std::move(m)});
        } else {
            messages.push_back({origin, std::move(bytes)});
        }
    }
    if (messages.empty()) {
        warn("there is no message");
        return kExitError;
    }
    return registering ? registerMessages(o, messages) : classify(o, messages, bulk || o.mbox);
}
