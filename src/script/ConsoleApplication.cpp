#include "script/ConsoleApplication.h"
#include "platform/ErrorCodes.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ovra {

const ScriptTerms& ConsoleApplication::terms() const
{
    static const ScriptTerms t{{}, {}, {"activate", "open"}};
    return t;
}

ScriptValue ConsoleApplication::command(const std::string& name, const ScriptValue* direct)
{
    if (name == "activate") {
        if (direct != nullptr)
            throw SCRIPT_NOT_UNDERSTOOD;
        return ScriptValue::nothing();
    }
    if (name == "open") {
        if (direct == nullptr)
            throw SCRIPT_NOT_UNDERSTOOD;
        if (direct->kind != ScriptValue::FILE)
            throw SCRIPT_CANT_MAKE;
        const std::string& path = direct->text;
        struct stat st {};
        // Only an absolute path to an existing file reaches the viewer.
        if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos || stat(path.c_str(), &st) != 0)
            throw SCRIPT_FILE_NOT_FOUND;
        if (opendetached(path.c_str()) != 0)
            throw SCRIPT_APP_FAILED;
        return ScriptValue::nothing();
    }
    throw SCRIPT_NOT_UNDERSTOOD;
}

int opendetached(const char* path)
{
    pid_t child = fork();
    if (child < 0)
        return errno;
    if (child == 0) {
        // A second fork leaves the viewer to init, so nobody has to reap it.
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0)
            _exit(grandchild < 0 ? 1 : 0);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
#ifdef SYS_close_range
        syscall(SYS_close_range, 3u, ~0u, 0u);
#endif
        signal(SIGPIPE, SIG_DFL);
        char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(path), nullptr};
        execvp("xdg-open", argv);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return errno;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : ECHILD;
}

} // namespace ovra
