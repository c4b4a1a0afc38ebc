// SIGTERM held back during critical sections.
//
// Blocking the signal in the calling thread is not enough in a process with
// other threads (the bus connection has its own): the kernel hands a
// process-directed SIGTERM to any thread that does not block it. So while any
// section is open a handler that only records the signal is installed, and the
// program's own disposition is put back, and the signal raised, when the last
// section closes.

#include "common/QSignalEnterCritical.h"

#include <atomic>
#include <csignal>
#include <mutex>
#include <pthread.h>

namespace {

thread_local int t_depth = 0;
thread_local sigset_t t_savedMask;

std::mutex g_mutex;
int g_openSections = 0;  // threads with an open section, under g_mutex
struct sigaction g_savedAction;
volatile std::sig_atomic_t g_caught = 0;

extern "C" void recordTermination(int) { g_caught = 1; }

}  // namespace

void QSignalEnterCritical() {
    if (t_depth++ > 0)
        return;
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &t_savedMask);

    std::lock_guard lock(g_mutex);
    if (g_openSections++ == 0) {
        g_caught = 0;
        struct sigaction hold {};
        hold.sa_handler = recordTermination;
        sigemptyset(&hold.sa_mask);
        hold.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &hold, &g_savedAction);
    }
}

void QSignalExitCritical() {
    if (t_depth == 0)
        return;
    if (--t_depth > 0)
        return;

    bool raiseAgain = false;
    {
        std::lock_guard lock(g_mutex);
        if (--g_openSections == 0) {
            // Put the program's disposition back first: a SIGTERM still pending
            // for this thread is then delivered to it when the mask is restored.
            sigaction(SIGTERM, &g_savedAction, nullptr);
            raiseAgain = g_caught != 0;
            g_caught = 0;
        }
    }
    pthread_sigmask(SIG_SETMASK, &t_savedMask, nullptr);
    if (raiseAgain)
        raise(SIGTERM);
}

int QSignalCriticalDepth() { return t_depth; }
