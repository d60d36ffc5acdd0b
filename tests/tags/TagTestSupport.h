// Shared helpers of the tag tests: the fixture files made by real encoders
// and taggers, scratch folders, and independent readers (mutagen, ffmpeg).
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace tagtest {

namespace fs = std::filesystem;

// Runs a shell command; returns its exit status and standard output.
inline int run(const std::string& command, std::string* output = nullptr)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    int status = pclose(pipe);
    if (output != nullptr)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

// The folder of fixture files, made once per build tree.
inline const std::string& fixtures()
{
    static std::string dir = std::string(TEMPIX_BINARY_DIR) + "/tags-fixtures";
    static std::once_flag once;
    std::call_once(once, [] {
        std::string command = std::string(TEMPIX_PYTHON) + " " +
            quote(std::string(TEMPIX_SOURCE_DIR) + "/tests/tags/make_tag_fixtures.py") + " " + quote(dir);
        if (run(command) != 0)
            throw std::runtime_error("could not make the tag fixtures");
    });
    return dir;
}

// A scratch folder, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "tempix-tags-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        if (mkdtemp(name.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir = name.data();
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(const std::string& name) const { return dir + "/" + name; }

    // A copy of a fixture file to work on, under the given name (or its own).
    std::string copy(const std::string& fixture, const std::string& as = "")
    {
        std::string target = path(as.empty() ? fixture : as);
        fs::copy_file(fixtures() + "/" + fixture, target, fs::copy_options::overwrite_existing);
        return target;
    }

private:
    std::string dir;
};

inline std::vector<uint8_t> readfile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void writefile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// What mutagen reads, as key -> value (see read_tags.py).
inline std::map<std::string, std::string> mutagen(const std::string& path)
{
    std::string text;
    int status =
        run(std::string(TEMPIX_PYTHON) + " " + quote(std::string(TEMPIX_SOURCE_DIR) + "/tests/tags/read_tags.py") +
                " " + quote(path) + " 2>&1",
            &text);
    std::map<std::string, std::string> values;
    if (status != 0) {
        values["error"] = text;
        return values;
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

// The "MD5=..." line of ffmpeg's md5 muxer, or what went wrong.
inline std::string md5of(const std::string& path, const std::string& options)
{
    std::string text;
    int status = run("ffmpeg -v error -i " + quote(path) + " -map 0:a " + options + " -f md5 - 2>/dev/null", &text);
    size_t at = text.find("MD5=");
    if (status != 0 || at == std::string::npos)
        return "failed (" + std::to_string(status) + "): " + text;
    return text.substr(at, text.find('\n', at) - at);
}

// MD5 of the decoded audio (every sample as ffmpeg decodes it).
inline std::string decodedmd5(const std::string& path) { return md5of(path, ""); }

// MD5 of the coded audio packets, copied without decoding.
inline std::string streammd5(const std::string& path) { return md5of(path, "-c copy"); }

// Both fingerprints of a file's audio, to compare before and after a write.
struct AudioPrint {
    std::string decoded;
    std::string coded;
    bool operator==(const AudioPrint&) const = default;
};

inline AudioPrint audioprint(const std::string& path) { return {decodedmd5(path), streammd5(path)}; }

inline std::ostream& operator<<(std::ostream& os, const AudioPrint& p)
{
    return os << "decoded " << p.decoded << " coded " << p.coded;
}

} // namespace tagtest

namespace tagtest {

// Runs python code with mutagen's id3 module as id3 and the file as path.
inline int id3script(const std::string& path, const std::string& code)
{
    std::string script = "import sys\nimport mutagen.id3 as id3\npath = sys.argv[1]\n" + code + "\n";
    return run(std::string(TEMPIX_PYTHON) + " -c " + quote(script) + " " + quote(path));
}

template <typename F>
int codeof(F f)
{
    try {
        f();
    } catch (int c) {
        return c;
    }
    return 0;
}

} // namespace tagtest
