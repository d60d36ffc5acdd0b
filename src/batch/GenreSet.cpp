#include "batch/GenreSet.h"

#include <cctype>

namespace ovra::tempix {

std::set<std::string> buildGenreSet(const char* text)
{
    std::set<std::string> genres;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != '\0') {
        while (*p != '\0' && std::isspace(*p))
            ++p;
        if (*p == '\0')
            break;
        std::string entry;
        while (*p != '\0' && *p != ',' && *p != '\n') {
            if (entry.size() == GENRE_NAME_MAX_BYTES) {
                ++p; // the eightieth character ends the entry and is dropped
                break;
            }
            entry.push_back(static_cast<char>(std::tolower(*p++)));
        }
        if (*p == ',' || *p == '\n')
            ++p;
        while (!entry.empty() && std::isspace(static_cast<unsigned char>(entry.back())))
            entry.pop_back();
        if (!entry.empty())
            genres.insert(entry);
    }
    return genres;
}

} // namespace ovra::tempix
