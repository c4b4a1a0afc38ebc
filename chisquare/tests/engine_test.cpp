// The staged engine loads the Chi-Square bundle, learns through the junkward
// tool, decides with it (the activity log names it) and takes a training back
// when a message is learned the other way.

#include "SWChiSquareStore.h"

#include "tests/support/TestSupport.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray note(int id, const QByteArray& from, const QByteArray& body) {
    return "From: " + from + "\nTo: me@here.example\nMessage-ID: <" + QByteArray::number(id) +
           "@mail.example>\nSubject: note " + QByteArray::number(id) + "\nContent-Type: text/plain\n\n" + body + "\n";
}

QString write(const QString& folder, int id, const QByteArray& bytes) {
    QDir().mkpath(folder);
    const QString path = folder + QString("/%1.eml").arg(id);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path;
}

int junkward(const QStringList& arguments, QByteArray* out = nullptr) {
    QProcess p;
    p.start(qEnvironmentVariable("JUNKWARD_STAGE") + "/bin/junkward", arguments);
    p.waitForFinished(120000);
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

TEST(ChiSquareEngine, learnsDecidesAndTakesATrainingBack) {
    const QString engine = qEnvironmentVariable("JUNKWARD_STAGE") + "/bin/junkward-engine";
    ASSERT_TRUE(QFileInfo(engine).isExecutable());
    testsupport::application();
    testsupport::PrivateBus bus;
    ASSERT_TRUE(bus.ready());
    QTemporaryDir library, runtime("/tmp/jkwXXXXXX"), mail;
    ASSERT_TRUE(library.isValid() && runtime.isValid() && mail.isValid());
    qputenv("JUNKWARD_USER_LIBRARY", QFile::encodeName(library.path()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QDir().mkpath(library.path() + "/Preferences");
    platform::plist::writeFile(library.path() + "/Preferences/com.quillon.junkward.General.plist",
                               QVariantMap{{"Status", true}, {"Settings", QVariantMap{{"Show Feedback", false}}}});
    platform::plist::writeFile(library.path() + "/Preferences/com.quillon.junkward.ChiSquare.plist",
                               QVariantMap{{"Status", true}, {"Settings", QVariantMap{{"Minimum Learned", 3}}}});

    for (int i = 0; i < 4; ++i) {
        write(mail.path() + "/spam", i, note(i, "promo@casino.example", "casino jackpot winner pharmacy bonus"));
        write(mail.path() + "/ham", 100 + i, note(100 + i, "colleague@work.example", "agenda minutes project review"));
    }
    const QString mistaken =
        write(mail.path() + "/other", 7, note(7, "colleague@work.example", "agenda project budget"));

    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(engine, {});
    ASSERT_TRUE(testsupport::waitUntil([] { return platform::ScriptingBus::hasOwner(platform::kEngineBusName); }));

    EXPECT_EQ(junkward({"learn-spam", mail.path() + "/spam"}), 0);
    EXPECT_EQ(junkward({"learn-ham", mail.path() + "/ham"}), 0);
    EXPECT_EQ(junkward({"learn-spam", mistaken}), 0);  // a mistake ...
    EXPECT_EQ(junkward({"learn-ham", mistaken}), 0);   // ... corrected

    const QString spam = write(mail.path() + "/new", 500, note(500, "promo@casino.example", "casino jackpot pharmacy"));
    const QString ham = write(mail.path() + "/new", 501, note(501, "colleague@work.example", "project agenda minutes"));
    EXPECT_EQ(junkward({"check", spam}), 0);
    EXPECT_EQ(junkward({"check", ham}), 1);

    // The explanation names the deciding filter and each filter's evidence,
    // and neither logs nor learns the message.
    const QString asked = write(mail.path() + "/new", 502, note(502, "promo@casino.example", "casino jackpot bonus"));
    QByteArray explanation;
    EXPECT_EQ(junkward({"explain", asked}, &explanation), 0);
    EXPECT_TRUE(explanation.contains("Decided by: ChiSquare (spam)")) << explanation.constData();
    const qsizetype chiSquare = explanation.indexOf("\nChiSquare: score ");
    const qsizetype bayesian = explanation.indexOf("\nBayesian: score ");
    ASSERT_GE(chiSquare, 0);
    ASSERT_GT(bayesian, chiSquare);
    const QList<QByteArray> chiSquareLines =
        explanation.mid(chiSquare + 1, bayesian - chiSquare - 1).trimmed().split('\n');
    EXPECT_GE(chiSquareLines.size(), 4);
    EXPECT_LE(chiSquareLines.size(), 11);  // the heading and at most ten tokens
    EXPECT_TRUE(explanation.contains("w:casino")) << explanation.constData();

    junkward({"quit"});
    if (!process.waitForFinished(10000))
        process.kill();

    QByteArray log;
    EXPECT_EQ(junkward({"log"}), 0);
    junkward({"log"}, &log);
    // Both verdicts name the filter; the good one is listed as good mail.
    for (const QByteArray& line : log.split('\n')) {
        if (line.contains("\tnote 500\t"))
            EXPECT_TRUE(line.startsWith("[S] ") && line.contains("Chi-Square")) << line.constData();
        if (line.contains("\tnote 501\t"))
            EXPECT_TRUE(line.startsWith("[L] ") && line.contains("Chi-Square")) << line.constData();
    }
    EXPECT_TRUE(log.contains("\tnote 500\t") && log.contains("\tnote 501\t")) << log.constData();
    EXPECT_FALSE(log.contains("note 502")) << log.constData();

    // The correction took the spam training back: 4 spam, 5 good messages.
    SWChiSquareStore store(library.path() + "/Caches");
    ASSERT_TRUE(store.isOpen());
    EXPECT_EQ(store.spamTotal(), 4u);
    EXPECT_EQ(store.hamTotal(), 5u);
    EXPECT_EQ(store.markForKey("<7@mail.example>"), 1);
}

}  // namespace
