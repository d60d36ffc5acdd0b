// Shared helpers of the tag tests: the fixture files made by real encoders
// and taggers, scratch folders, and independent readers (mutagen, ffmpeg).
#pragma once
#include "support/Process.h"
#include "tags/Tag.h"
#include "support/Readers.h"
#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

namespace tagtest {

namespace fs = std::filesystem;

using testsupport::codeof;
using testsupport::readbytes;
using testsupport::readfile;
using testsupport::run;
using testsupport::shellquote;
using testsupport::writebytes;

// Runs one of the fixture scripts of this folder with the given arguments.
inline void makefiles(const std::string& script, const std::string& arguments)
{
    if (run(std::string(TEMPIX_PYTHON) + " " + shellquote(std::string(TEMPIX_SOURCE_DIR) + "/tests/tags/" + script) +
            " " + arguments) != 0)
        throw std::runtime_error("could not make the files of " + script);
}

// The folder of fixture files, made once per build tree.
inline const std::string& fixtures()
{
    static std::string dir = std::string(TEMPIX_BINARY_DIR) + "/tags-fixtures";
    static std::once_flag once;
    std::call_once(once, [] { makefiles("make_tag_fixtures.py", shellquote(dir)); });
    return dir;
}

// A scratch folder that takes copies of the fixture files.
class TempDir : public testsupport::TempDir {
public:
    // A copy of a fixture file to work on, under the given name (or its own).
    std::string copy(const std::string& fixture, const std::string& as = "")
    {
        std::string target = path(as.empty() ? fixture : as);
        fs::copy_file(fixtures() + "/" + fixture, target, fs::copy_options::overwrite_existing);
        return target;
    }
};

using testsupport::mutagen;

// The "MD5=..." line of ffmpeg's md5 muxer, or what went wrong.
inline std::string md5of(const std::string& path, const std::string& options)
{
    std::string text;
    int status =
        run("ffmpeg -v error -i " + shellquote(path) + " -map 0:a " + options + " -f md5 - 2>/dev/null", &text);
    size_t at = text.find("MD5=");
    if (status != 0 || at == std::string::npos)
        return "failed (" + std::to_string(status) + "): " + text;
    return text.substr(at, text.find('\n', at) - at);
}

// MD5 of the decoded audio (every sample as ffmpeg decodes it).
inline std::string decodedmd5(const std::string& path) { return md5of(path, ""); }

// Both fingerprints of a file's audio, to compare before and after a write:
// the decoded samples and the coded packets, copied without decoding.
struct AudioPrint {
    std::string decoded;
    std::string coded;
    bool operator==(const AudioPrint&) const = default;
};

inline AudioPrint audioprint(const std::string& path) { return {decodedmd5(path), md5of(path, "-c copy")}; }

inline std::ostream& operator<<(std::ostream& os, const AudioPrint& p)
{
    return os << "decoded " << p.decoded << " coded " << p.coded;
}

// Every one of parts is in out (or, with present false, none is).
inline void says(const std::string& out, std::initializer_list<std::string> parts, bool present = true)
{
    for (const std::string& part : parts)
        EXPECT_EQ(out.find(part) != std::string::npos, present)
            << (present ? "missing: " : "unwanted: ") << part << "\nin: " << out;
}

// The data record as a fresh read-only tag reads it.
inline std::vector<uint8_t> record(const std::string& path)
{
    std::unique_ptr<ovra::Tag> tag(ovra::openTag(path.c_str(), true));
    std::vector<uint8_t> bytes(64, 0);
    tag->getData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, bytes.data(), int(bytes.size()));
    return bytes;
}

// A text value through one of the tag's getters.
inline std::string text(ovra::Tag& tag, void (ovra::Tag::*getter)(char*, int))
{
    char buffer[1024];
    (tag.*getter)(buffer, sizeof buffer);
    return buffer;
}

// A 64-byte record whose bytes differ from each other: seed + i * step.
inline std::vector<uint8_t> pattern(uint8_t seed, uint8_t step)
{
    std::vector<uint8_t> r(64);
    for (size_t i = 0; i < r.size(); ++i)
        r[i] = uint8_t(seed + i * step);
    return r;
}

// Lower-case hex, as read_tags.py prints binary values.
inline std::string hex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes)
        out += {digits[b >> 4], digits[b & 15]};
    return out;
}

// Runs python code with mutagen's id3 module as id3 and the file as path.
inline int id3script(const std::string& path, const std::string& code)
{
    std::string script = "import sys\nimport mutagen.id3 as id3\npath = sys.argv[1]\n" + code + "\n";
    return run(std::string(TEMPIX_PYTHON) + " -c " + shellquote(script) + " " + shellquote(path));
}

// Tempix's own update of one track: tempo, volume (where the format has it)
// and the record.
inline void ourupdate(const std::string& path, const std::vector<uint8_t>& record)
{
    std::unique_ptr<ovra::Tag> tag(ovra::openTag(path.c_str(), false));
    tag->setBPM(123);
    try {
        tag->setRVA(-2000);
    } catch (int code) {
        if (code != ovra::TAG_ERR_UNSUPPORTED)
            throw;
    }
    tag->setData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, record.data(), int(record.size()));
    tag->close();
}

// Tempix's ReplayGain write of one track.
inline void writegain(const std::string& path, const ovra::ReplayGain& values)
{
    std::unique_ptr<ovra::Tag> tag(ovra::openTag(path.c_str(), false));
    tag->setReplayGain(values);
    tag->close();
}

// tempix-cli with a home of its own in dir (settings, log and journals below
// it) and, when given, a write fault; its arguments follow.
inline std::string cli(const testsupport::TempDir& dir, const std::string& fault = "")
{
    return "env HOME=" + shellquote(dir.path("home")) + " XDG_CONFIG_HOME=" + shellquote(dir.path("config")) +
        " XDG_STATE_HOME=" + shellquote(dir.path("state")) + (fault.empty() ? "" : " TEMPIX_WRITE_FAULT=" + fault) +
        " " + shellquote(TEMPIX_BINARY_DIR "/bin/tempix-cli") + " ";
}

// A tempix-cli batch over a folder, without export, of every genre.
inline std::string batch(const testsupport::TempDir& dir, const std::string& folder, const std::string& fault = "")
{
    return cli(dir, fault) + "--no-export --all-genres " + shellquote(folder);
}

// Starts a shell command as a child process; returns its id.
inline pid_t spawn(const std::string& command)
{
    const std::string line = "exec " + command;
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", line.c_str(), (char*)nullptr);
        _exit(127);
    }
    return child;
}

} // namespace tagtest
