#include "script/AppleScriptServer_helper.h"
#include "script/LibraryDocument.h"
#include "script/LibraryHost.h"

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace ovra {

void AppleScriptServer_helper::setup() { runner = std::make_unique<AppleScriptRunner>(); }

void AppleScriptServer_helper::cleanup()
{
    if (runner) {
        runner->finish();
        runner.reset();
    }
}

void AppleScriptServer_helper::serve(const void* request, uint32_t length, void*& reply, uint32_t& replylength)
{
    reply = nullptr;
    replylength = 0;
    if (!runner || request == nullptr || length == 0)
        return;
    // The text ends at its one NUL; one inside it would hide the rest.
    const char* text = static_cast<const char*>(request);
    const void* nul = std::memchr(text, '\0', length);
    if (nul == nullptr || static_cast<const char*>(nul) != text + length - 1)
        return;
    char result[RESULT_SIZE];
    int32_t status;
    try {
        status = runner->executefromtext(text, result, sizeof result);
    } catch (...) {
        status = -1;
    }
    if (status != 0)
        return;
    size_t n = std::strlen(result) + 1;
    void* copy = std::malloc(n);
    if (copy == nullptr)
        return;
    std::memcpy(copy, result, n);
    reply = copy;
    replylength = static_cast<uint32_t>(n);
}

int AppleScriptServer_helper::idletimeout() { return runner ? runner->idletimeout() : -1; }

void AppleScriptServer_helper::idle()
{
    if (runner)
        runner->idle();
}

int osatendermain(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--library-file") == 0)
            setlibraryfile(argv[++i]);
        else if (std::strcmp(argv[i], "--map-location") == 0)
            addlocationmap(argv[++i]);
    // A library that cannot be written in full is a failed save, not our end.
    signal(SIGXFSZ, SIG_IGN);
    // Ctrl-C in a terminal reaches the whole process group: the batch decides
    // when we end (by closing our input), so that its changes are saved.
    signal(SIGINT, SIG_IGN);
    // Ended by a signal: no half-written copy of the library is left behind.
    struct sigaction ending {};
    ending.sa_handler = [](int sig) {
        removesavetemporary();
        signal(sig, SIG_DFL);
        raise(sig);
    };
    sigemptyset(&ending.sa_mask);
    for (int sig : {SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &ending, nullptr);
    AppleScriptServer_helper server;
    try {
        server.serverloop();
    } catch (...) {
        server.stop();
        throw;
    }
}

} // namespace ovra
