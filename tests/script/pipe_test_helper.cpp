// A child server for the pipe protocol tests. What it does depends on the request:
//   (empty)      replies "empty request"
//   null         replies with no body
//   big N        replies N bytes 'x' (no NUL)
//   hang         never replies
//   die          exits at once
//   short        writes half a reply and exits
//   slow TEXT    sends TEXT in pieces, pausing between them, then exits
//   anything     echoed back
#include "script/ChildServer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

class TestServer : public ovra::ChildServer {
public:
    void serve(const void* request, uint32_t length, void*& reply, uint32_t& replylength) override
    {
        const std::string q = request ? std::string(static_cast<const char*>(request), length) : std::string();
        std::string r = request == nullptr ? "empty request" : q == "null" ? "" : q;
        if (q.rfind("big ", 0) == 0) {
            r.assign(std::strtoul(q.c_str() + 4, nullptr, 10), 'x');
        } else if (q == "hang") {
            for (;;)
                pause();
        } else if (q == "die") {
            _exit(3);
        } else if (q == "short") {
            uint32_t n = 100;
            write(1, &n, 4);
            write(1, "only part", 9);
            _exit(0);
        } else if (q.rfind("slow ", 0) == 0) {
            std::string text = q.substr(5);
            uint32_t n = static_cast<uint32_t>(text.size());
            write(1, &n, 2);
            usleep(50000);
            write(1, reinterpret_cast<char*>(&n) + 2, 2);
            for (size_t i = 0; i < text.size(); i += 3) {
                usleep(20000);
                write(1, text.data() + i, std::min<size_t>(3, text.size() - i));
            }
            _exit(0); // the reply has gone out by hand
        }
        // An empty text goes back as no body at all.
        reply = r.empty() ? nullptr : std::memcpy(std::malloc(r.size()), r.data(), r.size());
        replylength = static_cast<uint32_t>(r.size());
    }
};

} // namespace

int main()
{
    TestServer server;
    server.serverloop();
}
