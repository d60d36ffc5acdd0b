// Library files for the batch and desktop tests, written from small pieces:
// an entry, a track, a playlist's items, and the file's text around them.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace testsupport {

inline std::string integer(const std::string& key, int64_t v)
{
    return "<key>" + key + "</key><integer>" + std::to_string(v) + "</integer>";
}
inline std::string text(const std::string& key, const std::string& v)
{
    return "<key>" + key + "</key><string>" + v + "</string>";
}
inline std::string location(const std::string& url) { return text("Location", url); }
inline std::string track(int id, const std::string& body)
{
    return "<key>" + std::to_string(id) + "</key><dict>" + body + "</dict>\n";
}
inline std::string items(const std::vector<int>& ids)
{
    std::string s = "<key>Playlist Items</key><array>";
    for (int id : ids)
        s += "<dict>" + integer("Track ID", id) + "</dict>";
    return s + "</array>";
}
inline std::string playlist(const std::string& name, const std::string& body)
{
    return "<dict>" + text("Name", name) + body + "</dict>\n";
}

// A library file's text with these tracks and playlists.
inline std::string libraryText(const std::string& tracks, const std::string& playlists)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict><key>Tracks</key><dict>\n" +
        tracks + "</dict>\n<key>Playlists</key><array>" + playlists + "</array></dict>\n</plist>\n";
}

// Tracks first, first + 1, ... at these locations (each with a persistent ID
// and extra), all in the playlist "Library", then the other playlists.
inline std::string libraryOf(const std::vector<std::string>& locations, int first = 11, const std::string& extra = "",
                             const std::string& playlists = "")
{
    std::string tracks;
    std::vector<int> ids;
    for (size_t i = 0; i < locations.size(); ++i) {
        const int id = first + int(i);
        const std::string pid = std::to_string(id);
        tracks += track(id,
                        integer("Track ID", id) + text("Persistent ID", std::string(16 - pid.size(), '0') + pid) +
                            extra + location(locations[i]));
        ids.push_back(id);
    }
    return libraryText(tracks, playlist("Library", items(ids)) + playlists);
}

} // namespace testsupport
