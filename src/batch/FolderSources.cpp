#include "batch/FolderSources.h"
#include "batch/PlaylistFile.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ovra::tempix {

namespace {

std::string printed(const char* f, const std::string& a, const std::string& b = "", long n = 0)
{
    std::vector<char> text(a.size() + b.size() + std::strlen(f) + 32);
    std::snprintf(text.data(), text.size(), f, a.c_str(), b.c_str(), n);
    return text.data();
}

} // namespace

void playlistsources(const std::string& path, ovra::LocationMap& map, std::vector<FolderSource>& out)
{
    auto logged = [](const std::string& text) { return ovra::escapecontrols(text.c_str()); };
    PlaylistContents list = readPlaylist(path.c_str(), &map);
    if (list.error != 0) {
        out.push_back({"",
                       printed("Could not read playlist '%s': %s (errno %ld).\n", logged(path),
                               std::strerror(list.error), list.error),
                       true});
        return;
    }
    out.push_back({"",
                   printed("Reading playlist '%s': %s entries.\n", logged(path), std::to_string(list.entries.size())),
                   false});
    for (const PlaylistEntry& e : list.entries) {
        const std::string text = logged(e.text);
        switch (e.kind) {
        case PlaylistEntry::track:
            out.push_back({e.path, "", false});
            break;
        case PlaylistEntry::missing:
            if (e.error != ENOENT && e.error != ENOTDIR)
                out.push_back(
                    {"",
                     printed("Could not open '%s': %s (errno %ld).\n", logged(e.path), std::strerror(e.error), e.error),
                     true});
            else if (e.path == e.text)
                out.push_back({"", printed("Playlist entry not found: skipping '%s'.\n", text), true});
            else
                out.push_back(
                    {"", printed("Playlist entry not found: skipping '%s' (looked for '%s').\n", text, logged(e.path)),
                     true});
            break;
        case PlaylistEntry::repeated:
            out.push_back({"", printed("Playlist entry listed before: skipping '%s'.\n", text), false});
            break;
        case PlaylistEntry::stream:
            out.push_back({"", printed("Playlist entry is a stream, not a file: skipping '%s'.\n", text), false});
            break;
        case PlaylistEntry::notLocal:
            out.push_back({"", printed("File is not local: skipping '%s'.\n", text), false});
            break;
        case PlaylistEntry::unusable:
            out.push_back({"", printed("Playlist entry cannot be used, %s: skipping '%s'.\n", e.why, text), true});
            break;
        }
    }
}

std::vector<std::string> folderroots(const BatchSettings& settings)
{
    std::vector<std::string> roots = settings.source == SOURCE_PLAYLIST_FILE
        ? std::vector<std::string>{settings.playlistFile}
        : settings.paths.empty() ? std::vector<std::string>{settings.path}
                                 : settings.paths;
    for (std::string& r : roots) {
        char real[PATH_MAX];
        if (::realpath(r.c_str(), real) != nullptr && std::strlen(real) < ovra::PATH_BUFFER)
            r = real;
    }
    return roots;
}

} // namespace ovra::tempix
