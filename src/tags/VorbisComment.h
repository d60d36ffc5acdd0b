// A Vorbis comment list (FLAC, Ogg Vorbis, Opus) kept as it is stored: the
// vendor string, every field in its order with its name as written,
// duplicates, and whatever follows the fields (Vorbis' framing bit, Opus'
// extra data). Only the fields we set are changed when it is written again.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ovra {

class VorbisComment {
public:
    // The list after 'prefix' bytes of packet magic, which are kept as they
    // are. Throws TAG_ERR_UNUSABLE when the lengths do not fit the data.
    static VorbisComment parse(const uint8_t* data, size_t size, size_t prefix = 0);
    // An empty list with a vendor string of our own, for a file without one.
    static VorbisComment empty(const std::string& vendor);

    std::vector<uint8_t> render() const;

    // The value of the first field of that name (ASCII case ignored), or null.
    const std::string* find(const char* name) const;
    // Gives the first field of that name the value, keeping the name as
    // written there; a name not there yet is added at the end.
    void set(const char* name, const std::string& value);

    const std::string& vendor() const { return vendorText; }
    size_t size() const { return fields.size(); }

private:
    struct Field {
        std::string raw;   // "NAME=value" as stored
        std::string value; // after the first '='
    };
    std::vector<uint8_t> magic;
    std::string vendorText;
    std::vector<Field> fields;
    std::vector<uint8_t> trailing;
};

} // namespace ovra
