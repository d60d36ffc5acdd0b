// ID3v2 frames through TagLib, with the program's own conversions: RVA as an
// RVA2 index, the data record as Base64 text in a comment frame.
#include "tags/Tag_TagLib.h"
#include "tags/Base64.h"
#include "tags/ID3v2Layout.h"
#include "tags/TagLibStream.h"
#include "tags/VolumeScale.h"
#include "platform/tools_strings.h"

#include <taglib/commentsframe.h>
#include <taglib/generalencapsulatedobjectframe.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/relativevolumeframe.h>
#include <taglib/textidentificationframe.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace ovra {

namespace {
void copyout(const TagLib::String& text, char* buffer, int size)
{
    if (size < 1)
        return;
    strcpy_max(buffer, size_t(size), text.toCString(true));
}

TagLib::ID3v2::CommentsFrame* findcomment(TagLib::ID3v2::Tag& tag, const TagLib::String& description)
{
    const TagLib::ID3v2::FrameList& frames = tag.frameList("COMM");
    for (auto* frame : frames) {
        auto* comment = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame);
        if (comment != nullptr && comment->description() == description)
            return comment;
    }
    return nullptr;
}
} // namespace

Tag_TagLib::Tag_TagLib(const char* path, bool readOnly) { open(path, readOnly); }

Tag_TagLib::~Tag_TagLib() { release(); }

void Tag_TagLib::release()
{
    tag = nullptr;
    file.reset();
    stream.reset();
    view.close();
    transaction.close();
    touched.clear();
    stagedGain = ReplayGain();
}

void Tag_TagLib::open(const char* path, bool)
{
    if (file)
        close();
    transaction.open(path, TAG_ERR_UNUSABLE); // not there, not readable, not a regular file
    // TagLib takes a frame of size 0 for the start of the padding and loses
    // every frame behind it. It reads a view of the file without such
    // frames; writes go to the file as it is.
    FileTransaction* source = &transaction;
    try {
        const ID3v2Layout layout = ID3v2Layout::read(transaction, true);
        if (std::any_of(layout.frames.begin(), layout.frames.end(),
                        [](const ID3v2Frame& f) { return f.bodySize() == 0; })) {
            std::vector<uint8_t> tagBytes(size_t(layout.size), 0);
            transaction.readoriginal(0, tagBytes.data(), 10);
            size_t at = 10;
            std::copy(layout.extended.begin(), layout.extended.end(), tagBytes.begin() + std::ptrdiff_t(at));
            at += layout.extended.size();
            for (const ID3v2Frame& f : layout.frames) {
                if (f.bodySize() > 0) {
                    std::copy(f.raw.begin(), f.raw.end(), tagBytes.begin() + std::ptrdiff_t(at));
                    at += f.raw.size();
                }
            }
            view.open(path);
            view.write(0, tagBytes.data(), tagBytes.size());
            source = &view;
        }
    } catch (int) {
        // A layout we cannot read ourselves is left to TagLib; writing it is refused later.
    }
    stream = std::make_unique<TagLibStream>(*source);
    file = std::make_unique<TagLib::MPEG::File>(stream.get(), TagLib::ID3v2::FrameFactory::instance(), true,
                                                TagLib::AudioProperties::Average);
    // TagLib keeps an empty ID3v2 tag object even for a file without one;
    // whether the file has one on disk is what counts.
    tag = file->isValid() && file->hasID3v2Tag() ? file->ID3v2Tag(false) : nullptr;
    if (tag == nullptr) {
        // No ID3v2 tag (or no readable file): nothing is created here.
        release();
        throw TAG_ERR_UNUSABLE;
    }
    version = int(tag->header()->majorVersion());
    touched.clear();
}

void Tag_TagLib::update()
{
    if (!file || (!touched.any() && stagedGain.empty()))
        return;
    // Only our frames are rendered, in the version the tag has (TagLib
    // writes no ID3v2.2); everything else of the tag stays as it is, and
    // an ID3v1 tag is neither created nor changed.
    try {
        if (version != 3 && version != 4)
            throw TAG_ERR_LAYOUT;
        std::vector<OwnFrame> ours;
        std::vector<TagLib::ID3v2::Frame*> frames;
        for (const std::string& key : touched) {
            OwnFrame own;
            TagLib::ID3v2::Frame* frame = nullptr;
            if (key.rfind("COMM:", 0) == 0) {
                own.match = OwnFrame::Match::commentDescribed;
                own.id = "COMM";
                own.description = key.substr(5);
                frame = findcomment(*tag, TagLib::String(own.description.c_str(), TagLib::String::Latin1));
            } else {
                own.id = key;
                const TagLib::ID3v2::FrameList& list = tag->frameList(key.c_str());
                frame = list.isEmpty() ? nullptr : list.front();
            }
            if (frame == nullptr)
                throw TAG_ERR_LAYOUT;
            ours.push_back(std::move(own));
            frames.push_back(frame);
        }
        // A scratch tag renders each of our frames in the file's version; it
        // borrows the frame and gives it back. TagLib has no RVA2 in
        // ID3v2.3, but its body is the same in both: it gets a v2.3 header.
        for (size_t i = 0; i < ours.size(); ++i) {
            const bool rehead = version == 3 && ours[i].id == "RVA2";
            TagLib::ByteVector rendered;
            {
                TagLib::ID3v2::Tag scratch;
                scratch.addFrame(frames[i]);
                rendered = scratch.render(version == 3 && !rehead ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4);
                scratch.removeFrame(frames[i], false);
            }
            ID3v2Layout layout = ID3v2Layout::parse(reinterpret_cast<const uint8_t*>(rendered.data()), rendered.size());
            if (layout.frames.size() != 1 || layout.frames[0].id != ours[i].id)
                throw TAG_ERR_LAYOUT;
            ours[i].raw = layout.frames[0].raw;
            if (rehead) {
                putbe32(&ours[i].raw[4], uint32_t(layout.frames[0].bodySize()));
                ours[i].raw[8] = ours[i].raw[9] = 0;
            }
        }
        const std::vector<ID3v2Frame> disk = ID3v2Layout::read(transaction, true).frames;
        // One record only: an object one (id3lib's, before the tag was
        // converted) or a second comment goes.
        for (const std::string& key : touched)
            if (key.rfind("COMM:", 0) == 0 && key.size() > 5)
                for (OwnFrame& extra : id3extrarecords(disk, key.substr(5), "COMM"))
                    ours.push_back(std::move(extra));
        for (OwnFrame& gain : id3replaygainframes(stagedGain, version, disk))
            ours.push_back(std::move(gain));
        spliceid3v2(transaction, ours, 0);
        transaction.commit();
    } catch (...) {
        transaction.discard();
        throw;
    }
    touched.clear();
    stagedGain = ReplayGain();
}

void Tag_TagLib::close()
{
    if (file)
        updatethenrelease([this] { release(); });
}

TagLib::ID3v2::Tag& Tag_TagLib::opened()
{
    if (tag == nullptr)
        throw TAG_ERR_UNUSABLE;
    return *tag;
}

void Tag_TagLib::getFrameText(const char* id, char* buffer, int size)
{
    const TagLib::ID3v2::FrameList& frames = opened().frameList(id);
    if (frames.isEmpty())
        throw TAG_ERR_NOT_FOUND;
    copyout(frames.front()->toString(), buffer, size);
}

void Tag_TagLib::setFrameText(const char* id, const char* text, bool unicode)
{
    TagLib::ID3v2::Tag& t = opened();
    const TagLib::ID3v2::FrameList& frames = t.frameList(id);
    TagLib::ID3v2::Frame* frame = nullptr;
    if (frames.isEmpty()) {
        auto created = std::make_unique<TagLib::ID3v2::TextIdentificationFrame>(
            TagLib::ByteVector(id), unicode ? TagLib::String::UTF8 : TagLib::String::Latin1);
        frame = created.get();
        t.addFrame(created.release());
    } else {
        frame = frames.front();
    }
    frame->setText(TagLib::String(text, TagLib::String::UTF8));
    touched.touch(id);
}

void Tag_TagLib::getTitle(char* buffer, int size) { getFrameText("TIT2", buffer, size); }
void Tag_TagLib::getArtist(char* buffer, int size) { getFrameText("TPE1", buffer, size); }
void Tag_TagLib::getComposer(char* buffer, int size) { getFrameText("TCOM", buffer, size); }
void Tag_TagLib::getAlbum(char* buffer, int size) { getFrameText("TALB", buffer, size); }

void Tag_TagLib::setTitle(const char* text) { setFrameText("TIT2", text, true); }
void Tag_TagLib::setArtist(const char* text) { setFrameText("TPE1", text, true); }
void Tag_TagLib::setComposer(const char* text) { setFrameText("TCOM", text, true); }
void Tag_TagLib::setAlbum(const char* text) { setFrameText("TALB", text, true); }
void Tag_TagLib::setGenre(const char* text) { setFrameText("TCON", text, true); }

void Tag_TagLib::getGenre(char* buffer, int size)
{
    // TagLib resolves numeric genre references itself; it has no genre
    // without a TCON text frame.
    TagLib::ID3v2::Tag& t = opened();
    const TagLib::ID3v2::FrameList& frames = t.frameList("TCON");
    if (frames.isEmpty() || dynamic_cast<TagLib::ID3v2::TextIdentificationFrame*>(frames.front()) == nullptr)
        throw TAG_ERR_NOT_FOUND;
    copyout(t.genre(), buffer, size);
}

void Tag_TagLib::getComment(char* buffer, int size)
{
    TagLib::ID3v2::CommentsFrame* comment = findcomment(opened(), TagLib::String());
    if (comment == nullptr)
        throw TAG_ERR_NOT_FOUND;
    copyout(comment->text(), buffer, size);
}

void Tag_TagLib::setComment(const char* text)
{
    TagLib::ID3v2::Tag& t = opened();
    TagLib::ID3v2::CommentsFrame* comment = findcomment(t, TagLib::String());
    if (comment == nullptr) {
        auto created = std::make_unique<TagLib::ID3v2::CommentsFrame>(TagLib::String::UTF8);
        comment = created.get();
        t.addFrame(created.release());
    }
    comment->setTextEncoding(TagLib::String::UTF8);
    comment->setLanguage("eng");
    comment->setText(TagLib::String(text, TagLib::String::UTF8));
    touched.touch("COMM:");
}

int Tag_TagLib::getBPM()
{
    const TagLib::ID3v2::FrameList& frames = opened().frameList("TBPM");
    if (frames.isEmpty())
        throw TAG_ERR_NOT_FOUND;
    return frames.front()->toString().toInt();
}

void Tag_TagLib::setBPM(int bpm)
{
    char text[10];
    std::snprintf(text, sizeof text, "%d", bpm);
    setFrameText("TBPM", text, false);
}

int Tag_TagLib::getRVA()
{
    const TagLib::ID3v2::FrameList& frames = opened().frameList("RVA2");
    if (frames.isEmpty())
        throw TAG_ERR_NOT_FOUND;
    auto* volume = dynamic_cast<TagLib::ID3v2::RelativeVolumeFrame*>(frames.front());
    if (volume == nullptr)
        throw TAG_ERR_UNUSABLE;
    return rva2indextorva(volume->volumeAdjustmentIndex(TagLib::ID3v2::RelativeVolumeFrame::MasterVolume));
}

void Tag_TagLib::setRVA(int rva)
{
    TagLib::ID3v2::Tag& t = opened();
    const TagLib::ID3v2::FrameList& frames = t.frameList("RVA2");
    TagLib::ID3v2::RelativeVolumeFrame* volume = nullptr;
    if (!frames.isEmpty())
        volume = dynamic_cast<TagLib::ID3v2::RelativeVolumeFrame*>(frames.front());
    if (frames.isEmpty()) {
        // A frame header with size 1 and a body of one empty identification.
        static const char empty[11] = {'R', 'V', 'A', '2', 0, 0, 0, 1, 0, 0, 0};
        auto created = std::make_unique<TagLib::ID3v2::RelativeVolumeFrame>(TagLib::ByteVector(empty, sizeof empty));
        volume = created.get();
        t.addFrame(created.release());
    }
    if (volume == nullptr)
        throw TAG_ERR_UNUSABLE;
    volume->setVolumeAdjustmentIndex(short(rvatorva2index(rva)), TagLib::ID3v2::RelativeVolumeFrame::MasterVolume);
    touched.touch("RVA2");
}

void Tag_TagLib::getData(const char* owner, uint32_t, void* buffer, int size)
{
    TagLib::ID3v2::Tag& t = opened();
    const TagLib::String description(owner, TagLib::String::Latin1);
    TagLib::ID3v2::CommentsFrame* comment = findcomment(t, description);
    if (comment != nullptr) {
        if (size > 0)
            base64decode(comment->text().toCString(true), buffer, size_t(size));
        return;
    }
    // An object, as id3lib keeps it in an ID3v2.3 tag that another program
    // has since made ID3v2.4.
    for (auto* frame : t.frameList("GEOB")) {
        auto* object = dynamic_cast<TagLib::ID3v2::GeneralEncapsulatedObjectFrame*>(frame);
        if (object != nullptr && object->description() == description) {
            const TagLib::ByteVector bytes = object->object();
            const size_t n = std::min(size_t(bytes.size()), size_t(size > 0 ? size : 0));
            if (n > 0)
                std::memcpy(buffer, bytes.data(), n);
            return;
        }
    }
    throw TAG_ERR_NOT_FOUND;
}

void Tag_TagLib::setData(const char* owner, uint32_t, const void* data, int size)
{
    TagLib::ID3v2::Tag& t = opened();
    TagLib::String description(owner, TagLib::String::Latin1);
    TagLib::ID3v2::CommentsFrame* comment = findcomment(t, description);
    if (comment == nullptr) {
        auto created = std::make_unique<TagLib::ID3v2::CommentsFrame>(TagLib::String::Latin1);
        created->setDescription(description);
        comment = created.get();
        t.addFrame(created.release());
    }
    std::string encoded = base64encode(data, size_t(size > 0 ? size : 0));
    comment->setLanguage("XXX");
    comment->setText(TagLib::String(encoded.c_str(), TagLib::String::Latin1));
    touched.touch(std::string("COMM:") + owner);
}

ReplayGain Tag_TagLib::getReplayGain()
{
    opened();
    // From the tag on disk, which holds what update() spliced in as well.
    return id3replaygain(ID3v2Layout::read(transaction, true).frames);
}

void Tag_TagLib::setReplayGain(const ReplayGain& values)
{
    opened();
    for (int i = 0; i < 4; ++i)
        if (const std::optional<double>& value = replaygainvalue(values, i))
            replaygainvalue(stagedGain, i) = value;
}

} // namespace ovra
