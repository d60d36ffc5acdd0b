#include "batch/TrackLocations.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace ovra::tempix {

const char* const NO_TRACK_FOUND_LINE =
    "None of the library's tracks was found on this computer; most of its locations begin with '%s'.\n";
const char* const HOW_TO_MAP_LINE =
    "If the files are here under another folder, map that prefix to it: tempix-cli --map-location '%s=FOLDER', "
    "or \"Map Locations...\" beside the library file in the Tempix window.\n";
const char* const LOOKED_IN_LINE = "The location mappings led to '%s', and the files are not there.\n";

namespace {

std::string format(const char* f, const std::string& a, const std::string& b = "", const std::string& c = "",
                   const std::string& d = "")
{
    std::vector<char> text(a.size() + b.size() + c.size() + d.size() + std::char_traits<char>::length(f) + 1);
    std::snprintf(text.data(), text.size(), f, a.c_str(), b.c_str(), c.c_str(), d.c_str());
    return text.data();
}

std::string logged(const std::string& text) { return ovra::escapecontrols(text.c_str()); }

} // namespace

TrackLocations::TrackLocations(const std::vector<std::string>& mappings)
{
    for (const std::string& spec : mappings) {
        std::string why = map.add(spec);
        if (why.empty()) {
            mappingEntries.push_back(format("Location mapping: '%s'.\n", logged(spec)));
        } else {
            mappingEntries.push_back(format("Location mapping '%s' cannot be used: %s.\n", logged(spec), why));
            ++unusable;
        }
    }
}

TrackLocations::Found TrackLocations::find(const char* location)
{
    Found f;
    ovra::LocationMap::Resolved r = map.resolve(location);
    switch (r.status) {
    case ovra::LocationMap::LOCAL: {
        f.usable = true;
        f.path = r.path;
        break;
    }
    case ovra::LocationMap::CUT_SHORT:
        f.logEntry = format("Path longer than %s bytes: skipping '%s'.\n", std::to_string(ovra::PATH_MAX_BYTES),
                            logged(location));
        f.error = true;
        break;
    case ovra::LocationMap::AMBIGUOUS: {
        std::string names;
        for (size_t i = 0; i < r.matches.size(); ++i)
            names += (i == 0 ? "'" : i + 1 == r.matches.size() ? " and '" : ", '") + logged(r.matches[i]) + "'";
        f.logEntry = format("More than one file here matches '%s' when case is ignored (%s): skipping '%s'.\n",
                            logged(r.path), names, logged(location));
        f.error = true;
        break;
    }
    default:
        f.logEntry = format("File is not local: skipping '%s'.\n", logged(location));
        // A file on another host can be mapped; a stream cannot.
        if (std::strncmp(location, "file://", 7) == 0)
            elsewhere.push_back(location);
        break;
    }
    return f;
}

void TrackLocations::processed(const char* location, const std::string& path, bool failed)
{
    struct stat st;
    if (!failed || stat(path.c_str(), &st) == 0) {
        ++present;
        return;
    }
    elsewhere.push_back(location);
    if (!map.empty() && map.resolve(location).mapped)
        lookedFor.push_back(path);
}

std::vector<std::string> TrackLocations::notFoundHint() const
{
    if (present > 0 || elsewhere.empty())
        return {};
    std::string prefix = ovra::commonlocationprefix(elsewhere);
    if (prefix.empty())
        return {};
    std::vector<std::string> lines{format(NO_TRACK_FOUND_LINE, logged(prefix)),
                                   format(HOW_TO_MAP_LINE, logged(prefix))};
    const std::string folder = ovra::commonlocationprefix(lookedFor);
    if (!folder.empty())
        lines.push_back(format(LOOKED_IN_LINE, logged(folder)));
    return lines;
}

} // namespace ovra::tempix
