#include "script/AppleScriptServer.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace ovra {

namespace {

// The system route waits this long for the script runner before killing it.
constexpr int OSASCRIPT_TIMEOUT_MS = 30000;

// 0 when fd is ready for events within ms; ETIMEDOUT, or the error of poll
// (EINTR: try again).
int waitready(int fd, short events, int ms)
{
    pollfd pf{fd, events, 0};
    int r = poll(&pf, 1, ms);
    if (r == 0)
        return ETIMEDOUT;
    return r < 0 ? errno : 0;
}

} // namespace

AppleScriptServer::AppleScriptServer() = default;

AppleScriptServer::~AppleScriptServer() { stop(); }

void AppleScriptServer::serve(const void*, uint32_t, void*& reply, uint32_t& replylength)
{
    reply = nullptr;
    replylength = 0;
}

int osatenderpath(char* out, size_t size) { return helperpath("osatender", out, size); }

int AppleScriptServer::start_external()
{
    char path[PATH_BUFFER];
    int e = osatenderpath(path, sizeof path);
    if (e != 0)
        return e;
    return start_helper(path);
}

int AppleScriptServer::start_helper(const char* helperpath)
{
    std::string path = helperpath;
    std::string libraryOption = "--library-file";
    std::string mapOption = "--map-location";
    std::vector<char*> argv{path.data()};
    if (!library.empty()) {
        argv.push_back(libraryOption.data());
        argv.push_back(library.data());
    }
    for (std::string& map : locationMaps) {
        argv.push_back(mapOption.data());
        argv.push_back(map.data());
    }
    argv.push_back(nullptr);
    return ChildServer::start_external(path.c_str(), argv.data());
}

int AppleScriptServer::executefromtext(const char* text, char* buffer, size_t size)
{
    void* reply = nullptr;
    uint32_t replylength = 0;
    int e = call(text, static_cast<uint32_t>(std::strlen(text) + 1), reply, replylength);
    if (e != 0)
        return e;
    if (reply == nullptr)
        return -1;
    strcpy_max(buffer, size, static_cast<const char*>(reply), replylength);
    std::free(reply);
    return 0;
}

int executewithosascript(const char* script, char* buffer, size_t size)
{
    char helper[PATH_BUFFER];
    int e = helperpath("osascript", helper, sizeof helper);
    if (e != 0)
        return e;
    std::string path = helper;
    std::string text = script; // the caller may hand the same memory as buffer
    std::string dash = "-";
    char* argv[] = {path.data(), dash.data(), nullptr};
    ignorebrokenpipes();
    int pid = 0, in = -1, out = -1;
    e = pipeforkexec(path.c_str(), argv, pid, &in, &out, nullptr, true, false, true, true, false);
    if (e != 0)
        return e;

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(OSASCRIPT_TIMEOUT_MS);
    auto left = [&] {
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        return ms < 0 ? 0 : static_cast<int>(ms);
    };
    const char* p = text.data();
    size_t rest = text.size();
    while (e == 0 && rest > 0) {
        if (int w = waitready(in, POLLOUT, left())) {
            if (w != EINTR)
                e = w;
            continue;
        }
        ssize_t n = write(in, p, rest);
        if (n < 0) {
            if (errno != EINTR && errno != EAGAIN)
                e = errno;
            continue;
        }
        p += n;
        rest -= static_cast<size_t>(n);
    }
    close_pipe(in);
    size_t got = 0;
    while (e == 0 && size > 0 && got < size - 1) {
        if (int w = waitready(out, POLLIN, left())) {
            if (w != EINTR)
                e = w;
            continue;
        }
        ssize_t n = read(out, buffer + got, size - 1 - got);
        if (n < 0) {
            if (errno != EINTR && errno != EAGAIN)
                e = errno;
            continue;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (size > 0)
        buffer[got] = '\0';
    close_pipe(out);
    if (e == ETIMEDOUT)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return e;
}

} // namespace ovra
