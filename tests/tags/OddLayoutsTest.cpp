// Layouts other programs write: every frame, atom and tag that is not ours
// comes through an update unchanged (mutagen compares them frame by frame),
// or the file is refused and left as it was.
#include "tags/AtomContainer.h"
#include "tags/Tag.h"
#include "TagTestSupport.h"

#include <algorithm>

using namespace ovra;
using tagtest::TempDir;

namespace {

const std::string& oddlayouts()
{
    static const TempDir made;
    static const std::string dir = made.path("odd");
    static std::once_flag once;
    std::call_once(once, [] {
        tagtest::makefiles("make_odd_layouts.py",
                           tagtest::shellquote(tagtest::fixtures()) + " " + tagtest::shellquote(dir));
    });
    return dir;
}

void update(const std::string& path) { tagtest::ourupdate(path, std::vector<uint8_t>(64, 0x5A)); }

// What mutagen reads, without the frames and atoms Tempix owns.
std::map<std::string, std::string> foreign(std::map<std::string, std::string> m)
{
    for (auto it = m.begin(); it != m.end();) {
        const std::string& k = it->first;
        bool ours = k.rfind("TBPM", 0) == 0 || k.rfind("RVAD", 0) == 0 || k.rfind("RVA2", 0) == 0 ||
            k.find("com.quillfen.tempix.trackdata") != std::string::npos || k == "tmpo" || k.rfind("udta.", 0) == 0 ||
            k.rfind("meta.", 0) == 0 || k.rfind("ilst.", 0) == 0 || k.find(".size") != std::string::npos;
        it = ours ? m.erase(it) : std::next(it);
    }
    return m;
}

bool endswith(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& tail)
{
    return bytes.size() >= tail.size() &&
        std::equal(tail.begin(), tail.end(), bytes.end() - std::ptrdiff_t(tail.size()));
}

} // namespace

TEST(OddLayouts, EveryFrameNotOursComesThroughTheUpdateUnchanged)
{
    for (const char* file : {"empty_frame.mp3", "extended.mp3", "v22_tcp.mp3", "two_tags.mp3", "with_v1.mp3",
                             "unsync.mp3", "two_mdat.m4a"}) {
        SCOPED_TRACE(file);
        TempDir dir;
        const std::string path = dir.path(file);
        std::filesystem::copy_file(oddlayouts() + "/" + file, path);
        const std::vector<uint8_t> original = tagtest::readbytes(path);
        const auto before = tagtest::mutagen(path);
        const std::string audio = tagtest::decodedmd5(path);

        ASSERT_EQ(tagtest::codeof([&] { update(path); }), 0);
        const std::vector<uint8_t> after = tagtest::readbytes(path);
        const auto now = tagtest::mutagen(path);
        EXPECT_EQ(foreign(now), foreign(before));
        EXPECT_EQ(now.count("tmpo") ? now.at("tmpo") : now.at("TBPM"), "123");
        EXPECT_EQ(tagtest::decodedmd5(path), audio);
        // The empty frame and the extended header are still there, byte for
        // byte; the ID3v1 tag and a second ID3v2 tag follow, as they were.
        const std::string name = file;
        if (name == "with_v1.mp3") {
            EXPECT_TRUE(endswith(after, std::vector<uint8_t>(original.end() - 128, original.end())));
        } else if (name == "empty_frame.mp3") {
            const uint8_t empty[10] = {'P', 'R', 'I', 'V', 0, 0, 0, 0, 0, 0};
            EXPECT_TRUE(std::equal(empty, empty + 10, after.begin() + 10));
        } else if (name == "extended.mp3") {
            EXPECT_EQ(after[5] & 0x40, 0x40);
            const uint8_t extended[6] = {0, 0, 0, 6, 1, 0};
            EXPECT_TRUE(std::equal(extended, extended + 6, after.begin() + 10));
        } else if (name == "two_tags.mp3") {
            const size_t first = 10 +
                ((size_t(original[6]) << 21) | (size_t(original[7]) << 14) | (size_t(original[8]) << 7) | original[9]);
            EXPECT_TRUE(
                endswith(after, std::vector<uint8_t>(original.begin() + std::ptrdiff_t(first), original.end())));
        }

        // What was written reads back, also where the library's parse falls short.
        EXPECT_EQ(tagtest::record(path), std::vector<uint8_t>(64, 0x5A));
        EXPECT_EQ(std::unique_ptr<Tag>(openTag(path.c_str(), true))->getBPM(), 123);
        // A second run with the same values writes nothing.
        update(path);
        EXPECT_EQ(tagtest::readbytes(path), after);
    }
}

TEST(OddLayouts, WhatCannotBeKeptExactlyIsRefusedAndLeftAsItWas)
{
    const std::pair<const char*, int> cases[] = {{"flags_ff.mp3", 0}, {"fragmented.m4a", ATOM_ERR_FRAGMENTED}};
    for (const auto& [file, expected] : cases) {
        SCOPED_TRACE(file);
        TempDir dir;
        const std::string path = dir.path(file);
        std::filesystem::copy_file(oddlayouts() + "/" + file, path);
        const std::vector<uint8_t> original = tagtest::readbytes(path);
        const int code = tagtest::codeof([&] { update(path); });
        if (expected != 0)
            EXPECT_EQ(code, expected);
        else
            EXPECT_NE(code, 0);
        EXPECT_EQ(tagtest::readbytes(path), original);
    }
}
