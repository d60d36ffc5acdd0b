// The pipe protocol against a real child process: framing, empty requests and
// replies, large and slow replies, and children that fail in every way.
#include "support/TempFolders.h"
#include "script/ChildServer.h"

#include <gtest/gtest.h>

#include <cerrno>
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

std::string error(int e) { return "<error " + std::to_string(e) + ">"; }
bool failed(const std::string& r) { return r.starts_with("<error "); }

// The reply to a request, "<null>" for none, or the error of the call.
std::string ask(ovra::ChildServer& s, const std::string& request)
{
    void* reply = nullptr;
    uint32_t n = 0;
    int e = s.call(request.empty() ? nullptr : request.data(), static_cast<uint32_t>(request.size()), reply, n);
    std::string r = e != 0 ? error(e) : reply ? std::string(static_cast<char*>(reply), n) : "<null>";
    std::free(reply);
    return r;
}

bool alive(int pid) { return pid > 0 && kill(pid, 0) == 0; }

// All a pipe gives until its end, and then closed.
std::string drain(int fd)
{
    std::string text;
    char buf[256];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

// Every request comes back whole, whatever its size or pace.
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
    // A reply far beyond what a pipe holds at once.
    EXPECT_EQ(ask(c, "big 1000000"), std::string(1000000, 'x'));
    // A large request, too.
    std::string large(300000, 'q');
    EXPECT_EQ(ask(c, large), large);
    EXPECT_EQ(ask(c, "after"), "after");
    // A body that arrives in pieces.
    EXPECT_EQ(ask(c, "slow a reply sent three bytes at a time"), "a reply sent three bytes at a time");
    EXPECT_EQ(c.stop(), 0);
}

// One child at a time, reaped on stop, and a new one after it.
TEST(ChildServer, StartTwiceStartsOneChildAndStopReapsIt)
{
    Client c;
    EXPECT_EQ(ask(c, "x"), error(EBADF)); // idle: a call fails
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
    // And it can be started again.
    ASSERT_EQ(c.start_external(PIPE_TEST_HELPER), 0);
    EXPECT_NE(c.childpid(), pid);
    EXPECT_EQ(ask(c, "two"), "two");
}

// A helper that cannot run gives errors, not a hang.
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
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(failed(ask(c, "anyone there?"))) << path;
        EXPECT_FALSE(c.running()); // the failed exchange stopped and reaped it
    }
}

// A child that dies in a call, sends half a reply, is killed between calls
// or hangs past the time limit: an error with its code, never a signal or a
// half-filled success, and later calls fail at once.
TEST(ChildServer, ChildrenThatDieOrHangGiveErrors)
{
    for (const char* fatal : {"die", "short"}) {
        Client c;
        ASSERT_EQ(c.start_external(PIPE_TEST_HELPER), 0);
        EXPECT_EQ(ask(c, "fine"), "fine");
        EXPECT_EQ(ask(c, fatal), error(EPIPE)) << fatal;
        EXPECT_TRUE(failed(ask(c, "again")));
    }

    Client e;
    ASSERT_EQ(e.start_external(PIPE_TEST_HELPER), 0);
    int pid = e.childpid();
    kill(pid, SIGKILL);
    usleep(100000);
    EXPECT_EQ(ask(e, std::string(200000, 'z')), error(EPIPE)); // not SIGPIPE
    EXPECT_FALSE(alive(pid));

    Client h;
    h.setcalltimeout(500);
    ASSERT_EQ(h.start_external(PIPE_TEST_HELPER), 0);
    pid = h.childpid();
    EXPECT_EQ(ask(h, "hang"), error(ETIMEDOUT));
    EXPECT_FALSE(h.running());
    EXPECT_FALSE(alive(pid)); // killed and reaped, not left behind
    EXPECT_TRUE(failed(ask(h, "next")));
}

TEST(ChildServer, StopDoesNotWaitForEverOnAChildThatIgnoresItsInput)
{
    // sleep never reads its input: stop closes the pipes, waits its grace
    // time and then kills it. A stop that waited for it to end would run past
    // the test's time limit.
    Client c;
    c.setstopgrace(200);
    char* argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("1000"), nullptr};
    ASSERT_EQ(c.start_external("/bin/sleep", argv), 0);
    int pid = c.childpid();
    EXPECT_EQ(c.stop(), 0);
    EXPECT_FALSE(alive(pid));
}

// The child sees our pipes and nothing else of ours.
TEST(PipeForkExec, ChildGetsPipesAndNullStderr)
{
    int pid = 0, in = -1, out = -1, err = -1;
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                    const_cast<char*>("read x; echo \"got $x\"; echo oops >&2; ls /proc/self/fd | wc -l"), nullptr};
    ASSERT_EQ(ovra::pipeforkexec("sh", argv, pid, &in, &out, &err, false, true, true, true, true), 0);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(write(in, "abc\n", 4), 4);
    close(in);
    // Our ends are closed in later children; in this one only 0, 1, 2 and the
    // one ls opens are left: every other descriptor was closed.
    EXPECT_NE(fcntl(out, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(drain(out), "got abc\n4\n");
    EXPECT_EQ(drain(err), ""); // standard error went to /dev/null
    waitpid(pid, nullptr, 0);
}

} // namespace
