#include "batch/PlaylistFile.h"
#include "plist/LibraryLocation.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sys/stat.h>

namespace ovra::tempix {

namespace {

std::string toolong() { return "its path is longer than " + std::to_string(ovra::PATH_MAX_BYTES) + " bytes"; }

// A list longer than this is not a track list (and would only fill memory).
constexpr long MAX_PLAYLIST_BYTES = 64L * 1024 * 1024;

bool endsci(const char* text, const char* suffix)
{
    size_t n = std::strlen(text), m = std::strlen(suffix);
    return n >= m && strcmp_ci_ascii(text + n - m, suffix) == 0;
}

bool validutf8(const std::string& text)
{
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = c < 0x80     ? 0
            : c >= 0xC2 && c < 0xE0 ? 1
            : c >= 0xE0 && c < 0xF0 ? 2
            : c >= 0xF0 && c < 0xF5 ? 3
                                    : 9;
        if (extra == 9 || (extra > 0 && i + extra >= text.size()))
            return false;
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and code points past Unicode's end.
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string latin1(const std::string& text)
{
    std::string out(text.size() * 2 + 1, '\0');
    out.resize(latin1toutf8(text.data(), text.size(), out.data(), out.size()));
    return out;
}

// "http://", "rtsp://": a scheme of two characters or more (one is a drive letter).
bool isurl(const std::string& text)
{
    size_t colon = text.find("://");
    if (colon == std::string::npos || colon < 2 || !std::isalpha(static_cast<unsigned char>(text[0])))
        return false;
    for (size_t i = 1; i < colon; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

bool windowspath(const std::string& text)
{
    return (text.size() >= 3 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':' &&
            (text[2] == '\\' || text[2] == '/')) ||
        text.compare(0, 2, "\\\\") == 0;
}

// An absolute path as the file URL the location map compares.
std::string asurl(const std::string& path)
{
    std::string url = "file://";
    if (path.empty() || (path[0] != '/' && path[0] != '\\'))
        url += '/';
    for (char c : path) {
        if (c == '%')
            url += "%25";
        else if (c == '&')
            url += "%26";
        else
            url += c == '\\' ? '/' : c;
    }
    return url;
}

// The path of a "file:" URL on this host, %-escapes decoded; false for another
// host or an escape that gives a NUL byte.
bool localfile(const std::string& url, std::string& path)
{
    std::string rest = url.substr(5);
    if (rest.compare(0, 2, "//") == 0) {
        size_t slash = rest.find('/', 2);
        std::string host = rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
        if (!host.empty() && !ovra::startswithci(host, "localhost"))
            return false;
        if (!host.empty() && host.size() != 9)
            return false;
        rest = slash == std::string::npos ? "/" : rest.substr(slash);
    }
    if (rest.empty() || rest[0] != '/')
        return false;
    return percentdecode(rest, path);
}

// The folder's links resolved, the name kept: the form the batch's folder
// walk and its library lookup use.
std::string realfolder(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return path;
    char real[PATH_MAX];
    if (::realpath(path.substr(0, slash).c_str(), real) == nullptr)
        return path;
    return std::string(real) + path.substr(slash);
}

} // namespace

bool isPlaylistFile(const char* path) { return endsci(path, ".m3u") || endsci(path, ".m3u8") || endsci(path, ".pls"); }

std::vector<std::string> playlistLines(std::string text, bool pls, bool alwaysUtf8)
{
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    else if (!alwaysUtf8 && !validutf8(text))
        text = latin1(text);

    std::vector<std::pair<long, std::string>> numbered; // PLS: FileN, in N order
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        if (!pls) {
            if (line[0] != '#')
                lines.push_back(line);
            continue;
        }
        // [playlist], NumberOfEntries, TitleN, LengthN, Version: not entries.
        size_t eq = line.find('=');
        if (eq == std::string::npos || !ovra::startswithci(line, "file"))
            continue;
        std::string number = line.substr(4, eq - 4);
        if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos)
            continue;
        numbered.emplace_back(std::atol(number.c_str()), line.substr(eq + 1));
    }
    if (pls) {
        std::stable_sort(numbered.begin(), numbered.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& n : numbered)
            lines.push_back(std::move(n.second));
    }
    return lines;
}

PlaylistContents readPlaylist(const char* path, ovra::LocationMap* map)
{
    PlaylistContents contents;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        contents.error = errno;
        return contents;
    }
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
        if (long(text.size()) > MAX_PLAYLIST_BYTES)
            break;
    }
    bool failed = std::ferror(file) != 0;
    int error = errno;
    std::fclose(file);
    if (failed) {
        contents.error = error != 0 ? error : EIO;
        return contents;
    }
    if (long(text.size()) > MAX_PLAYLIST_BYTES) {
        contents.error = EFBIG;
        return contents;
    }

    std::string folder = path;
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    bool mapping = map != nullptr && !map->empty();

    std::set<std::string> seen; // real paths of the entries taken
    for (std::string& line : playlistLines(std::move(text), endsci(path, ".pls"), endsci(path, ".m3u8"))) {
        PlaylistEntry entry;
        entry.text = line;
        bool fileurl = ovra::startswithci(line, "file:");
        if (!fileurl && isurl(line)) {
            entry.kind = PlaylistEntry::stream;
            contents.entries.push_back(std::move(entry));
            continue;
        }
        bool absolute = fileurl || line[0] == '/' || windowspath(line);
        bool placed = false;
        if (mapping && absolute) {
            ovra::LocationMap::Resolved r = map->resolve((fileurl ? line : asurl(line)).c_str());
            if (r.mapped) {
                placed = true;
                if (r.status == ovra::LocationMap::LOCAL) {
                    entry.path = r.path;
                } else {
                    entry.kind = PlaylistEntry::unusable;
                    entry.why = r.status == ovra::LocationMap::CUT_SHORT
                        ? toolong()
                        : "more than one file here matches '" + r.path + "' when case is ignored";
                }
            }
        }
        if (!placed) {
            if (fileurl) {
                if (!localfile(line, entry.path))
                    entry.kind = PlaylistEntry::notLocal;
            } else if (line[0] == '/') {
                entry.path = line;
            } else {
                entry.path = folder == "/" ? "/" + line : folder + "/" + line;
                // Lists written on Windows separate folders with '\'; a name
                // here may hold one, so that form is only tried second.
                struct stat st;
                if (line.find('\\') != std::string::npos && !windowspath(line) && stat(entry.path.c_str(), &st) != 0) {
                    std::string slashed = entry.path;
                    std::replace(slashed.begin() + long(folder.size()), slashed.end(), '\\', '/');
                    if (stat(slashed.c_str(), &st) == 0)
                        entry.path = slashed;
                }
            }
        }
        if (entry.kind == PlaylistEntry::track) {
            struct stat st;
            if (entry.path.size() >= ovra::PATH_BUFFER) {
                entry.kind = PlaylistEntry::unusable;
                entry.why = toolong();
            } else if (stat(entry.path.c_str(), &st) != 0) {
                entry.kind = PlaylistEntry::missing;
                entry.error = errno;
            } else {
                char real[PATH_MAX];
                std::string key = ::realpath(entry.path.c_str(), real) != nullptr ? real : entry.path;
                entry.path = realfolder(entry.path);
                if (!seen.insert(key).second)
                    entry.kind = PlaylistEntry::repeated;
            }
        }
        contents.entries.push_back(std::move(entry));
    }
    return contents;
}

} // namespace ovra::tempix
