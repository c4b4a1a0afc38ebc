// The junkward tool against the staged engine, which it starts through bus
// activation: verdict lines and exit codes, standard input, carriage-return
// sources, learning from mbox files and Maildir folders, the activity log, the
// port query, the filters version, and the clear word for bad input and for
// an engine that is not installed.
#include "EngineTestSupport.h"

#include "platform/ScriptingBus.h"

#include <QRandomGenerator>

namespace {

using enginetest::Sandbox;

// A private session bus with a desktop session's limits; with services, it
// starts the staged engine on demand.
using SessionBus = testsupport::PrivateBus;

struct ToolRun {
    int exit = -1;
    QString out;
    QString err;
};

// Runs the staged tool to its end.
ToolRun junkward(const QStringList& arguments, const QByteArray& input = {}, const QString& folder = {}) {
    QProcess process;
    process.setProgram(testsupport::stagedProgram(QStringLiteral("junkward")));
    process.setArguments(arguments);
    process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    if (!folder.isEmpty())
        process.setWorkingDirectory(folder);
    process.start();
    ToolRun run;
    if (!process.waitForStarted(testsupport::kDeadlineMs))
        return run;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(600000)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.exit = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QByteArray message(const QByteArray& id, const QByteArray& subject, bool flagged) {
    QByteArray m = "Message-ID: <" + id + ">\nFrom: Bea Example <bea@example.org>\nSubject: " + subject +
                   "\nContent-Type: text/plain\n";
    if (flagged)
        m += "X-Spam-Flag: YES\n";
    return m + "\nA body for " + id + ".\n";
}

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready());
        if (!QFileInfo(testsupport::stagedProgram("junkward")).isExecutable())
            GTEST_SKIP() << "the junkward tool is not built";
        folder_ = box.userLibrary() + "/../files";
        ASSERT_TRUE(QDir().mkpath(folder_));
        folder_ = QDir(folder_).canonicalPath();
    }
    void TearDown() override {
        // Stop the engine the tool started.
        if (platform::ScriptingBus::hasOwner(platform::kEngineBusName)) {
            junkward({"quit"});
            testsupport::waitUntil([] { return !platform::ScriptingBus::hasOwner(platform::kEngineBusName); });
        }
    }
    QString write(const QString& name, const QByteArray& bytes) const {
        const QString path = folder_ + QLatin1Char('/') + name;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }
    // The activity log as text once the engine has written it (it quits first).
    QString logText() {
        junkward({"quit"});
        testsupport::waitUntil([] { return !platform::ScriptingBus::hasOwner(platform::kEngineBusName); });
        const ToolRun log = junkward({"log"});
        EXPECT_EQ(log.exit, 0) << log.err.toStdString();
        return log.out;
    }

    Sandbox box;
    SessionBus bus{(box.useLocalLibrary(), SessionBus::stagedServices())};
    QString folder_;
};

TEST_F(Tool, checkPrintsOneLinePerMessageAndExitsByTheLast) {
    write("spam.eml", message("s1@t", "Flagged", true));
    write("ham.eml", message("h1@t", "Plain words", false));
    write("cr.eml", QByteArray(message("c1@t", "Carriage", true)).replace('\n', '\r'));
    ASSERT_FALSE(platform::ScriptingBus::hasOwner(platform::kEngineBusName));

    const struct {
        QStringList arguments;
        QByteArray input;
        int exit;
        const char* out;
    } cases[] = {
        {{"check", "spam.eml"}, {}, 0, "spam\n"},
        {{"check", "spam.eml", "ham.eml"}, {}, -2, "spam.eml: spam\n"},
        {{"check", "ham.eml", "spam.eml"}, {}, 0, "spam.eml: spam\n"},
        {{"check"}, message("stdin@t", "From the pipe", true), 0, "spam\n"},
        {{"check", "--entourage", "cr.eml"}, {}, 0, "spam\n"},
        {{"query", "spam.eml"}, {}, 0, "spam (1)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const ToolRun run = junkward(c.arguments, c.input, folder_);
        if (c.exit >= 0) {
            EXPECT_EQ(run.exit, c.exit) << run.err.toStdString();
        } else {
            EXPECT_TRUE(run.exit == 0 || run.exit == 1) << run.err.toStdString();
        }
        EXPECT_TRUE(run.out.contains(c.out)) << run.out.toStdString();
    }
    EXPECT_TRUE(platform::ScriptingBus::hasOwner(platform::kEngineBusName)) << "started through activation";

    // The exit status follows the last message.
    const ToolRun last = junkward({"check", "spam.eml", "ham.eml"}, {}, folder_);
    ASSERT_EQ(last.out.count('\n'), 2) << last.out.toStdString();
    EXPECT_TRUE(last.out.startsWith("spam.eml: spam\n")) << last.out.toStdString();
    EXPECT_EQ(last.exit, last.out.endsWith(": spam\n") ? 0 : 1);
}

TEST_F(Tool, learningTakesEveryMessageOfMboxFilesAndMaildirs) {
    const QByteArray separator = "From bea@example.org Sat Mar 15 12:00:00 2008\n";
    write("box.mbox", separator + message("m1@t", "First of the box", false) + "\n" + separator +
                          message("m2@t", "Second of the box", false) + "\n" + separator +
                          message("m3@t", "Third of the box", false));
    write("Maildir/cur/1.eml:2,S", message("d1@t", "Read one", false));
    write("Maildir/new/2.eml", message("d2@t", "New one", false));
    QDir().mkpath(folder_ + "/Maildir/tmp");

    ToolRun run = junkward({"learn-spam", "box.mbox"}, {}, folder_);
    EXPECT_EQ(run.exit, 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("3 messages")) << run.err.toStdString();
    run = junkward({"learn-ham", "Maildir"}, {}, folder_);
    EXPECT_EQ(run.exit, 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("2 messages")) << run.err.toStdString();

    const QString log = logText();
    const struct {
        const char* subject;
        const char* code;
    } expected[] = {{"First of the box", "LEARN_SPAM"},
                    {"Second of the box", "LEARN_SPAM"},
                    {"Third of the box", "LEARN_SPAM"},
                    {"Read one", "LEARN_HAM"},
                    {"New one", "LEARN_HAM"}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.subject);
        const QStringList lines = log.split('\n').filter(QString::fromLatin1(e.subject));
        ASSERT_EQ(lines.size(), 1) << log.toStdString();
        EXPECT_TRUE(lines[0].endsWith(QString::fromLatin1(e.code))) << lines[0].toStdString();
        EXPECT_TRUE(lines[0].contains("Bea Example")) << lines[0].toStdString();
    }
}

TEST_F(Tool, badInputGetsAClearWordAndTheEngineGoesOn) {
    write("spam.eml", message("ok@t", "Fine", true));
    write("empty.eml", QByteArray());
    write("junk/a.bin", QByteArray("\x01\x02\x03 not a message at all\n"));
    write("junk/b.txt", QByteArray("just some words\nand more\n"));
    write("broken.mbox", "From \n" + message("br@t", "Broken separator", false));
    QByteArray random(50 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(7);
    generator.fillRange(reinterpret_cast<quint32*>(random.data()), random.size() / 4);
    write("random.bin", random);
    write("huge.eml", message("huge@t", "Huge", true) + QByteArray(70 * 1024 * 1024, 'x'));

    const struct {
        QStringList arguments;
        std::vector<int> exits;  // acceptable exit codes
        const char* word;        // expected in the messages, or nullptr
    } cases[] = {
        {{"check", "missing.eml"}, {2}, "missing.eml"},
        {{"learn-spam", "missing.eml"}, {2}, "missing.eml"},
        {{"check", "empty.eml"}, {2}, "empty"},
        {{"learn-ham", "junk"}, {2}, "junk"},
        {{"learn-spam", "broken.mbox"}, {0, 2}, "broken"},
        {{"check", "random.bin"}, {0, 1, 2}, nullptr},
        {{"learn-spam", "random.bin"}, {0, 2}, nullptr},
        {{"check", "huge.eml"}, {2}, "larger than"},
        {{"learn-spam", "huge.eml"}, {2}, "larger than"},
        {{"learn-spam"}, {2}, "FILE"},
        {{"frobnicate"}, {2}, "unknown command"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const ToolRun run = junkward(c.arguments, {}, folder_);
        EXPECT_NE(std::find(c.exits.begin(), c.exits.end(), run.exit), c.exits.end())
            << run.exit << " " << run.err.toStdString();
        if (c.word) {
            EXPECT_TRUE(run.err.contains(QString::fromLatin1(c.word))) << run.err.toStdString();
        }
        EXPECT_FALSE(run.err.contains("refused")) << run.err.toStdString();
    }
    const ToolRun after = junkward({"check", "spam.eml"}, {}, folder_);
    EXPECT_EQ(after.exit, 0) << after.err.toStdString();
    EXPECT_EQ(after.out, "spam\n");
}

TEST_F(Tool, filtersVersionAndHelp) {
    ToolRun run = junkward({"filters-version"});
    EXPECT_EQ(run.exit, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, "N/A\n");
    // Noon UTC: the same day in the test's zone, within twelve hours of UTC.
    const QString db = box.pluginsFolder() + "/URL Filter/Engine.bundle/Contents/Resources/URLs.db";
    QDir().mkpath(QFileInfo(db).absolutePath());
    QFile file(db);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray("\x47\xDB\xBA\x40\x00\x01", 6));
    file.close();
    run = junkward({"filters-version"});
    EXPECT_EQ(run.out, "080315\n") << run.err.toStdString();

    for (const char* command : {"check", "learn-spam", "learn-ham", "query", "log", "filters-version"}) {
        SCOPED_TRACE(command);
        run = junkward({command, "--help"});
        EXPECT_EQ(run.exit, 0);
        EXPECT_TRUE(run.out.startsWith(QStringLiteral("Usage: junkward "))) << run.out.toStdString();
    }
}

// Without an engine in the Library and without bus activation.
TEST(ToolWithoutEngine, saysTheEngineIsNotInstalled) {
    Sandbox box;
    box.useLocalLibrary();
    SessionBus bus;  // no services: the engine cannot be activated
    ASSERT_TRUE(bus.ready());
    if (!QFileInfo(testsupport::stagedProgram("junkward")).isExecutable())
        GTEST_SKIP() << "the junkward tool is not built";
    const ToolRun run = junkward({"check"}, message("n@t", "Nobody home", true));
    EXPECT_EQ(run.exit, 2);
    EXPECT_TRUE(run.err.contains("not installed")) << run.err.toStdString();
    EXPECT_TRUE(run.out.isEmpty());
}

}  // namespace
