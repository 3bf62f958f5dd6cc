#pragma once
// Ends a command that runs until Ctrl-C: SIGINT and SIGTERM are blocked in the constructing
// thread (and so in every thread it starts afterwards) and taken by a thread of their own with
// sigwait, which calls onSignal once. Nothing runs in a signal handler, and output in progress
// is finished rather than cut off. Construct it before starting other threads, so that they
// inherit the blocked signals.

#include <atomic>
#include <csignal>
#include <functional>
#include <pthread.h>
#include <thread>

namespace qarn {

class SignalStop {
public:
    explicit SignalStop(std::function<void()> onSignal)
    {
        sigemptyset(&fSignals);
        sigaddset(&fSignals, SIGINT);
        sigaddset(&fSignals, SIGTERM);
        // SIGUSR1 comes from the destructor when the command ended for another reason.
        sigaddset(&fSignals, SIGUSR1);
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

private:
    sigset_t fSignals;
    sigset_t fPrevious;
    std::atomic<bool> fSignalled{false};
    std::thread fThread;
};

} // namespace qarn
