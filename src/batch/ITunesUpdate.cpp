#include "batch/ITunesUpdate.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace ovra::tempix {

namespace {

// A library volume that differs from the one worked out by less than this
// (rounding between the scales) is left as it is.
constexpr long long LIBRARY_VOLUME_STEP = 3;

const char* const SCRIPT_TEMPLATE = "tell application \"iTunes\"\n"
                                    "set mytargets to every file track of playlist 1 whose %s\n"
                                    "if mytargets is {} then return 0\n"
                                    "if the class of mytargets is list then\n"
                                    "set mytrack to the first item in mytargets\n"
                                    "else\n"
                                    "set mytrack to mytargets\n"
                                    "end if\n"
                                    "refresh mytrack\n"
                                    "%send tell\n"
                                    "return 1\n";

void settingslines(const ITunesUpdateInput& in, ITunesUpdateSink& sink)
{
    sink.logLine("Settings for this track should be:\n");
    if (in.values.hasBpm)
        sink.logLine("BPM=%d\n", in.values.bpm);
    if (in.values.hasTimes)
        sink.logLine("Start=%.3f s; Finish=%.3f s\n", in.values.times.startMs / 1000.0,
                     in.values.times.stopMs / 1000.0);
    if (in.values.hasVolume)
        sink.logLine("Volume=%+d%%\n", in.values.volume.percent);
}

} // namespace

void ITunesUpdateSink::libraryUpdated(const ITunesUpdateInput&) { logLine("iTunes updated.\n"); }

void logNotUpdated(const ITunesUpdateInput& in, const char* reason, ITunesUpdateSink& sink)
{
    sink.logLine("Track not updated in iTunes: %s.\n", reason);
    sink.countError();
    settingslines(in, sink);
}

void ITunesUpdateSink::logLine(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    logText(text);
}

std::string iTunesScript(const ITunesUpdateInput& in)
{
    char commands[256] = "";
    if (in.values.hasTimes) {
        std::snprintf(commands, sizeof commands, "set start of mytrack to %.3f\nset finish of mytrack to %.3f\n",
                      in.values.times.startMs / 1000.0, in.values.times.stopMs / 1000.0);
    }
    if (in.values.hasVolume && ovra::volumeinlibrary(in.tagKind)) {
        size_t used = std::char_traits<char>::length(commands);
        std::snprintf(commands + used, sizeof commands - used, "set the volume adjustment of mytrack to %ld\n",
                      static_cast<long>(in.values.volume.percent));
    }
    // Both IDs, where the library has both: the script must reach this track
    // and no other, even in a library that gives one ID to two tracks.
    char selector[80];
    if (in.persistentId != 0)
        std::snprintf(selector, sizeof selector, "persistent ID is \"%016llX\" and database ID is %d",
                      static_cast<unsigned long long>(in.persistentId), in.trackId);
    else
        std::snprintf(selector, sizeof selector, "database ID is %d", in.trackId);
    char script[1024];
    std::snprintf(script, sizeof script, SCRIPT_TEMPLATE, selector, commands);
    return script;
}

LibraryStep librarystep(const ITunesUpdateInput& input)
{
    if (!input.exportToLibrary || input.trackId < 0)
        return LibraryStep::none;
    return librarychanged(input) ? LibraryStep::update : LibraryStep::upToDate;
}

bool libraryupdatedue(const ITunesUpdateInput& in, ITunesUpdateSink& sink)
{
    const LibraryStep step = librarystep(in);
    if (step == LibraryStep::upToDate)
        sink.libraryUpToDate();
    return step == LibraryStep::update;
}

void ITunesUpdateSink::libraryUpToDate() { logLine("iTunes is up-to-date.\n"); }

void updateITunes(const ITunesUpdateInput& input, ovra::AppleScriptServer& server, ITunesUpdateSink& sink)
{
    updateITunes(
        input,
        [&server](const char* script, char* reply, size_t size) { return server.executefromtext(script, reply, size); },
        sink);
}

bool librarychanged(const ITunesUpdateInput& in)
{
    if (in.iTunesChanged)
        return true;
    if (in.values.hasTimes && (in.libraryStart != in.values.times.startMs || in.libraryStop != in.values.times.stopMs))
        return true;
    return in.values.hasVolume &&
        std::llabs(in.libraryVolumeAdjustment - in.values.volume.libraryVolume) >= LIBRARY_VOLUME_STEP;
}

void updateITunes(const ITunesUpdateInput& input, const ScriptRunner& run, ITunesUpdateSink& sink)
{
    const ITunesUpdateInput& in = input;
    if (!libraryupdatedue(in, sink))
        return;
    sink.setStatus("Updating iTunes");
    std::string script = iTunesScript(in);
    char reply[80];
    int status = run(script.c_str(), reply, sizeof reply);
    if (status == 0 && std::atoi(reply) == 1) {
        sink.libraryUpdated(in);
        return;
    }
    if (status == 0) {
        char reason[96];
        std::snprintf(reason, sizeof reason, "track not found in iTunes library [track ID=%d]", in.trackId);
        logNotUpdated(in, reason, sink);
    } else {
        logNotUpdated(in, "AppleScript error", sink);
    }
}

} // namespace ovra::tempix
