#include "batch/LibraryUpdater.h"
#include "platform/tools_strings.h"

#include <cstdlib>
#include <cstring>

namespace ovra::tempix {

// Where the library step reports: the batch's own log, count and status
// line, and the running track's report; "iTunes updated." waits for the
// library's save.
class LibraryUpdater::TrackSink : public ITunesUpdateSink {
public:
    TrackSink(BatchLog& log, LibraryUpdateLog& held) : log(log), held(held) {}
    void logText(const char* text) override
    {
        last = text;
        log.line("%s", text);
    }
    // A failure's line is the one just logged.
    void countError() override
    {
        ++log.errors();
        if (TrackReport_auto* track = BatchLog::track()) {
            track->setlibrary(LibraryOutcome::failed);
            track->setreason(last.c_str());
        }
    }
    void setStatus(const char* text) override { log.status(text); }
    void libraryUpdated(const ITunesUpdateInput& in) override
    {
        if (TrackReport_auto* track = BatchLog::track()) {
            track->addentry("iTunes updated.\n");
            track->setlibrary(LibraryOutcome::updated);
        }
        held.holdUpdated(in);
    }
    void libraryUpToDate() override
    {
        ITunesUpdateSink::libraryUpToDate();
        if (TrackReport_auto* track = BatchLog::track())
            track->setlibrary(LibraryOutcome::upToDate);
    }

private:
    BatchLog& log;
    LibraryUpdateLog& held;
    std::string last;
};

// Where held entries go when they are settled: straight into the log.
class LibraryUpdater::DirectLog : public ITunesUpdateSink {
public:
    explicit DirectLog(BatchLog& log) : log(log) {}
    void logText(const char* text) override { log.write(text); }
    void countError() override { ++log.errors(); }
    void setStatus(const char*) override {}

private:
    BatchLog& log;
};

LibraryUpdater::LibraryUpdater(BatchLog& log_) : log(log_)
{
    log.holdforsave = [this](const char* text) {
        if (!held.holding())
            return false;
        held.hold(text);
        return true;
    };
}

LibraryUpdater::~LibraryUpdater() { log.holdforsave = nullptr; }

void LibraryUpdater::begin(const char* libraryFile, const std::vector<std::string>& maps, bool start)
{
    ovra::strcpy_max(helperLibrary, sizeof helperLibrary, libraryFile);
    scriptServer.setlibraryfile(helperLibrary);
    scriptServer.setlocationmaps(maps);
    held = LibraryUpdateLog();
    if (start)
        scriptServer.start_external();
}

void LibraryUpdater::end() { scriptServer.stop(); }

int LibraryUpdater::runScript(const char* script, char* reply, size_t size, bool& restarted)
{
    // A helper that died costs the track it died on, not the rest of the
    // batch: the next track starts a new one (once).
    if (!scriptServer.alive() && !restarted) {
        restarted = true;
        settle(true); // what the dead one had not saved is lost
        scriptServer.start_external();
    }
    return scriptServer.executefromtext(script, reply, size);
}

void LibraryUpdater::update(const ITunesUpdateInput& input)
{
    TrackSink sink(log, held);
    bool restarted = false;
    updateITunes(
        input,
        [this, &restarted](const char* script, char* reply, size_t size) {
            return runScript(script, reply, size, restarted);
        },
        sink);
}

void LibraryUpdater::settle(bool now)
{
    if (!held.holding())
        return;
    if (!now && LibraryUpdateLog::Clock::now() - held.since() < std::chrono::milliseconds(SAVE_INTERVAL_MS))
        return;
    DirectLog out(log);
    const std::string library = BatchLog::logged(helperLibrary);
    const char* lost = "the iTunes library file could not be saved";
    if (!scriptServer.alive()) {
        held.release(out, lost);
        out.logLine("The script helper stopped before it saved the iTunes library file '%s'.\n", library.c_str());
        ++log.errors();
        return;
    }
    log.status("Saving iTunes database");
    char reply[32] = "";
    int status = scriptServer.executefromtext("tell application \"iTunes\" to save\n", reply, sizeof reply);
    // 0 or the error number of the save; anything else vouches for nothing.
    char* end = nullptr;
    long saveError = std::strtol(reply, &end, 10);
    if (status == 0 && (end == reply || *end != '\0'))
        status = -1;
    if (status == 0 && saveError == 0) {
        held.release(out, nullptr);
        return;
    }
    held.release(out, lost);
    if (status != 0 && status != -1)
        out.logLine("The script helper stopped before it saved the iTunes library file '%s': %s (errno %d).\n",
                    library.c_str(), std::strerror(status), status);
    else if (status != 0)
        out.logLine("The script helper could not save the iTunes library file '%s'.\n", library.c_str());
    else
        out.logLine("Could not save the iTunes library file '%s': %s (errno %ld).\n", library.c_str(),
                    std::strerror(int(saveError)), saveError);
    ++log.errors();
}

} // namespace ovra::tempix
