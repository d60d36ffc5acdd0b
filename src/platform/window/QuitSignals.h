// The termination signals (SIGTERM at a logout, SIGINT, SIGHUP) ask the
// program to quit through its event loop, as its own Quit does. The handler
// only writes to a pipe; the request is handled on the main thread. A second
// signal of the same kind is not caught.
#pragma once
#include <functional>
#include <memory>

class QSocketNotifier;

namespace ovra {

class QuitSignals {
public:
    // onsignal runs on the main thread with the signal's number. Needs the
    // application object. Only one set of handlers exists at a time.
    explicit QuitSignals(std::function<void(int)> onsignal);
    // Puts the earlier handlers back.
    ~QuitSignals();
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    // False when the pipe or a handler could not be set up.
    bool installed() const { return ok; }

private:
    void drain();

    std::function<void(int)> callback;
    std::unique_ptr<QSocketNotifier> notifier;
    bool ok = false;
};

} // namespace ovra
