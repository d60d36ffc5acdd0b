#include "app/cli/CliCommand.h"

#include <cstdio>

namespace ovra::tempix::cli {

// A JSON string: quotes, backslashes and control characters escaped; bytes
// that are not UTF-8 become U+FFFD so that the line stays valid JSON.
std::string jsonstring(const std::string& text)
{
    std::string out = "\"";
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
            ++i;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            ++i;
        } else if (c < 0x80) {
            out += char(c);
            ++i;
        } else {
            size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            bool valid = n != 0 && i + n <= text.size();
            for (size_t k = 1; valid && k < n; ++k)
                valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (valid && n == 3) {
                const unsigned char c1 = static_cast<unsigned char>(text[i + 1]);
                valid = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);
            } else if (valid && n == 4) {
                const unsigned char c1 = static_cast<unsigned char>(text[i + 1]);
                valid = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
            }
            if (valid) {
                out.append(text, i, n);
                i += n;
            } else {
                out += "\\ufffd";
                ++i;
            }
        }
    }
    return out + "\"";
}

int FilesCommand::run()
{
    if (files.empty()) {
        std::fprintf(stderr, "tempix-cli: %s needs at least one FILE\n", option);
        return EXIT_USAGE;
    }
    return runfiles();
}

} // namespace ovra::tempix::cli
