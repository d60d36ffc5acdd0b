#include "platform/window/QuitSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace ovra {

namespace {

const int SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int COUNT = sizeof SIGNALS / sizeof SIGNALS[0];

int pipeEnds[2] = {-1, -1};
struct sigaction earlier[COUNT];
bool active = false;

// Async-signal-safe: one byte into the pipe, errno kept.
void onsignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    ssize_t written = write(pipeEnds[1], &byte, 1);
    (void)written; // a full pipe already holds a request
    errno = saved;
}

} // namespace

QuitSignals::QuitSignals(std::function<void(int)> onsignal_) : callback(std::move(onsignal_))
{
    if (active || pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    active = true;
    notifier = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [this] { drain(); });
    ok = true;
    for (int i = 0; i < COUNT; ++i) {
        struct sigaction action = {};
        action.sa_handler = onsignal;
        sigemptyset(&action.sa_mask);
        // A second signal of the same kind ends the program at once, should
        // the orderly way hang.
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        if (sigaction(SIGNALS[i], &action, &earlier[i]) != 0)
            ok = false;
    }
}

QuitSignals::~QuitSignals()
{
    if (!notifier)
        return;
    for (int i = 0; i < COUNT; ++i)
        sigaction(SIGNALS[i], &earlier[i], nullptr);
    notifier.reset();
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
    active = false;
}

void QuitSignals::drain()
{
    unsigned char bytes[16];
    ssize_t n;
    int last = 0;
    while ((n = read(pipeEnds[0], bytes, sizeof bytes)) > 0)
        last = bytes[n - 1];
    if (last != 0 && callback)
        callback(last);
}

} // namespace ovra
