#include "common/QSignalEnterCritical.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int g_out = -1;  // the child's end of the result pipe

void say(const char* text) {
    (void)!::write(g_out, text, std::strlen(text));
    (void)!::write(g_out, "\n", 1);
}

struct ChildResult {
    std::string output;
    int status = 0;
    bool killedByTerm() const { return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM; }
    int exitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

ChildResult runChild(const std::function<void()>& body) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        g_out = fds[1];
        body();
        ::_exit(0);
    }
    ::close(fds[1]);
    ChildResult r;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        r.output.append(buf, size_t(n));
    ::close(fds[0]);
    ::waitpid(pid, &r.status, 0);
    return r;
}

void termSelf() { ::kill(::getpid(), SIGTERM); }

bool termPending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGTERM);
}

bool blocked(int sig) {
    sigset_t now;
    pthread_sigmask(SIG_SETMASK, nullptr, &now);
    return sigismember(&now, sig);
}

}  // namespace

TEST(QSignalCritical, terminationWaitsForTheOutermostSection) {
    struct Case {
        const char* name;
        std::function<void()> body;
        std::string output;
        bool killed;
        int exitCode;
    };
    const Case cases[] = {
        {"one section",
         [] {
             QSignalEnterCritical();
             termSelf();
             say("in");
             QSignalExitCritical();
             say("after");
         },
         "in\n", true, -1},
        {"nested sections",
         [] {
             QSignalEnterCritical();
             QSignalEnterCritical();
             termSelf();
             QSignalExitCritical();
             say(QSignalCriticalDepth() == 1 ? "inner closed" : "wrong depth");
             QSignalExitCritical();
             say("after");
         },
         "inner closed\n", true, -1},
        {"signal already blocked before: stays pending",
         [] {
             sigset_t term;
             sigemptyset(&term);
             sigaddset(&term, SIGTERM);
             pthread_sigmask(SIG_BLOCK, &term, nullptr);
             QSignalEnterCritical();
             termSelf();
             QSignalExitCritical();
             sigset_t pending;
             sigpending(&pending);
             say(blocked(SIGTERM) && sigismember(&pending, SIGTERM) ? "still blocked, pending" : "lost");
         },
         "still blocked, pending\n", false, 0},
        {"other signals of the mask are restored",
         [] {
             sigset_t usr;
             sigemptyset(&usr);
             sigaddset(&usr, SIGUSR1);
             pthread_sigmask(SIG_BLOCK, &usr, nullptr);
             QSignalEnterCritical();
             say(blocked(SIGTERM) ? "term blocked inside" : "term open inside");
             QSignalExitCritical();
             say(blocked(SIGUSR1) && !blocked(SIGTERM) ? "mask restored" : "mask changed");
         },
         "term blocked inside\nmask restored\n", false, 0},
        {"the program's own handler runs afterwards",
         [] {
             struct sigaction act {};
             act.sa_handler = [](int) {
                 say("handled");
                 ::_exit(3);
             };
             sigaction(SIGTERM, &act, nullptr);
             QSignalEnterCritical();
             termSelf();
             say("in");
             QSignalExitCritical();
             say("after");
         },
         "in\nhandled\n", false, 3},
        {"a signal taken by another thread is held too",
         [] {
             std::atomic<bool> stop{false};
             std::vector<std::thread> others;
             for (int i = 0; i < 3; ++i)
                 others.emplace_back([&] {
                     while (!stop)
                         ::usleep(1000);
                 });
             QSignalEnterCritical();
             for (int i = 0; i < 5; ++i)
                 termSelf();
             // This thread blocks SIGTERM: the signal stays pending for the
             // process until another thread has taken it.
             for (int waited = 0; waited < 60000 && termPending(); ++waited)
                 ::usleep(1000);
             say(termPending() ? "never taken" : "survived");
             QSignalExitCritical();
             say("after");
             stop = true;
             for (auto& t : others)
                 t.join();
         },
         "survived\n", true, -1},
        {"unbalanced exit is ignored",
         [] {
             QSignalExitCritical();
             say(QSignalCriticalDepth() == 0 && !blocked(SIGTERM) ? "ignored" : "broken");
             QSignalEnterCritical();
             termSelf();
             QSignalExitCritical();
             say("after");
         },
         "ignored\n", true, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ChildResult r = runChild(c.body);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(r.killedByTerm(), c.killed);
        if (!c.killed) {
            EXPECT_EQ(r.exitCode(), c.exitCode);
        }
    }
}

// A writer rewrites a set of files in place, chunk by chunk (not atomic by
// itself), each inside a critical section, while being sent SIGTERM again and
// again; every file must be whole afterwards.
TEST(QSignalCritical, filesWrittenInsideSectionsSurviveRepeatedTermination) {
    char tmpl[] = "/tmp/jw-crit-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    constexpr int kFiles = 8;
    constexpr size_t kChunk = 4096, kChunks = 32;
    auto fileName = [&](int i) { return dir + "/f" + std::to_string(i); };

    std::mt19937 rng(7);
    int interrupted = 0;
    for (int round = 0; round < 12; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            for (unsigned generation = 0;; ++generation) {
                for (int i = 0; i < kFiles; ++i) {
                    QSignalEnterCritical();
                    int fd = ::open(fileName(i).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                    std::string chunk(kChunk, char('a' + (generation + round) % 26));
                    for (size_t c = 0; c < kChunks; ++c)
                        (void)!::write(fd, chunk.data(), chunk.size());
                    ::fdatasync(fd);
                    ::close(fd);
                    QSignalExitCritical();
                }
                if (generation == 0) {
                    (void)!::write(ready[1], "r", 1);
                    ::close(ready[1]);
                }
            }
        }
        ::close(ready[1]);
        char c;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        ::close(ready[0]);
        std::uniform_int_distribution<int> pause(0, 3000);
        int status = 0;
        for (;;) {
            ::usleep(useconds_t(pause(rng)));
            ::kill(pid, SIGTERM);
            pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid)
                break;
            ++interrupted;  // still alive: the signal waited for a section to end
        }
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);

        for (int i = 0; i < kFiles; ++i) {
            struct stat st;
            ASSERT_EQ(::stat(fileName(i).c_str(), &st), 0);
            ASSERT_EQ(size_t(st.st_size), kChunk * kChunks) << "round " << round << " file " << i;
            std::string content(size_t(st.st_size), '\0');
            int fd = ::open(fileName(i).c_str(), O_RDONLY);
            ASSERT_EQ(::read(fd, content.data(), content.size()), st.st_size);
            ::close(fd);
            EXPECT_EQ(content.find_first_not_of(content[0]), std::string::npos);
        }
    }
    EXPECT_GT(interrupted, 0);
    for (int i = 0; i < kFiles; ++i)
        ::unlink(fileName(i).c_str());
    ::rmdir(dir.c_str());
}
