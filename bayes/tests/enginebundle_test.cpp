// The staged engine loads Engine.bundle and consults the Bayesian filter: a
// message judged through the port "Sievra" reaches the filter, which opens its
// token store in the user's caches folder and scores over what was learned.

#include "SWBayesFilter.h"
#include "SWDataBase.h"

#include "engine/SievraPort.h"
#include "platform/Bundle.h"
#include "platform/MessagePort.h"
#include "platform/PropertyList.h"
#include "tests/support/ParsedMessage.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>

namespace {

QByteArray message(int id, const QByteArray& body) {
    return "From: someone@sender.example\nTo: me@here.example\nMessage-ID: <" + QByteArray::number(id) +
           "@sender.example>\nSubject: note " + QByteArray::number(id) + "\nContent-Type: text/plain\n\n" + body + "\n";
}

TEST(EngineBundle, engineJudgesWithTheLearnedStore) {
    const QString engine = qEnvironmentVariable("JUNKWARD_STAGE") + "/bin/junkward-engine";
    if (!QFileInfo(engine).isExecutable())
        GTEST_SKIP() << "no staged engine in this build";
    testsupport::application();
    testsupport::PrivateBus bus;  // the engine owns its bus name there
    ASSERT_TRUE(bus.ready());

    QTemporaryDir library;
    QTemporaryDir runtime("/tmp/jkwXXXXXX");
    ASSERT_TRUE(library.isValid() && runtime.isValid());
    qputenv("JUNKWARD_USER_LIBRARY", QFile::encodeName(library.path()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QDir().mkpath(library.path() + "/Preferences");
    platform::plist::writeFile(library.path() + "/Preferences/com.quillon.junkward.General.plist",
                               QVariantMap{{"Status", true}, {"Settings", QVariantMap{{"Show Feedback", false}}}});

    // Learn in this process through the filter, then hand the store to the engine.
    {
        auto bundle = platform::Bundle::open(qEnvironmentVariable("JUNKWARD_LOCAL_LIBRARY") +
                                             "/Application Support/Quillon/Junkward/Plugins/Bayesian/Engine.bundle");
        ASSERT_TRUE(bundle);
        SWBayesFilter filter;
        ASSERT_TRUE(filter.initializeWithBundle(bundle, "Bayesian"));
        for (int i = 0; i < 8; ++i) {
            const QByteArray spam = message(i, "casino jackpot winner pharmacy discount");
            const QByteArray ham = message(100 + i, "agenda minutes project schedule review");
            for (const QByteArray* m : {&spam, &ham}) {
                const testsupport::ParsedMessage parsed(*m);
                const QString id = QString("<%1@sender.example>").arg(m == &spam ? i : 100 + i);
                ASSERT_TRUE(m == &spam ? filter.learnMessageAsSpam(parsed.part(), id)
                                       : filter.learnMessageAsLegitimate(parsed.part(), id));
            }
        }
    }

    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(engine, {});
    const auto port = testsupport::waitForPort(SievraMessagePortName);
    ASSERT_TRUE(port) << "the engine did not open its port";
    auto verdict = [&](const QByteArray& m) {
        QByteArray reply;
        EXPECT_EQ(port->sendRequest(SievraMessageIDFilterMail, m, 120, 120, true, &reply),
                  platform::kMessagePortSuccess);
        qint32 answer = -1;
        if (reply.size() == 4)
            std::memcpy(&answer, reply.constData(), 4);
        return answer;
    };
    EXPECT_EQ(verdict(message(500, "casino jackpot winner pharmacy")), 1);
    EXPECT_EQ(verdict(message(501, "project review agenda minutes")), 0);
    process.terminate();
    if (!process.waitForFinished(testsupport::kDeadlineMs))
        process.kill();
}

}  // namespace
