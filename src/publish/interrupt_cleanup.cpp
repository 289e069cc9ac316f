// Temporary files removed when the process is interrupted.
#include "publish/interrupt_cleanup.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t kPathBytes = 4096;

// Read by the signal handler: a slot's path is complete before it is armed.
char g_paths[kInterruptSlots][kPathBytes];
volatile sig_atomic_t g_armed[kInterruptSlots];
struct sigaction g_previous[sizeof(kSignals) / sizeof(kSignals[0])];
bool g_installed = false;

void RemoveAndEnd(int signalNumber)
{
    for (int i = 0; i < kInterruptSlots; ++i) {
        if (g_armed[i]) {
            unlink(g_paths[i]);
        }
    }
    // SA_RESETHAND restored the default action: end as the signal asked.
    raise(signalNumber);
}

void Install()
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = RemoveAndEnd;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
        sigaddset(&action.sa_mask, kSignals[i]);
    }
    // A signal ignored when the run began (nohup, Ctrl+C for a background job)
    // stays ignored: the user asked the run to survive it.
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
        sigaction(kSignals[i], nullptr, &g_previous[i]);
        if (g_previous[i].sa_handler != SIG_IGN) {
            sigaction(kSignals[i], &action, nullptr);
        }
    }
    g_installed = true;
}

}  // namespace

void HoldInterrupts(sigset_t* previous)
{
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signalNumber : kSignals) {
        sigaddset(&blocked, signalNumber);
    }
    sigprocmask(SIG_BLOCK, &blocked, previous);
}

void ReleaseInterrupts(const sigset_t* previous)
{
    sigprocmask(SIG_SETMASK, previous, nullptr);
}

int CreateTemporary(char* pathTemplate, int suffixLength, int slot)
{
    sigset_t previous;
    int saved = 0;
    if (strlen(pathTemplate) >= kPathBytes) {
        return -1;
    }
    HoldInterrupts(&previous);
    if (!g_installed) {
        Install();
    }
    const int file = mkostemps(pathTemplate, suffixLength, O_CLOEXEC);
    saved = errno;
    if (file >= 0) {
        memcpy(g_paths[slot], pathTemplate, strlen(pathTemplate) + 1);
        g_armed[slot] = 1;
    }
    ReleaseInterrupts(&previous);
    errno = saved;
    return file;
}

void ForgetTemporary(int slot)
{
    g_armed[slot] = 0;
}

void EndTemporaries()
{
    for (int i = 0; i < kInterruptSlots; ++i) {
        g_armed[i] = 0;
    }
    if (g_installed) {
        for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
            sigaction(kSignals[i], &g_previous[i], nullptr);
        }
        g_installed = false;
    }
}
