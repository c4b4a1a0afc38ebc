#include "platform/Log.h"

#include <gtest/gtest.h>

#include <QString>

#include <cstdio>
#include <cstring>

#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform::log;

namespace {

// Runs body in a child whose standard error is a pipe; returns what it wrote.
template <class Body>
std::string stderrOf(Body body) {
    int fds[2];
    if (::pipe(fds) != 0)
        return "<pipe failed>";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], STDERR_FILENO);
        body();
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

}  // namespace

TEST(Log, consoleLinesEndInOneNewlineAndKeepUtf8) {
    const std::string out = stderrOf([] {
        console("[JKW_LogManager init] Unable to create the ~/Library/Logs folder");
        console(QString::fromUtf8("[A b] caf\xc3\xa9\n"));
        consolef("[%s %s] %d items", "SWBayesFilter", "load", 3);
    });
    EXPECT_EQ(out,
              "[JKW_LogManager init] Unable to create the ~/Library/Logs folder\n"
              "[A b] caf\xc3\xa9\n"
              "[SWBayesFilter load] 3 items\n");
}

TEST(Log, linesOfConcurrentWritersNeverInterleave) {
    constexpr int kThreads = 4, kLines = 200;
    const std::string out = stderrOf([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                const QString body(3000, QChar('a' + t));
                for (int i = 0; i < kLines; ++i)
                    console(QString("[T%1] ").arg(t) + body);
            });
        }
        for (auto& th : threads)
            th.join();
    });
    int count = 0;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = out.substr(start, end - start);
        ASSERT_EQ(line.size(), 5u + 3000u);
        const char c = line[5];
        EXPECT_EQ(line.find_first_not_of(c, 5), std::string::npos);
        EXPECT_EQ(line[2] - '0', c - 'a');
        ++count;
        start = end + 1;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(Log, captureKeepsConsoleLinesWhileOn) {
    setCapture(true);
    console("[X y] one");
    consolef("[X y] %s", "two");
    setCapture(false);
    console("[X y] three");
    EXPECT_EQ(captured(), (QStringList{"[X y] one", "[X y] two"}));
    setCapture(true);
    EXPECT_TRUE(captured().isEmpty());
    setCapture(false);
}

// The system log: the child gets a private /dev in its own mount namespace and
// listens on /dev/log there, as the syslog daemon would.
TEST(Log, systemLinesReachTheSyslogSocketWithPriorityAndName) {
    const std::string out = stderrOf([] {
        auto fail = [](const char* why) {
            std::fprintf(stderr, "skip:%s", why);
            ::_exit(0);
        };
        if (::unshare(CLONE_NEWNS) != 0)
            fail("no mount namespace");
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            fail("mount private");
        if (::mount("none", "/dev", "tmpfs", 0, nullptr) != 0)
            fail("mount tmpfs");
        int s = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, "/dev/log");
        if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            fail("bind");
        system(LOG_WARNING, QString::fromUtf8("[JKW5 daemon] caf\xc3\xa9 started"));
        timeval tv{60, 0};
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[1024];
        ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n > 0)
            std::fprintf(stderr, "got:%.*s", int(n), buf);
    });
    if (out.rfind("skip:", 0) == 0)
        GTEST_SKIP() << out;
    ASSERT_EQ(out.rfind("got:", 0), 0u) << out;
    EXPECT_EQ(out.substr(4, 4), "<12>");  // LOG_USER | LOG_WARNING
    EXPECT_NE(out.find("platform_log_test["), std::string::npos) << out;
    EXPECT_NE(out.find("]: [JKW5 daemon] caf\xc3\xa9 started"), std::string::npos) << out;
}
