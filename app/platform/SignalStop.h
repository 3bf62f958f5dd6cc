#pragma once
// Ends a program that runs until Ctrl-C: SIGINT and SIGTERM (and SIGHUP, for a program that
// should also end cleanly when its terminal goes) are blocked in the constructing thread (and so
// in every thread it starts afterwards) and taken by a thread of their own with sigwait, which
// calls onSignal once. Nothing runs in a signal handler, and output in progress is finished
// rather than cut off. Construct it before starting other threads, so that they inherit the
// blocked signals, or call block() before them where the stop can only be made later.

#include <atomic>
#include <csignal>
#include <functional>
#include <pthread.h>
#include <thread>

namespace qarn {

class SignalStop {
public:
    // Blocks the signals a stop takes in the calling thread and the threads it starts afterwards.
    static void block(bool hangUp = false)
    {
        const sigset_t taken = signalSet(hangUp);
        pthread_sigmask(SIG_BLOCK, &taken, nullptr);
    }

    explicit SignalStop(std::function<void()> onSignal, bool hangUp = false)
        : fSignals(signalSet(hangUp))
    {
        pthread_sigmask(SIG_BLOCK, &fSignals, &fPrevious);
        fThread = std::thread([this, onSignal = std::move(onSignal)] {
            int signal = 0;
            sigwait(&fSignals, &signal);
            if (signal == SIGUSR1)
                return;
            fSignalled = true;
            onSignal();
        });
    }
    // Once it returns, onSignal is not running and will not run.
    ~SignalStop()
    {
        pthread_kill(fThread.native_handle(), SIGUSR1);
        fThread.join();
        // Once stopped by a signal, the signals stay blocked: a second one (timeout sends to the
        // process and then to its group) must not kill the program while it winds down.
        if (!fSignalled)
            pthread_sigmask(SIG_SETMASK, &fPrevious, nullptr);
    }
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

    // Whether a signal (not the destructor) ended the wait.
    bool signalled() const { return fSignalled; }

private:
    static sigset_t signalSet(bool hangUp)
    {
        sigset_t taken;
        sigemptyset(&taken);
        sigaddset(&taken, SIGINT);
        sigaddset(&taken, SIGTERM);
        if (hangUp)
            sigaddset(&taken, SIGHUP);
        // SIGUSR1 comes from the destructor when the program ended for another reason.
        sigaddset(&taken, SIGUSR1);
        return taken;
    }

    const sigset_t fSignals;
    sigset_t fPrevious;
    std::atomic<bool> fSignalled{false};
    std::thread fThread;
};

} // namespace qarn
