// The engine behind the mail programs Linux users run: "junkward filter" as a
// delivery filter, the shipped procmail, maildrop and Sieve files driven by
// the real programs into Maildirs, and junkward-bogofilter under the command
// lines Evolution and Claws Mail use.
#include "EngineTestSupport.h"

#include "platform/ScriptingBus.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <sys/stat.h>

namespace {

using enginetest::Sandbox;

struct Outcome {
    int exit = -1;
    QByteArray out;
    QString err;
};

// Runs a program to its end with input on standard input.
Outcome run(const QString& program, const QStringList& arguments, const QByteArray& input = {},
            const QStringList& extraEnvironment = {}) {
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : extraEnvironment) {
        const QString name = entry.section('=', 0, 0);
        if (entry.contains('='))
            env.insert(name, entry.section('=', 1));
        else
            env.remove(name);
    }
    process.setProcessEnvironment(env);
    process.start();
    Outcome r;
    if (!process.waitForStarted(10000))
        return r;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(300000)) {
        process.kill();
        process.waitForFinished(5000);
        return r;
    }
    r.exit = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.out = process.readAllStandardOutput();
    r.err = QString::fromUtf8(process.readAllStandardError());
    return r;
}

QString staged(const char* name) { return testsupport::stagedProgram(QString::fromLatin1(name)); }

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes, int mode = 0644) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

QByteArray testMail(const char* name) {
    return readFile(QString::fromLocal8Bit(std::getenv("JUNKWARD_SOURCE_DIR")) + "/engine/tests/mail/" + name);
}

QString integration(const QString& file) {
    return QString::fromLocal8Bit(std::getenv("JUNKWARD_SOURCE_DIR")) + "/integrations/" + file;
}

// The message files of one Maildir folder (its new/ and cur/).
QStringList maildirMessages(const QString& folder) {
    QStringList files;
    for (const char* sub : {"/new", "/cur"})
        for (const QFileInfo& f : QDir(folder + sub).entryInfoList(QDir::Files))
            files << f.filePath();
    return files;
}

// The message with a forged, folded verdict saying it is good mail, after its
// first header.
QByteArray withForgedVerdict(const QByteArray& message) {
    qsizetype at = message.indexOf('\n') + 1;
    while (at > 0 && at < message.size() && (message[at] == ' ' || message[at] == '\t'))
        at = message.indexOf('\n', at) + 1;
    return message.left(at) + "X-Junkward-Status: No, reason=WHITELIST,\n version=5.0.0\n" + message.mid(at);
}

// A line of "junkward log" for a message learned as spam (good mail): the code,
// or its name when the front end's string table is installed.
bool learnedAs(const QString& line, bool spam) {
    return line.contains(spam ? "LEARN_SPAM" : "LEARN_HAM") ||
           line.contains(spam ? "Learned as spam" : "Learned as good");
}

const QByteArray kSpamVerdict = "X-Junkward-Status: Yes, reason=INT_AFTERHTML, version=" JUNKWARD_TEST_VERSION;
const QByteArray kHamVerdict = "X-Junkward-Status: No, reason=INT_SIGNED, version=" JUNKWARD_TEST_VERSION;

// A session bus that other users may reach: the Sieve programs run as the
// unprivileged mail user when the tests run as root.
class OpenBus {
public:
    explicit OpenBus(const QString& folder) {
        const QString socket = folder + "/bus";
        writeFile(
            folder + "/bus.conf",
            QStringLiteral(
                "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig><type>session</type><listen>unix:path=%1</listen>"
                "<servicedir>%2/share/dbus-1/services</servicedir>"
                "<policy context=\"default\"><allow user=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                "<allow eavesdrop=\"true\"/>"
                "<allow own=\"*\"/></policy>"
                "<limit name=\"max_message_size\">1000000000</limit></busconfig>\n")
                .arg(socket, QString::fromLocal8Bit(std::getenv("JUNKWARD_STAGE")))
                .toUtf8());
        address_ = "unix:path=" + socket;
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.toLocal8Bit().constData(), 1);
        daemon_.setProgram("dbus-daemon");
        daemon_.setArguments({"--config-file=" + folder + "/bus.conf", "--nofork"});
        daemon_.start();
        testsupport::waitUntil([&] { return QFileInfo::exists(socket); }, 10000);
        ready_ = QFileInfo::exists(socket) && ::chmod(QFile::encodeName(socket).constData(), 0777) == 0;
    }
    ~OpenBus() {
        daemon_.terminate();
        if (!daemon_.waitForFinished(5000))
            daemon_.kill();
    }
    bool ready() const { return ready_; }
    QString address() const { return address_; }

private:
    QProcess daemon_;
    QString address_;
    bool ready_ = false;
};

class MailPrograms : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QFileInfo(staged("junkward")).isExecutable());
        ASSERT_TRUE(QFileInfo(staged("junkward-bogofilter")).isExecutable());
        // A folder every user may enter, for the bus and the Sieve runs.
        char open[] = "/tmp/jkwm-XXXXXX";
        ASSERT_TRUE(::mkdtemp(open));
        open_ = QString::fromLocal8Bit(open);
        ::chmod(open, 0755);
        bus_ = std::make_unique<OpenBus>(open_);
        ASSERT_TRUE(bus_->ready());
        spam_ = testMail("spam.eml");
        ham_ = testMail("ham.eml");
        ASSERT_FALSE(spam_.isEmpty());
        ASSERT_FALSE(ham_.isEmpty());
        // The engine, started once so that every program finds it running.
        ASSERT_EQ(run(staged("junkward"), {"filters-version"}).exit, 0);
    }
    void TearDown() override {
        run(staged("junkward"), {"quit"});
        testsupport::waitUntil([] { return !platform::ScriptingBus::hasOwner(platform::kEngineBusName); }, 10000);
        bus_.reset();
        QDir(open_).removeRecursively();
    }
    // The activity log of the engine as text (the engine quits to write it).
    QString logText() {
        run(staged("junkward"), {"quit"});
        testsupport::waitUntil([] { return !platform::ScriptingBus::hasOwner(platform::kEngineBusName); }, 10000);
        return QString::fromUtf8(run(staged("junkward"), {"log"}).out);
    }
    QString binFolder() {
        // The programs as a delivery agent finds them on its PATH.
        const QString bin = open_ + "/bin";
        QDir().mkpath(bin);
        for (const char* name : {"junkward", "junkward-bogofilter"}) {
            // Dovecot runs programs with an empty environment: the wrapper names the bus.
            writeFile(bin + "/" + name,
                      QStringLiteral("#!/bin/sh\nexec env DBUS_SESSION_BUS_ADDRESS='%1' HOME=/tmp '%2' \"$@\"\n")
                          .arg(bus_->address(), staged(name))
                          .toUtf8(),
                      0755);
        }
        return bin;
    }

    Sandbox box;
    QString open_;
    std::unique_ptr<OpenBus> bus_;
    QByteArray spam_, ham_;
};

TEST_F(MailPrograms, filterAddsOneVerdictAndKeepsEveryOtherByte) {
    QByteArray crlf = spam_;
    crlf.replace("\n", "\r\n");
    const struct {
        const char* name;
        QByteArray in;
        QByteArray expected;
        int exitCode;
    } cases[] = {
        {"spam with a forged verdict", withForgedVerdict(spam_), kSpamVerdict + "\n" + spam_, 0},
        {"spam with CR LF, no final line end", crlf.chopped(2), kSpamVerdict + "\r\n" + crlf.chopped(2), 0},
        // The mbox separator line stays first.
        {"good mail from an mbox", ham_,
         ham_.left(ham_.indexOf('\n') + 1) + kHamVerdict + "\n" + ham_.mid(ham_.indexOf('\n') + 1), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome plain = run(staged("junkward"), {"filter"}, c.in);
        EXPECT_EQ(plain.exit, 0) << plain.err.toStdString();
        EXPECT_EQ(plain.out, c.expected);
        const Outcome coded = run(staged("junkward"), {"filter", "--exit-code"}, c.in);
        EXPECT_EQ(coded.exit, c.exitCode);
        EXPECT_EQ(coded.out, c.expected);
    }
}

TEST_F(MailPrograms, filterPassesTheMessageWhenTheEngineCannotJudgeIt) {
    const QByteArray huge = spam_ + QByteArray(64 * 1024 * 1024, 'x');
    const struct {
        const char* name;
        QByteArray in;
        QByteArray rest;
        QStringList environment;
        const char* error;
    } cases[] = {
        {"no session bus",
         withForgedVerdict(spam_).chopped(1),
         spam_.chopped(1),
         {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + open_ + "/no-bus"},
         "no-session-bus"},
        {"larger than the bus carries", huge, huge, {}, "message-too-large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome r = run(staged("junkward"), {"filter"}, c.in, c.environment);
        EXPECT_EQ(r.exit, 0) << r.err.toStdString();
        EXPECT_TRUE(r.out == "X-Junkward-Status: Unsure, error=" + QByteArray(c.error) +
                                 ", version=" JUNKWARD_TEST_VERSION "\n" + c.rest)
            << r.out.left(200).toStdString();
        EXPECT_EQ(run(staged("junkward"), {"filter", "--exit-code"}, c.in, c.environment).exit, 2);
    }
}

TEST_F(MailPrograms, procmailAndMaildropFileSpamIntoJunkThroughTheShippedFiles) {
    const QString path = binFolder() + ":/usr/bin:/bin";
    const QByteArray forged = withForgedVerdict(spam_);
    // A message of an mbox arrives without its separator line.
    const QByteArray ham = ham_.mid(ham_.indexOf('\n') + 1);
    struct Agent {
        const char* name;
        std::function<Outcome(const QString& home, const QByteArray& message)> deliver;
    };
    const Agent agents[] = {
        {"procmail",
         [&](const QString& home, const QByteArray& message) {
             const QString rc = home + "/.procmailrc";
             writeFile(rc,
                       QStringLiteral("PATH=%1\nMAILDIR=%2/Maildir\nDEFAULT=$MAILDIR/\nINCLUDERC=%3\n:0\n$DEFAULT\n")
                           .arg(path, home, integration("procmail/junkward.procmailrc"))
                           .toUtf8(),
                       0600);
             return run("procmail", {"-m", rc}, message, {"HOME=" + home});
         }},
        {"maildrop",
         [&](const QString& home, const QByteArray& message) {
             const QString rc = home + "/.mailfilter";
             writeFile(rc,
                       QStringLiteral("PATH=\"%1\"\nDEFAULT=\"%2/Maildir\"\ninclude \"%3\"\nto \"$DEFAULT\"\n")
                           .arg(path, home, integration("maildrop/junkward.mailfilter"))
                           .toUtf8(),
                       0600);
             return run("maildrop", {rc}, message, {"HOME=" + home});
         }},
    };
    for (const Agent& agent : agents) {
        SCOPED_TRACE(agent.name);
        if (QStandardPaths::findExecutable(agent.name).isEmpty())
            GTEST_FAIL() << agent.name << " is not installed (scripts/install-deps)";
        const QString home = open_ + "/" + agent.name;
        for (const char* sub : {"/Maildir/new", "/Maildir/cur", "/Maildir/tmp"})
            QDir().mkpath(home + sub);
        Outcome r = agent.deliver(home, forged);
        EXPECT_EQ(r.exit, 0) << r.err.toStdString();
        r = agent.deliver(home, ham);
        EXPECT_EQ(r.exit, 0) << r.err.toStdString();

        const QStringList junk = maildirMessages(home + "/Maildir/.Junk");
        const QStringList inbox = maildirMessages(home + "/Maildir");
        ASSERT_EQ(junk.size(), 1);
        ASSERT_EQ(inbox.size(), 1);
        // Delivery agents may add their own trace lines above ours ("From ", Return-Path).
        const QByteArray junkMessage = readFile(junk[0]);
        EXPECT_TRUE(junkMessage.endsWith(kSpamVerdict + "\n" + spam_)) << junkMessage.left(300).toStdString();
        EXPECT_EQ(junkMessage.count("X-Junkward-Status"), 1);
        EXPECT_TRUE(readFile(inbox[0]).endsWith(kHamVerdict + "\n" + ham))
            << readFile(inbox[0]).left(300).toStdString();
    }
}

TEST_F(MailPrograms, dovecotSieveFilesSpamIntoJunkOnDelivery) {
    if (QStandardPaths::findExecutable("sieve-test").isEmpty())
        GTEST_FAIL() << "sieve-test is not installed (dovecot-sieve, scripts/install-deps)";
    const QString bin = binFolder();
    // Dovecot refuses to deliver as root: then the scripts run as nobody.
    const bool root = ::geteuid() == 0;
    const QString config = open_ + "/dovecot.conf";
    writeFile(config, QStringLiteral(
                          "mail_uid = %1\nmail_gid = %2\nbase_dir = %3/run\nlog_path = /dev/stderr\n"
                          "plugin {\n  sieve_plugins = sieve_extprograms sieve_imapsieve\n"
                          "  sieve_global_extensions = +vnd.dovecot.execute +vnd.dovecot.filter "
                          "+vnd.dovecot.pipe +vnd.dovecot.environment\n"
                          "  sieve_execute_bin_dir = %4\n  sieve_filter_bin_dir = %4\n  sieve_pipe_bin_dir = %4\n}\n")
                          .arg(root ? 65534 : ::getuid())
                          .arg(root ? 65534 : ::getgid())
                          .arg(open_, bin)
                          .toUtf8());
    // sieve-test writes each compiled script beside it.
    const QString scripts = open_ + "/sieve";
    QDir().mkpath(scripts);
    for (const char* name : {"junkward.sieve", "junkward-header.sieve"})
        ASSERT_TRUE(writeFile(scripts + "/" + name, readFile(integration(QStringLiteral("sieve/") + name)), 0666));
    ::chmod(QFile::encodeName(scripts).constData(), 0777);
    const QString spamFile = open_ + "/spam.eml", hamFile = open_ + "/ham.eml";
    writeFile(spamFile, spam_);
    writeFile(hamFile, ham_.mid(ham_.indexOf('\n') + 1));

    // Delivery: spam into Junk, good mail into the inbox; with the filter, the header.
    for (const char* script : {"junkward.sieve", "junkward-header.sieve"}) {
        SCOPED_TRACE(script);
        const QString mail = open_ + "/mail-" + script;
        QDir().mkpath(mail);
        run("chmod", {"-R", "a+rwX", mail});
        for (const QString& message : {spamFile, hamFile}) {
            const Outcome r =
                run("sieve-test", {"-c", config, "-e", "-l", "maildir:" + mail, scripts + "/" + script, message});
            EXPECT_EQ(r.exit, 0) << r.err.toStdString();
        }
        const QStringList junk = maildirMessages(mail + "/.Junk");
        const QStringList inbox = maildirMessages(mail);
        ASSERT_EQ(junk.size(), 1);
        ASSERT_EQ(inbox.size(), 1);
        const bool header = QByteArray(script) == "junkward-header.sieve";
        EXPECT_EQ(readFile(junk[0]), header ? kSpamVerdict + "\n" + spam_ : spam_);
        EXPECT_TRUE(readFile(inbox[0]).endsWith(ham_.mid(ham_.indexOf('\n') + 1)));
    }

    const QString log = logText();
    EXPECT_FALSE(learnedAs(log, true) || learnedAs(log, false)) << "delivery teaches nothing";
}

TEST_F(MailPrograms, imapSieveLearnsWhatTheUserMovesIntoAndOutOfJunk) {
    const QString imap = "/usr/lib/dovecot/imap";
    if (!QFileInfo(imap).isExecutable())
        GTEST_FAIL() << "Dovecot's imap is not installed (dovecot-imapd, scripts/install-deps)";
    // Each run of junkward-bogofilter leaves its options in a file, then runs the tool.
    const QString bin = binFolder();
    const QString calls = open_ + "/calls";
    writeFile(
        bin + "/junkward-bogofilter",
        QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1'\nexec env DBUS_SESSION_BUS_ADDRESS='%2' HOME=/tmp '%3' \"$@\"\n")
            .arg(calls, bus_->address(), staged("junkward-bogofilter"))
            .toUtf8(),
        0755);
    writeFile(calls, {}, 0666);
    const QString mail = open_ + "/imap-mail";
    writeFile(mail + "/new/1.eml", spam_, 0666);
    writeFile(mail + "/new/2.eml", ham_.mid(ham_.indexOf('\n') + 1), 0666);
    QDir().mkpath(mail + "/cur");
    QDir().mkpath(mail + "/tmp");
    run("chmod", {"-R", "a+rwX", mail});
    const bool root = ::geteuid() == 0;
    const QString config = open_ + "/imap.conf";
    writeFile(config,
              QStringLiteral("mail_uid = %1\nmail_gid = %2\nbase_dir = %3/run-imap\nlog_path = /dev/stderr\n"
                             "mail_location = maildir:%4\nprotocol imap {\n  mail_plugins = imap_sieve\n}\n"
                             "plugin {\n  sieve_plugins = sieve_imapsieve sieve_extprograms\n"
                             "  sieve_global_extensions = +vnd.dovecot.pipe +vnd.dovecot.environment\n"
                             "  sieve_pipe_bin_dir = %5\n")
                      .arg(root ? 65534 : ::getuid())
                      .arg(root ? 65534 : ::getgid())
                      .arg(open_, mail, bin)
                      .toUtf8() +
                  // The settings the shipped configuration gives, with the shipped scripts.
                  QStringLiteral("  imapsieve_mailbox1_name = Junk\n  imapsieve_mailbox1_causes = COPY APPEND\n"
                                 "  imapsieve_mailbox1_before = file:%1\n"
                                 "  imapsieve_mailbox2_name = *\n  imapsieve_mailbox2_from = Junk\n"
                                 "  imapsieve_mailbox2_causes = COPY\n  imapsieve_mailbox2_before = file:%2\n}\n")
                      .arg(integration("sieve/report-spam.sieve"), integration("sieve/report-ham.sieve"))
                      .toUtf8());
    // Both into Junk, the good one back to the inbox, the spam to the Trash.
    const Outcome session = run(imap, {"-c", config},
                                "a CREATE Junk\r\nb CREATE Trash\r\nc SELECT INBOX\r\nd MOVE 1:* Junk\r\n"
                                "e SELECT Junk\r\nf SEARCH RETURN (SAVE) SUBJECT \"Sequences\"\r\ng MOVE $ INBOX\r\n"
                                "h SEARCH RETURN (SAVE) ALL\r\ni MOVE $ Trash\r\nz LOGOUT\r\n",
                                {"USER=junkward-test", "HOME=" + open_});
    ASSERT_EQ(session.exit, 0) << session.err.toStdString();
    for (const char* tag : {"d OK", "g OK", "i OK"})
        EXPECT_TRUE(session.out.contains(tag)) << session.out.toStdString();
    EXPECT_EQ(readFile(calls), "-s\n-s\n-Sn\n");
    const QStringList log = logText().split('\n');
    EXPECT_EQ(log.filter("Sequences").size(), 1) << log.join('\n').toStdString();
    EXPECT_TRUE(learnedAs(log.filter("Sequences").value(0), false)) << log.join('\n').toStdString();
    EXPECT_EQ(log.filter("hinet").size(), 1) << log.join('\n').toStdString();
    EXPECT_TRUE(learnedAs(log.filter("hinet").value(0), true)) << log.join('\n').toStdString();
}

TEST_F(MailPrograms, evolutionAndClawsMailDriveTheBogofilterFrontDoor) {
    const QString bogo = staged("junkward-bogofilter");
    const QString spamFile = open_ + "/spam.eml", hamFile = open_ + "/ham.eml";
    writeFile(spamFile, spam_);
    writeFile(hamFile, ham_);

    // Evolution's junk module: the message on standard input, the exit status as answer.
    EXPECT_EQ(run(bogo, {"--unicode=yes"}, spam_).exit, 0);
    EXPECT_EQ(run(bogo, {}, ham_).exit, 1);
    EXPECT_EQ(run(bogo, {"--register-spam", "--unicode=yes"}, spam_).exit, 0);
    EXPECT_EQ(run(bogo, {"--register-ham"}, ham_).exit, 0);

    // Claws Mail: file names one by one on standard input, one answer line each,
    // read before the next name is written.
    QProcess claws;
    claws.start(bogo, {"-T", "-b"});
    ASSERT_TRUE(claws.waitForStarted(10000));
    QByteArray answers;
    for (const QString& file : {spamFile, hamFile}) {
        claws.write(QFile::encodeName(file) + "\n");
        ASSERT_TRUE(testsupport::waitUntil(
            [&] {
                claws.waitForReadyRead(50);
                answers += claws.readAllStandardOutput();
                return answers.endsWith('\n') && answers.count('\n') == (file == spamFile ? 1 : 2);
            },
            60000))
            << answers.toStdString();
    }
    claws.closeWriteChannel();
    ASSERT_TRUE(claws.waitForFinished(30000));
    answers += claws.readAllStandardOutput();
    EXPECT_EQ(answers, QFile::encodeName(spamFile) + " S 1.000000\n" + QFile::encodeName(hamFile) + " H 0.000000\n");
    for (const QStringList& learn :
         {QStringList{"-s", "-I", spamFile}, QStringList{"-Sn", "-I", hamFile}, QStringList{"-n", "-I", hamFile}}) {
        const Outcome r = run(bogo, learn);
        EXPECT_EQ(r.exit, 0) << learn.join(' ').toStdString() << r.err.toStdString();
    }
    EXPECT_EQ(run(bogo, {"-n", "-b"}, QFile::encodeName(hamFile) + "\n").exit, 0);

    // Options that cannot be honoured are errors, never a silent success.
    for (const QStringList& refused : {QStringList{"-S"}, QStringList{"-N"}, QStringList{"-s", "-n"}, QStringList{"-R"},
                                       QStringList{"--robx=0.5"}, QStringList{"-k", "10"}}) {
        const Outcome r = run(bogo, refused, spam_);
        EXPECT_EQ(r.exit, 3) << refused.join(' ').toStdString();
        EXPECT_FALSE(r.err.isEmpty());
    }
    const QString log = logText();
    EXPECT_TRUE(learnedAs(log, true)) << log.toStdString();
    EXPECT_TRUE(learnedAs(log, false)) << log.toStdString();
}

}  // namespace
