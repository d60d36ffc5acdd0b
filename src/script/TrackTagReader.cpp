#include "script/TrackTagReader.h"
#include "script/ScriptErrors.h"

#include <cmath>
#include <cstring>
#include <id3/tag.h>
#include <sys/stat.h>
#include <taglib/fileref.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/relativevolumeframe.h>
#include <taglib/tpropertymap.h>

namespace ovra {

namespace {

bool hasextension(const std::string& path, const char* ext)
{
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return false;
    std::string e = path.substr(dot);
    if (e.size() != std::strlen(ext))
        return false;
    for (size_t i = 0; i < e.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(e[i])) != ext[i])
            return false;
    return true;
}

} // namespace

int rvafromrva2index(int index)
{
    // -32768 stands for every value below what -32767 holds; it reads as
    // their middle, as the batch's own tag layer reads it.
    if (index <= -32768)
        return -65522;
    double r = (std::exp(index * 2.302585092994046 / 10240.0) - 1.0) * 65535.0;
    if (r < -65535.0)
        return -65535;
    if (r > 65535.0)
        return 65535;
    return static_cast<int>(std::lround(r));
}

namespace {

// The ID3v2.3 RVAD frame as Tempix writes it: 10 bytes, both channels equal.
bool readrvad(const std::string& path, int& rva)
{
    ID3_Tag tag;
    tag.Link(path.c_str(), ID3TT_ID3V2);
    ID3_Frame* frame = tag.Find(ID3FID_VOLUMEADJ);
    if (frame == nullptr)
        return false;
    ID3_Field* field = frame->GetField(ID3FN_DATA);
    if (field == nullptr || field->Size() < 10)
        return false;
    const uchar* d = field->GetRawBinary();
    if (d == nullptr)
        return false;
    bool valid = (d[0] == 0 || d[0] == 3) && d[1] == 16 && d[2] == d[4] && d[3] == d[5] && d[6] == 0 &&
                 d[7] == 0 && d[8] == 0 && d[9] == 0;
    if (!valid)
        return false;
    int v = (d[2] << 8) | d[3];
    rva = (d[0] & 1) ? v : -v;
    return true;
}

} // namespace

int libraryvolumefromrva(int rva)
{
    return static_cast<int>(std::lround(rva * 255.0 / 65535.0));
}

int readtracktag(const std::string& path, TrackTagValues& values)
{
    values = TrackTagValues();
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return SCRIPT_FILE_NOT_FOUND;

    if (hasextension(path, ".mp3")) {
        TagLib::MPEG::File file(path.c_str(), false);
        if (!file.isValid())
            return SCRIPT_APP_FAILED;
        TagLib::ID3v2::Tag* tag = file.ID3v2Tag(false);
        if (tag == nullptr)
            return 0; // no ID3v2 tag: no tempo, no volume
        const auto& bpm = tag->frameList("TBPM");
        if (!bpm.isEmpty())
            values.bpm = bpm.front()->toString().toInt();
        int rva = 0;
        // Version 2.4 tags carry RVA2; older ones RVAD, which TagLib drops.
        bool v24 = tag->header()->majorVersion() >= 4;
        if (!v24 && readrvad(path, rva)) {
            values.hasvolume = true;
            values.rva = rva;
        } else {
            for (auto* f : tag->frameList("RVA2")) {
                auto* rv = dynamic_cast<TagLib::ID3v2::RelativeVolumeFrame*>(f);
                if (rv != nullptr) {
                    values.hasvolume = true;
                    values.rva = rvafromrva2index(rv->volumeAdjustmentIndex(TagLib::ID3v2::RelativeVolumeFrame::MasterVolume));
                    break;
                }
            }
        }
    } else if (hasextension(path, ".m4a")) {
        TagLib::MP4::File file(path.c_str(), false);
        if (!file.isValid())
            return SCRIPT_APP_FAILED;
        TagLib::MP4::Tag* tag = file.tag();
        if (tag != nullptr && tag->contains("tmpo"))
            values.bpm = tag->item("tmpo").toInt();
    } else {
        TagLib::FileRef ref(path.c_str(), false);
        if (ref.isNull())
            return SCRIPT_APP_FAILED;
        TagLib::PropertyMap props = ref.file()->properties();
        if (props.contains("BPM") && !props["BPM"].isEmpty())
            values.bpm = props["BPM"].front().toInt();
    }
    if (values.bpm < 0)
        values.bpm = 0;
    return 0;
}

} // namespace ovra
