// osatender's server: each request is run with an AppleScriptRunner in this
// process and its result sent back (no reply when the script failed).
#pragma once
#include "script/AppleScriptRunner.h"
#include "script/AppleScriptServer.h"

#include <memory>

namespace ovra {

class AppleScriptServer_helper : public AppleScriptServer {
public:
    void setup() override;
    void cleanup() override;
    void serve(const void* request, uint32_t length, void*& reply, uint32_t& replylength) override;
    int idletimeout() override;
    void idle() override;

private:
    std::unique_ptr<AppleScriptRunner> runner;
};

// The osatender program: serves scripts on standard input and output.
// "--library-file PATH" names the library file.
int osatendermain(int argc, char** argv);

} // namespace ovra
