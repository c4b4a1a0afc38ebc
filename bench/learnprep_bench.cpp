// The CPU a message costs the engine before anything is stored when it is
// learned, phase by phase, on one thread: the parse (with the line-end copy and
// the log record), the Chi-Square filter's tokens and store keys, and the
// Bayesian filter's process tree and token bag. Each phase is timed over the
// whole corpus several times; the fastest round is printed. A digest of what
// the filters made shows whether a change altered their output.
//
//   build/bench/learnprep_bench [CORPUS] [ROUNDS]   (after bench/fetch-corpus)

#include "SWChiSquareStore.h"
#include "SWDataBase.h"
#include "SWChiSquareTokens.h"
#include "SWProcessor.h"
#include "SWTokenizer.h"
#include "bench/BenchSupport.h"
#include "engine/SievraController.h"
#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SARef.h"
#include "platform/Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// FNV-1a, fed in the order the filters produce their output.
struct Digest {
    uint64_t h = 1469598103934665603ull;
    void add(const void* data, size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i)
            h = (h ^ p[i]) * 1099511628211ull;
    }
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // A fresh Bayesian store, held in a batch as while the engine learns (the
    // filter then reads nothing from it while it takes a message apart).
    QTemporaryDir library;
    if (!library.isValid())
        return 2;
    qputenv("JUNKWARD_USER_LIBRARY", library.path().toUtf8());
    SWDataBase* store = SWDataBase::sharedDataBase();
    if (!store || !store->beginBatch()) {
        std::fprintf(stderr, "learnprep_bench: no Bayesian store\n");
        return 2;
    }
    const QString corpus = bench::corpusFolder(app.arguments());
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (corpus.isEmpty()) {
        std::fprintf(stderr, "learnprep_bench: no corpus (bench/fetch-corpus, or give its folder)\n");
        return 2;
    }
    std::vector<QByteArray> messages;
    for (const QString& set : QDir(corpus).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDir dir(corpus + "/" + set);
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
            QFile file(dir.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                messages.push_back(file.readAll());
        }
    }
    const QString stage = qEnvironmentVariableIsEmpty("JUNKWARD_STAGE")
                              ? QCoreApplication::applicationDirPath() + "/../stage"
                              : qEnvironmentVariable("JUNKWARD_STAGE");
    const auto bundle = platform::Bundle::open(
        stage + "/Library/Application Support/Quillon/Junkward/Plugins/Bayesian/Engine.bundle");
    if (!bundle || messages.empty()) {
        std::fprintf(stderr, "learnprep_bench: no corpus messages or no staged Bayesian bundle\n");
        return 2;
    }
    SWTokenizer::initializeCharacterSet(*bundle);

    double best[3] = {1e9, 1e9, 1e9};
    uint64_t chiDigest = 0, bayesDigest = 0;
    for (int round = 0; round < rounds; ++round) {
        double spent[3] = {};
        Digest chi, bayes;
        for (const QByteArray& bytes : messages) {
            double t = threadSeconds();
            const auto data = SARef<SAData>::adopt(
                new SAData(reinterpret_cast<const unsigned char*>(bytes.constData()), bytes.size(), false));
            const auto lineFeeds = SARef<SAData>::adopt(SievraController::copyDataWithLineFeeds(data.get()));
            const auto part =
                SARef<SAMIMEPart>::adopt(new SAMIMEPart(lineFeeds ? lineFeeds.get() : data.get(), true, nullptr, nullptr));
            if (part->process(true, true) == SAMIMEProcessFailure)
                continue;
            const QVariantMap record = SievraController::createLogRecord(part.get());
            double now = threadSeconds();
            spent[0] += now - t;
            t = now;

            const SWChiSquareTokenList tokens = SWChiSquareTokens::tokenListOfMessage(part.get());
            const SWChiSquareStore::Keys keys(QStringLiteral("id"), tokens);
            now = threadSeconds();
            spent[1] += now - t;
            t = now;
            for (size_t i = 0; i < keys.size(); ++i)
                chi.add(keys[i].data(), keys[i].size() + 1);

            const std::unique_ptr<SWProcessNode> tree = SWProcessor::createProcessTreeWithMIMETree(part.get(), true);
            std::optional<SWTokenBag> bag;
            if (tree)
                bag = SWProcessor::getSpamTokenArray(tree.get()).second;
            now = threadSeconds();
            spent[2] += now - t;
            if (bag)
                for (const auto& [token, count] : *bag) {
                    bayes.add(token.constData(), size_t(token.size()) * 2);
                    bayes.add(&count, sizeof count);
                }
        }
        for (int i = 0; i < 3; ++i)
            best[i] = std::min(best[i], spent[i]);
        chiDigest = chi.h;
        bayesDigest = bayes.h;
    }
    const double n = double(messages.size());
    std::printf("%zu messages, best of %d rounds, one thread (CPU seconds, microseconds per message)\n",
                messages.size(), rounds);
    const char* names[3] = {"parse + log record", "Chi-Square tokens + keys", "Bayesian tree + tokens"};
    for (int i = 0; i < 3; ++i)
        std::printf("  %-26s %7.3f s %8.1f us\n", names[i], best[i], best[i] / n * 1e6);
    std::printf("  %-26s %7.3f s %8.1f us\n", "all", best[0] + best[1] + best[2],
                (best[0] + best[1] + best[2]) / n * 1e6);
    std::printf("digests: Chi-Square %016llx, Bayesian %016llx\n", (unsigned long long)chiDigest,
                (unsigned long long)bayesDigest);
    store->abortBatch();
    SWDataBase::releaseSharedDataBase();
    return 0;
}
