/*
 * savesignals.cpp -- what SIGINT, SIGTERM and SIGHUP do to a save in
 * progress.  By default they end the process at once, and the temporary
 * file of the save (up to 4 GiB) would stay beside the target.  While a
 * save runs, each of them that the process leaves to its default action
 * only marks the save interrupted: its next write fails, so the save ends
 * as any failed save does, its temporary file removed and the target as
 * it was, with a message naming the signal (the programs then end with
 * status 1).  A signal that comes once the file has taken the target's
 * place acts as it would have without the save.  Dispositions the caller
 * chose (a handler of its own, ignoring) are left alone.
 */
#include <signal.h>
#include <atomic>

#include "logf_int.h"
#include "writer_int.h"

namespace {

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

/* Set by the handler, which may run on any thread of the process. */
std::atomic<int> g_caught{0};
std::atomic<bool> g_guarded{false};

void on_signal(int sig) {
    g_caught = sig;
}

const char *signal_name(int sig) {
    switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

} // namespace

SaveSignals::SaveSignals() {
    if (g_guarded.exchange(true))
        return; /* a save inside a save: the outer one guards */
    owner_ = true;
    g_caught = 0;
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; i++) {
        struct sigaction old = {};
        if (sigaction(kSignals[i], nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) ||
            old.sa_handler != SIG_DFL)
            continue;
        struct sigaction sa = {};
        sa.sa_handler = on_signal; /* no SA_RESTART: a blocked write returns */
        sigfillset(&sa.sa_mask);
        installed_[i] = sigaction(kSignals[i], &sa, nullptr) == 0;
    }
}

SaveSignals::~SaveSignals() {
    if (!owner_)
        return;
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; i++)
        if (installed_[i])
            signal(kSignals[i], SIG_DFL);
    const int caught = g_caught.exchange(0);
    g_guarded = false;
    if (caught && !reported_)
        raise(caught);
}

bool SaveSignals::passed(const char *target, bool ok) {
    const int caught = g_caught;
    if (ok || !caught || !owner_)
        return ok;
    log_formatted(1,
                  "Saving DICOM object %s was interrupted by %s; its temporary file is "
                  "removed.",
                  target, signal_name(caught));
    reported_ = true;
    return false;
}

bool save_interrupted() {
    return g_caught != 0;
}
