#include "script/ChildServer.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ovra {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline for poll: -1 without a deadline.
int remaining(const Clock::time_point* deadline)
{
    if (deadline == nullptr)
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left > 1000000 ? 1000000 : left);
}

// Waits until fd is ready for events; 0, ETIMEDOUT or an error number.
int waitready(int fd, short events, const Clock::time_point* deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, remaining(deadline));
        if (n > 0)
            return 0; // ready, or an error the next read/write reports
        if (n == 0)
            return ETIMEDOUT;
        if (errno != EINTR)
            return errno;
    }
}

// Moves all size bytes one way, continuing after a short read or write;
// the end of input before that is EPIPE. 0 or an error number.
template <typename Byte, typename Call>
int transferall(int fd, Byte* p, size_t size, short events, Call call, const Clock::time_point* deadline)
{
    while (size > 0) {
        if (int e = waitready(fd, events, deadline))
            return e;
        ssize_t n = call(fd, p, size);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return errno;
        }
        if (n == 0)
            return EPIPE;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

int writeall(int fd, const void* data, size_t size, const Clock::time_point* deadline)
{
    return transferall(fd, static_cast<const char*>(data), size, POLLOUT, ::write, deadline);
}

int readall(int fd, void* data, size_t size, const Clock::time_point* deadline)
{
    return transferall(fd, static_cast<char*>(data), size, POLLIN, ::read, deadline);
}

void closefrom3()
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0)
        return;
#endif
    for (int fd = 3; fd < getdtablesize(); ++fd)
        close(fd);
}

int addcloexec(int fd)
{
    int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0)
        return errno;
    return 0;
}

} // namespace

void ignorebrokenpipes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction old {};
        if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
            struct sigaction ign {};
            ign.sa_handler = SIG_IGN;
            sigemptyset(&ign.sa_mask);
            sigaction(SIGPIPE, &ign, nullptr);
        }
    });
}

int close_pipe(int fd) { return close(fd) == 0 ? 0 : errno; }

int pipeforkexec(const char* path, char* const argv[], int& pid, int* stdinfd, int* stdoutfd, int* stderrfd,
                 bool usevfork, bool usepath, bool cloexec, bool closefds, bool nullstderr)
{
    int fds[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    int* wanted[3] = {stdinfd, stdoutfd, stderrfd};
    auto closeall = [&] {
        for (auto& p : fds)
            for (int& fd : p)
                if (fd >= 0) {
                    close(fd);
                    fd = -1;
                }
    };
    for (int i = 0; i < 3; ++i) {
        if (wanted[i] != nullptr && pipe(fds[i]) != 0) {
            int e = errno;
            perror("pipe");
            closeall();
            return e;
        }
    }
    // Everything the child needs is prepared before the fork: after a vfork
    // the child may only rearrange descriptors and exec.
    bool doexec = path != nullptr && argv != nullptr;
    pid_t child = usevfork && doexec ? vfork() : fork();
    if (child < 0) {
        int e = errno;
        perror(usevfork && doexec ? "vfork" : "fork");
        closeall();
        return e;
    }
    if (child > 0) {
        // stdin: the parent keeps the write end; stdout/stderr: the read end.
        for (int i = 0; i < 3; ++i) {
            if (wanted[i] == nullptr)
                continue;
            int keep = i == 0 ? fds[i][1] : fds[i][0];
            int drop = i == 0 ? fds[i][0] : fds[i][1];
            close(drop);
            if (cloexec)
                addcloexec(keep);
            *wanted[i] = keep;
        }
        pid = child;
        return 0;
    }
    // The child.
    for (int i = 0; i < 3; ++i) {
        if (wanted[i] == nullptr)
            continue;
        int use = i == 0 ? fds[i][0] : fds[i][1];
        dup2(use, i);
        close(fds[i][0]);
        close(fds[i][1]);
    }
    if (nullstderr) {
        int n = open("/dev/null", O_WRONLY);
        if (n >= 0) {
            dup2(n, 2);
            if (n != 2)
                close(n);
        }
    }
    if (closefds)
        closefrom3();
    if (doexec) {
        // A program started by us gets the ordinary broken-pipe behaviour back.
        signal(SIGPIPE, SIG_DFL);
        if (usepath)
            execvp(path, argv);
        else
            execv(path, argv);
        perror(path);
        _exit(255);
    }
    pid = 0;
    return 0;
}

ChildServer::ChildServer() = default;

ChildServer::~ChildServer() { stop(); }

int ChildServer::start_external(const char* path)
{
    char* argv[] = {const_cast<char*>(path), nullptr};
    return start_external(path, argv);
}

int ChildServer::start_external(const char* path, char* const argv[])
{
    if (pid != 0)
        return 0;
    ignorebrokenpipes();
    int child = 0, in = -1, out = -1;
    int e = pipeforkexec(path, argv, child, &in, &out, nullptr, true, false, true, true, false);
    if (e != 0)
        return e;
    pid = child;
    requestpipe = in;
    replypipe = out;
    return 0;
}

int ChildServer::call(const void* request, uint32_t length, void*& reply, uint32_t& replylength)
{
    reply = nullptr;
    replylength = 0;
    if (requestpipe < 0 || replypipe < 0)
        return EBADF;
    ignorebrokenpipes();
    Clock::time_point limit = Clock::now() + std::chrono::milliseconds(timeoutms);
    const Clock::time_point* deadline = timeoutms > 0 ? &limit : nullptr;

    int e = writeall(requestpipe, &length, sizeof length, deadline);
    if (e == 0 && request != nullptr && length != 0)
        e = writeall(requestpipe, request, length, deadline);
    uint32_t n = 0;
    if (e == 0)
        e = readall(replypipe, &n, sizeof n, deadline);
    if (e == 0 && n != 0) {
        reply = std::malloc(n);
        if (reply == nullptr)
            e = ENOMEM;
        else
            e = readall(replypipe, reply, n, deadline);
    }
    if (e != 0) {
        // The conversation is out of step (or the child hangs): end it.
        if (e == ETIMEDOUT)
            killchild();
        stop();
        return e;
    }
    replylength = n;
    return 0;
}

bool ChildServer::alive()
{
    if (pid == 0)
        return false;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid)
        return true;
    pid = 0; // reaped: stop only closes the pipes
    stop();
    return false;
}

void ChildServer::killchild()
{
    // A chance to clean up (a save's temporary file); stop kills it for good
    // when it does not end within the grace time.
    if (pid != 0)
        kill(pid, SIGTERM);
}

int ChildServer::stop()
{
    if (requestpipe != -1)
        close_pipe(requestpipe);
    if (replypipe != -1)
        close_pipe(replypipe);
    requestpipe = replypipe = -1;
    if (pid != 0) {
        // The child ends when it sees the end of its input; one that does not
        // within the grace time is killed, so stop never hangs.
        int status = 0;
        auto giveup = Clock::now() + std::chrono::milliseconds(stopgracems);
        for (;;) {
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid || (r < 0 && errno != EINTR))
                break;
            if (Clock::now() >= giveup) {
                kill(pid, SIGKILL);
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            usleep(2000);
        }
        pid = 0;
    }
    return 0;
}

void ChildServer::serverloop()
{
    ignorebrokenpipes();
    setup();
    for (;;) {
        // Idle work (saving a changed document) runs while no request waits.
        for (;;) {
            int wait = idletimeout();
            if (wait < 0)
                break;
            if (wait == 0) {
                idle();
                continue;
            }
            pollfd p{0, POLLIN, 0};
            int n = poll(&p, 1, wait);
            if (n > 0)
                break;
            if (n == 0)
                idle();
            else if (errno != EINTR)
                break;
        }
        uint32_t length = 0;
        if (readall(0, &length, sizeof length, nullptr) != 0)
            break;
        void* request = nullptr;
        if (length != 0) {
            request = std::malloc(length);
            if (request == nullptr || readall(0, request, length, nullptr) != 0) {
                std::free(request);
                break;
            }
        }
        void* reply = nullptr;
        uint32_t replylength = 0;
        serve(request, length, reply, replylength);
        if (reply == nullptr)
            replylength = 0;
        bool ok = writeall(1, &replylength, sizeof replylength, nullptr) == 0;
        if (ok && reply != nullptr && replylength != 0)
            ok = writeall(1, reply, replylength, nullptr) == 0;
        std::free(reply);
        std::free(request);
        if (!ok)
            break;
    }
    cleanup();
    std::fflush(nullptr);
    std::exit(0);
}

} // namespace ovra
