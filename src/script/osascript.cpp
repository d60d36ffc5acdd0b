// osascript: runs one script and prints its result.
//   osascript [--library-file PATH] [-e statement]... | [FILE | -]   (no file: standard input)
#include "script/AppleScriptRunner.h"
#include "script/LibraryHost.h"
#include "platform/ErrorCodes.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::string text;
    bool statements = false;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-e") == 0 && i + 1 < argc) {
            text += argv[++i];
            text += '\n';
            statements = true;
        } else if (std::strcmp(argv[i], "--library-file") == 0 && i + 1 < argc) {
            ovra::setlibraryfile(argv[++i]);
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::puts("usage: osascript [--library-file PATH] [-e statement]... | [FILE | -]");
            return 0;
        } else {
            file = argv[i];
        }
    }
    if (!statements) {
        std::stringstream buf;
        if (file == nullptr || std::strcmp(file, "-") == 0) {
            buf << std::cin.rdbuf();
        } else {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "osascript: cannot read %s\n", file);
                return 1;
            }
            buf << in.rdbuf();
        }
        text = buf.str();
    }
    if (text.find('\0') != std::string::npos) {
        std::fprintf(stderr, "osascript: the script contains a NUL byte\n");
        return 1;
    }
    std::vector<char> result(1 << 20);
    int status;
    {
        ovra::AppleScriptRunner runner;
        status = runner.executefromtext(text.c_str(), result.data(), result.size());
    }
    if (status != 0) {
        std::fprintf(stderr, "osascript: error %d: %s\n", status, ovra::errorText(status).c_str());
        return 1;
    }
    if (result[0] != '\0')
        std::printf("%s\n", result.data());
    return 0;
}
