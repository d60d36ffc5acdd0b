// Runs scripts in the helper process osatender: the calling side (the batch)
// starts the helper and sends it one script per track. The serving side, in
// osatender, is AppleScriptServer_helper; this process has no runner, so a
// request served here gets no reply.
#pragma once
#include "script/ChildServer.h"

#include <cstddef>
#include <string>
#include <vector>

namespace ovra {

class AppleScriptServer : public ChildServer {
public:
    // The largest result the helper sends back, with its NUL.
    static constexpr size_t RESULT_SIZE = 4096;

    AppleScriptServer();
    ~AppleScriptServer() override;

    void serve(const void* request, uint32_t length, void*& reply, uint32_t& replylength) override;

    // Calling side. The library file the helper is to use (empty: the helper
    // finds it itself, as the batch does); takes effect at the next start.
    void setlibraryfile(const char* path) { library = path != nullptr ? path : ""; }
    // Where the library's locations lie here ("PREFIX=FOLDER" each), so that
    // a refresh reads the same file as the batch; from the next start on.
    void setlocationmaps(const std::vector<std::string>& maps) { locationMaps = maps; }
    // Starts the helper that lies next to this program (osatender).
    int start_external();
    // Starts the helper at helperpath, with the library file as above.
    int start_helper(const char* helperpath);
    using ChildServer::start_external;
    // 0 and the result (cut to size - 1 bytes), -1 when the script failed in
    // the helper, or the error number of the exchange.
    int executefromtext(const char* text, char* buffer, size_t size);

private:
    std::string library;
    std::vector<std::string> locationMaps;
};

// The helper's path: LIBEXECDIR/tempix/osatender of the program's own tree.
int osatenderpath(char* out, size_t size);

// The system route: runs script with the osascript program that lies next to
// osatender, fed on its standard input; its output goes into buffer (size
// bytes with the NUL). script and buffer may be the same memory. 0 or an
// error number.
int executewithosascript(const char* script, char* buffer, size_t size);

} // namespace ovra
