// Where the batch finds the files of the library's tracks: through the
// location mappings of its settings, with what went wrong as log entries,
// and a hint when none of the tracks is found on this computer.
#pragma once
#include "plist/LocationMap.h"

#include <string>
#include <vector>

namespace ovra::tempix {

class TrackLocations {
public:
    // mappings: "PREFIX=FOLDER" each; one that cannot be used is reported
    // by problems() and left out.
    explicit TrackLocations(const std::vector<std::string>& mappings);

    struct Found {
        bool usable = false; // path names the track's file here
        std::string path;
        std::string logEntry; // when not usable: what to log (with its line feed)
        bool error = false;   // and whether it counts as an error
    };
    // The file of a location as stored in the library.
    Found find(const char* location);

    // A usable location's track went through the pipeline: failed when it
    // counted an error (a file that is not here always does).
    void processed(const char* location, const std::string& path, bool failed);

    // Log entries for the mappings given: each one used, or why not.
    const std::vector<std::string>& entries() const { return mappingEntries; }
    int unusableMappings() const { return unusable; }
    // The mappings that could be used, for paths that are not the library's.
    ovra::LocationMap& locationMap() { return map; }

    // When no track was found at all (none usable and existing): the lines
    // that say which prefix most locations share and how to map it, and
    // where the mappings led when they led anywhere; else none.
    std::vector<std::string> notFoundHint() const;

private:
    ovra::LocationMap map;
    std::vector<std::string> mappingEntries;
    int unusable = 0;
    int present = 0;                    // tracks whose file is here
    std::vector<std::string> elsewhere; // locations of the others
    std::vector<std::string> lookedFor; // the mapped paths among them
};

// The texts of the hint; %s: the prefix, in the last the folder.
extern const char* const NO_TRACK_FOUND_LINE;
extern const char* const HOW_TO_MAP_LINE;
extern const char* const LOOKED_IN_LINE;

} // namespace ovra::tempix
