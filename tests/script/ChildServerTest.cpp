// The pipe protocol against a real child process: framing, empty requests and
// replies, large and slow replies, and children that fail in every way.
#include "support/TempFolders.h"
#include "script/ChildServer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Client : public ovra::ChildServer {
public:
    void serve(const void*, uint32_t, void*& reply, uint32_t& replylength) override
    {
        reply = nullptr;
        replylength = 0;
    }
};

std::string ask(ovra::ChildServer& s, const std::string& request, int* status = nullptr)
{
    void* reply = nullptr;
    uint32_t n = 0;
    int e = s.call(request.empty() ? nullptr : request.data(), static_cast<uint32_t>(request.size()), reply, n);
    if (status != nullptr)
        *status = e;
    std::string r = reply ? std::string(static_cast<char*>(reply), n) : std::string("<null>");
    std::free(reply);
    return e == 0 ? r : "<error>";
}

bool alive(int pid) { return pid > 0 && kill(pid, 0) == 0; }

TEST(ChildServer, RequestsAndRepliesOfEveryShape)
{
    Client c;
    ASSERT_EQ(c.start_external(PIPE_TEST_HELPER), 0);
    EXPECT_EQ(ask(c, "hello"), "hello");
    // An empty request is a frame of length 0; serve sees a null request.
    EXPECT_EQ(ask(c, ""), "empty request");
    // A null reply comes back as length 0 and status 0.
    void* reply = reinterpret_cast<void*>(1);
    uint32_t n = 99;
    EXPECT_EQ(c.call("null", 4, reply, n), 0);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(n, 0u);
    // Replies beyond the 80- and 4096-byte buffers of the callers, and one far
    // beyond what a pipe holds at once.
    EXPECT_EQ(ask(c, "big 80").size(), 80u);
    EXPECT_EQ(ask(c, "big 4097").size(), 4097u);
    EXPECT_EQ(ask(c, "big 1000000"), std::string(1000000, 'x'));
    // A large request, too.
    std::string large(300000, 'q');
    EXPECT_EQ(ask(c, large), large);
    EXPECT_EQ(ask(c, "after"), "after");
    // A body that arrives in pieces.
    EXPECT_EQ(ask(c, "slow a reply sent three bytes at a time"), "a reply sent three bytes at a time");
    EXPECT_EQ(c.stop(), 0);
}

TEST(ChildServer, StartTwiceStartsOneChildAndStopReapsIt)
{
    Client c;
    int status = 0;
    EXPECT_EQ(ask(c, "x", &status), "<error>"); // idle: a call fails
    EXPECT_EQ(status, EBADF);
    EXPECT_EQ(c.stop(), 0); // and a stop has nothing to do
    EXPECT_FALSE(c.running());
    ASSERT_EQ(c.start_external(PIPE_TEST_HELPER), 0);
    int pid = c.childpid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(c.start_external(PIPE_TEST_HELPER), 0);
    EXPECT_EQ(c.childpid(), pid);
    EXPECT_EQ(ask(c, "one"), "one");
    EXPECT_EQ(c.stop(), 0);
    EXPECT_FALSE(c.running());
    // Reaped: no such child any more.
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(c.stop(), 0);
    // And it can be started again.
    ASSERT_EQ(c.start_external(PIPE_TEST_HELPER), 0);
    EXPECT_NE(c.childpid(), pid);
    EXPECT_EQ(ask(c, "two"), "two");
}

TEST(ChildServer, MissingOrNotExecutableHelperFailsAtTheFirstCall)
{
    std::string dir = testsupport::suitefolder();
    std::string plain = dir + "/plain";
    std::ofstream(plain) << "not a program\n";
    chmod(plain.c_str(), 0644);
    for (const std::string& path : {dir + "/missing", plain, dir}) {
        Client c;
        // The exec fails in the child, after start_external has returned 0.
        ASSERT_EQ(c.start_external(path.c_str()), 0) << path;
        int status = 0;
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(ask(c, "anyone there?", &status), "<error>") << path;
            EXPECT_NE(status, 0);
        }
        EXPECT_FALSE(c.running()); // the failed exchange stopped and reaped it
    }
}

// A child that dies in a call, sends half a reply, is killed between calls
// or hangs past the time limit: an error with its code, never a signal or a
// half-filled success, and later calls fail at once.
TEST(ChildServer, ChildrenThatDieOrHangGiveErrors)
{
    Client c;
    ASSERT_EQ(c.start_external(PIPE_TEST_HELPER), 0);
    EXPECT_EQ(ask(c, "fine"), "fine");
    int status = 0;
    EXPECT_EQ(ask(c, "die", &status), "<error>");
    EXPECT_EQ(status, EPIPE);
    EXPECT_EQ(ask(c, "again", &status), "<error>");
    EXPECT_NE(status, 0);

    Client d;
    ASSERT_EQ(d.start_external(PIPE_TEST_HELPER), 0);
    EXPECT_EQ(ask(d, "short", &status), "<error>");
    EXPECT_EQ(status, EPIPE);

    Client e;
    ASSERT_EQ(e.start_external(PIPE_TEST_HELPER), 0);
    int pid = e.childpid();
    kill(pid, SIGKILL);
    usleep(100000);
    EXPECT_EQ(ask(e, std::string(200000, 'z'), &status), "<error>"); // EPIPE, not SIGPIPE
    EXPECT_EQ(status, EPIPE);
    EXPECT_FALSE(alive(pid));

    Client h;
    h.setcalltimeout(500);
    ASSERT_EQ(h.start_external(PIPE_TEST_HELPER), 0);
    pid = h.childpid();
    EXPECT_EQ(ask(h, "hang", &status), "<error>");
    EXPECT_EQ(status, ETIMEDOUT);
    EXPECT_FALSE(h.running());
    EXPECT_FALSE(alive(pid)); // killed and reaped, not left behind
    EXPECT_EQ(ask(h, "next", &status), "<error>");
}

TEST(ChildServer, StopDoesNotWaitForEverOnAChildThatIgnoresItsInput)
{
    // sleep never reads its input: stop closes the pipes, waits its grace
    // time and then kills it.
    Client c;
    c.setstopgrace(200);
    char* argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("100"), nullptr};
    ASSERT_EQ(c.start_external("/bin/sleep", argv), 0);
    int pid = c.childpid();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.stop(), 0);
    EXPECT_FALSE(alive(pid));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(50));
}

TEST(PipeForkExec, ChildGetsPipesAndNullStderr)
{
    int pid = 0, in = -1, out = -1, err = -1;
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                    const_cast<char*>("read x; echo \"got $x\"; echo oops >&2; ls /proc/self/fd | wc -l"), nullptr};
    ASSERT_EQ(ovra::pipeforkexec("sh", argv, pid, &in, &out, &err, false, true, true, true, true), 0);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(write(in, "abc\n", 4), 4);
    close(in);
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = read(out, buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    std::string errtext;
    while ((n = read(err, buf, sizeof buf)) > 0)
        errtext.append(buf, static_cast<size_t>(n));
    close(out);
    close(err);
    int status = 0;
    waitpid(pid, &status, 0);
    // Only 0, 1, 2 and the one ls opens: every other descriptor was closed.
    EXPECT_EQ(got, "got abc\n4\n");
    EXPECT_EQ(errtext, ""); // standard error went to /dev/null
}

TEST(PipeForkExec, NoExecReturnsInTheChild)
{
    int pid = -1, out = -1;
    ASSERT_EQ(ovra::pipeforkexec(nullptr, nullptr, pid, nullptr, &out, nullptr, false, false, true, false, false), 0);
    if (pid == 0) {
        (void)!write(1, "child", 5);
        _exit(0);
    }
    char buf[16] = {};
    ASSERT_GT(read(out, buf, sizeof buf - 1), 0);
    EXPECT_STREQ(buf, "child");
    EXPECT_NE(fcntl(out, F_GETFD) & FD_CLOEXEC, 0);
    close(out);
    waitpid(pid, nullptr, 0);
}

} // namespace
