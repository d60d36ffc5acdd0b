// A request/reply server in a child process, called by its parent over two
// pipes. Each frame is a 4-byte length in the machine's byte order and a body.
#pragma once
#include <cstdint>

namespace ovra {

// Starts path in a child whose standard input, output and error come from new
// pipes when the matching out-parameter is given. With no path or argv the
// child returns from the call with pid 0. Returns 0 or an error number.
int pipeforkexec(const char* path, char* const argv[], int& pid, int* stdinfd, int* stdoutfd, int* stderrfd,
                 bool usevfork, bool usepath, bool cloexec, bool closefds, bool nullstderr);

int close_pipe(int fd);

// A writer whose reader has gone gets an error instead of the signal that would
// end the whole program. Leaves a handler that someone installed alone.
void ignorebrokenpipes();

class ChildServer {
public:
    // How long one call may take before the child is taken for hung.
    static constexpr int DEFAULT_CALL_TIMEOUT_MS = 30000;
    // How long stop waits for the child to end by itself before killing it.
    static constexpr int STOP_GRACE_MS = 10000;

    ChildServer();
    virtual ~ChildServer();
    ChildServer(const ChildServer&) = delete;
    ChildServer& operator=(const ChildServer&) = delete;

    // Serving side, in the child.
    virtual void setup() {}
    virtual void cleanup() {}
    // reply: malloc'd buffer or null (then replylength 0).
    virtual void serve(const void* request, uint32_t length, void*& reply, uint32_t& replylength) = 0;
    // Milliseconds until idle() wants to run, or -1 when nothing is pending.
    virtual int idletimeout() { return -1; }
    virtual void idle() {}

    // Calling side, in the parent. 0 when running (also when already running).
    int start_external(const char* path);
    // The same with an argument vector of its own (argv[0] first, null-terminated).
    int start_external(const char* path, char* const argv[]);
    // One exchange; the caller frees reply. Any failure stops the child, so a
    // conversation never goes on out of step; ETIMEDOUT when the child took
    // longer than the call time limit (it is killed and reaped).
    int call(const void* request, uint32_t length, void*& reply, uint32_t& replylength);
    int stop();
    [[noreturn]] void serverloop();

    // 0 or less: wait for ever.
    void setcalltimeout(int ms) { timeoutms = ms; }
    int calltimeout() const { return timeoutms; }
    void setstopgrace(int ms) { stopgracems = ms; }
    int childpid() const { return pid; }
    bool running() const { return pid != 0; }
    // Running, and the child has not ended meanwhile (one that has is reaped
    // and the server is idle again).
    bool alive();

private:
    int pid = 0;
    int requestpipe = -1;
    int replypipe = -1;
    int timeoutms = DEFAULT_CALL_TIMEOUT_MS;
    int stopgracems = STOP_GRACE_MS;

    void killchild();
};

} // namespace ovra
