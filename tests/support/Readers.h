// Independent readers of what Tempix writes: mutagen for the tags of a track
// (read_tags.py) and plistlib for a library file.
#pragma once
#include "support/Process.h"

#include <map>
#include <string>

namespace testsupport {

// What mutagen reads from the track, key by key (see read_tags.py), with
// track: also as another program sees the track (tempo, genre, our record
// decoded). "error" holds what went wrong when it could not.
inline std::map<std::string, std::string> mutagen(const std::string& path, bool track = false)
{
    std::string text;
    int status = run(std::string(TEMPIX_PYTHON) + " " +
                         shellquote(std::string(TEMPIX_SOURCE_DIR) + "/tests/support/read_tags.py") +
                         (track ? " --track " : " ") + shellquote(path) + " 2>&1",
                     &text);
    if (status != 0)
        return {{"error", text}};
    return keyvalues(text);
}

// What python prints for code run with the property list file read by
// plistlib as d.
inline std::string plistquery(const std::string& file, const std::string& code)
{
    return pythonoutput("import plistlib,sys\nd = plistlib.load(open(sys.argv[1], 'rb'))\n" + code, {file});
}

} // namespace testsupport
