// Round trips per second through a local message port: a 4-byte request with a
// 4-byte reply, and a 60 KB request with a 4-byte reply, with one client and
// with four concurrent clients. The port is served on the event loop of its own
// thread, each client is a thread with its own connection.
//
//   messageport_bench [seconds per figure, default 2]

#include "engine/SievraPort.h"
#include "platform/MessagePort.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

struct Figure {
    long long roundTrips = 0;
    long long failures = 0;
    double seconds = 0;
};

Figure measure(const QString& portName, int clients, qsizetype requestSize, double seconds) {
    std::atomic<long long> total{0};
    std::atomic<long long> failures{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    const QByteArray request(requestSize, 'r');
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            auto port = RemoteMessagePort::connect(portName);
            if (!port) {
                ++failures;
                return;
            }
            long long done = 0;
            QByteArray reply;
            while (!stop.load(std::memory_order_relaxed)) {
                if (port->sendRequest(SievraMessageIDFilterMail, request, 10, 10, true, &reply) !=
                        kMessagePortSuccess ||
                    reply.size() != 4)
                    ++failures;
                else
                    ++done;
            }
            total += done;
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : threads)
        t.join();
    Figure f;
    f.roundTrips = total.load();
    f.failures = failures.load();
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::max(0.2, std::atof(argv[1])) : 2.0;

    char templ[] = "/tmp/jwbench-XXXXXX";
    const char* runtime = ::mkdtemp(templ);
    if (!runtime)
        return 1;
    ::setenv("XDG_RUNTIME_DIR", runtime, 1);

    // The server: answers every request with a 4-byte integer, as the engine does.
    QThread serverThread;
    QObject context;
    context.moveToThread(&serverThread);
    serverThread.start();
    std::unique_ptr<LocalMessagePort> port;
    // Bytes the server's callback saw: the figures count only whole requests.
    static std::atomic<long long> received{0};
    QMetaObject::invokeMethod(
        &context,
        [&] {
            port = LocalMessagePort::create("Bench", [](qint32, const QByteArray& data, uid_t) {
                received += data.size();
                const qint32 verdict = data.isEmpty() ? SievraReplyNotSpam : SievraReplySpam;
                return QByteArray(reinterpret_cast<const char*>(&verdict), sizeof(verdict));
            });
        },
        Qt::BlockingQueuedConnection);
    if (!port) {
        std::fprintf(stderr, "could not create the port\n");
        return 1;
    }

    std::printf("message port round trips, %.1f s per figure\n", seconds);
    int status = 0;
    for (const qsizetype size : {qsizetype(4), qsizetype(60 * 1024)}) {
        for (const int clients : {1, 4}) {
            received = 0;
            Figure f = measure("Bench", clients, size, seconds);
            if (received.load() < f.roundTrips * size)
                ++f.failures;
            const double rate = double(f.roundTrips) / f.seconds;
            std::printf("  %6lld-byte request, 4-byte reply, %d client%s: %10.0f round trips/s (%.1f MB/s up)%s\n",
                        static_cast<long long>(size), clients, clients == 1 ? " " : "s", rate,
                        rate * double(size) / 1e6, f.failures ? "  FAILURES" : "");
            if (f.failures)
                status = 1;
        }
    }
    std::printf("  (no peer tool for this protocol on the machine: no comparison figure)\n");

    QMetaObject::invokeMethod(
        &context, [&] { port.reset(); }, Qt::BlockingQueuedConnection);
    serverThread.quit();
    serverThread.wait();
    ::unlink((std::string(runtime) + "/junkward/Bench.lock").c_str());
    ::rmdir((std::string(runtime) + "/junkward").c_str());
    ::rmdir(runtime);
    return status;
}
