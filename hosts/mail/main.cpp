// junkward-mail: a small mail program that keeps its mailboxes in the user's Mail
// folder, evaluates its rules on new mail and loads mail plug-in bundles.
//
//   junkward-mail [--no-window] [--rule-threads N]      run the host
//   junkward-mail deliver [--rule-threads N] FILE|MAILDIR...
//   junkward-mail mailboxes | messages MAILBOX | selection | select FILE...
//   junkward-mail move MAILBOX FILE... | empty MAILBOX | menu TITLE [--confirm]

#include "hosts/mail/MailHost.h"
#include "platform/Folders.h"
#include "platform/ScriptingBus.h"

#include <QApplication>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace mailhost;

constexpr int kExitError = 2;
constexpr double kCallTimeout = 3600.0;  // a delivery of many messages, a training script

const char* kUsage =
    "Usage: junkward-mail [--no-window] [--rule-threads N]\n"
    "       junkward-mail deliver [--rule-threads N] FILE|MAILDIR...\n"
    "       junkward-mail mailboxes | messages MAILBOX | selection | select FILE...\n"
    "       junkward-mail move MAILBOX FILE... | empty MAILBOX | menu TITLE [--confirm]\n"
    "       junkward-mail --screenshot FOLDER\n"
    "\n"
    "Without a command, runs the mail host: mailboxes in <user Library>/Mail/Mailboxes,\n"
    "rules from MessageRules.plist, plug-ins from Mail/Bundles, new mail taken from the\n"
    "Maildir Mail/Incoming. --no-window runs it without a window.\n"
    "deliver puts messages (files, Maildirs, folders of files) into INBOX and runs the\n"
    "rules on them, through the running host when there is one. Exit status 0 when every\n"
    "message was delivered, 2 otherwise.\n"
    "The other commands ask the running host: its mailboxes, the messages of one, the\n"
    "selected messages (one path a line), a new selection, moving messages, emptying a\n"
    "mailbox, choosing a menu item (--confirm answers its confirmation with yes).\n"
    "--screenshot renders the window (INBOX, Spam, the plug-in's menu) into FOLDER as PNG\n"
    "files and ends.\n";

void printLines(const QStringList& lines, FILE* stream = stdout) {
    for (const QString& line : lines)
        std::fprintf(stream, "%s\n", line.toUtf8().constData());
}

bool hostRunning() { return platform::ScriptingBus::hasOwner(QLatin1String(kMailBusName)); }

platform::ScriptingReply callHost(const QString& method, const QVariantList& arguments) {
    return platform::ScriptingBus::call(QLatin1String(kMailBusName), QLatin1String(kMailObjectPath),
                                        QLatin1String(kMailInterface), method, arguments, kCallTimeout);
}

int reportDelivery(int delivered, int failed, const QStringList& problems, const std::vector<RuleOutcome>& outcomes) {
    printLines(problems, stderr);
    QMap<QString, int> counts;
    for (const RuleOutcome& o : outcomes)
        counts[o.mailbox.isEmpty() ? QStringLiteral("(gone)") : o.mailbox]++;
    QStringList parts;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        parts << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    std::printf("delivered %d, failed %d%s%s\n", delivered, failed, parts.isEmpty() ? "" : ": ",
                parts.join(QStringLiteral(", ")).toUtf8().constData());
    return failed == 0 ? 0 : kExitError;
}

int clientCommand(const QString& command, QStringList args) {
    if (!hostRunning()) {
        std::fprintf(stderr, "junkward-mail: no mail host is running\n");
        return kExitError;
    }
    platform::ScriptingReply reply;
    if (command == QLatin1String("mailboxes")) {
        reply = callHost(QStringLiteral("Mailboxes"), {});
    } else if (command == QLatin1String("messages") && args.size() == 1) {
        reply = callHost(QStringLiteral("Messages"), {args[0]});
    } else if (command == QLatin1String("selection")) {
        reply = callHost(QStringLiteral("Selection"), {});
    } else if (command == QLatin1String("select")) {
        for (QString& a : args)
            a = QFileInfo(a).absoluteFilePath();
        reply = callHost(QStringLiteral("Select"), {args});
    } else if (command == QLatin1String("move") && args.size() >= 2) {
        const QString mailbox = args.takeFirst();
        for (QString& a : args)
            a = QFileInfo(a).absoluteFilePath();
        reply = callHost(QStringLiteral("MoveMessages"), {args, mailbox});
    } else if (command == QLatin1String("empty") && args.size() == 1) {
        reply = callHost(QStringLiteral("EmptyMailbox"), {args[0]});
    } else if (command == QLatin1String("menu") && !args.isEmpty()) {
        const bool confirm = args.removeAll(QStringLiteral("--confirm")) > 0;
        reply =
            callHost(QStringLiteral("ActivateMenuItem"),
                     {args.join(QLatin1Char(' ')), confirm ? QStringLiteral("default") : QStringLiteral("alternate")});
        if (reply.ok && !reply.values.value(0).toBool()) {
            std::fprintf(stderr, "junkward-mail: no menu item \"%s\"\n",
                         args.join(QLatin1Char(' ')).toUtf8().constData());
            return kExitError;
        }
    } else {
        std::fputs(kUsage, stderr);
        return kExitError;
    }
    if (!reply.ok) {
        std::fprintf(stderr, "junkward-mail: %s\n", reply.errorMessage.toUtf8().constData());
        return kExitError;
    }
    const QVariant value = reply.values.value(0);
    if (value.typeId() == QMetaType::QStringList)
        printLines(value.toStringList());
    else if (value.typeId() == QMetaType::Int)
        std::printf("%d\n", value.toInt());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    MailHost::Options options;
    QString command;
    QStringList rest;
    QString screenshots;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--no-window")) {
            options.window = false;
        } else if (a == QLatin1String("--rule-threads") && i + 1 < args.size()) {
            bool ok = false;
            options.ruleThreads = args[++i].toInt(&ok);
            if (!ok || options.ruleThreads < 1 || options.ruleThreads > 64) {
                std::fputs("junkward-mail: --rule-threads takes a number from 1 to 64\n", stderr);
                return kExitError;
            }
        } else if (a == QLatin1String("--screenshot") && i + 1 < args.size()) {
            screenshots = args[++i];
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (command.isEmpty() && !a.startsWith(QLatin1String("--"))) {
            command = a;
        } else if (!command.isEmpty()) {
            rest << a;
        } else {
            std::fprintf(stderr, "junkward-mail: unknown option %s\n%s", a.toLocal8Bit().constData(), kUsage);
            return kExitError;
        }
    }
    if (!command.isEmpty())
        options.window = false;
    if (!screenshots.isEmpty())
        options.window = true;
    // Without a window the host needs no display.
    if ((!options.window || !screenshots.isEmpty()) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Mail"));

    if (!command.isEmpty() && command != QLatin1String("deliver"))
        return clientCommand(command, rest);

    if (command == QLatin1String("deliver")) {
        if (rest.isEmpty()) {
            std::fputs(kUsage, stderr);
            return kExitError;
        }
        QStringList sources;
        for (const QString& r : rest)
            sources << QFileInfo(r).absoluteFilePath();
        if (hostRunning()) {
            const platform::ScriptingReply reply = callHost(QStringLiteral("Deliver"), {sources});
            if (!reply.ok) {
                std::fprintf(stderr, "junkward-mail: %s\n", reply.errorMessage.toUtf8().constData());
                return kExitError;
            }
            return reportDelivery(reply.values.value(0).toInt(), reply.values.value(1).toInt(),
                                  reply.values.value(2).toStringList(), {});
        }
        MailHost host(platform::folders::userMail(), options);
        host.loadBundles();
        int status = kExitError;
        host.deliver(sources, [&status](const DeliverySummary& s) {
            status = reportDelivery(s.delivered, s.failed, s.problems, s.outcomes);
            QCoreApplication::exit(status);
        });
        return app.exec();
    }

    MailHost host(platform::folders::userMail(), options);
    if (!host.exportOnBus()) {
        std::fprintf(stderr, "junkward-mail: another mail host runs (or the session bus is not reachable)\n");
        return 1;
    }
    host.loadBundles();
    host.watchIncoming();
    host.showWindow();
    if (!screenshots.isEmpty()) {
        // Once the window has settled: its pictures, then the end.
        QTimer::singleShot(1000, &host, [&host, screenshots] {
            QCoreApplication::exit(host.saveScreenshots(screenshots) ? 0 : kExitError);
        });
    }
    return app.exec();
}
