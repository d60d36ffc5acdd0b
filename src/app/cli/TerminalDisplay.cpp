#include "app/cli/TerminalDisplay.h"
#include "app/cli/CliCommand.h"
#include "platform/tools_strings.h"
#include "tags/VolumeScale.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <sys/ioctl.h>
#include <unistd.h>

namespace ovra::tempix::cli {

namespace {

int width()
{
    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20)
        return ws.ws_col;
    return 80;
}

// m:ss.t
std::string minutes(int32_t ms)
{
    char text[32];
    const long tenths = std::lround(std::abs(ms) / 100.0);
    std::snprintf(text, sizeof text, "%s%ld:%02ld.%ld", ms < 0 ? "-" : "", tenths / 600, tenths / 10 % 60, tenths % 10);
    return text;
}

// The volume as the amplitude it gives, in dB (the tag's scale: a gain of 1 + value / 65535).
std::string decibels(int32_t value)
{
    const double gain = 1.0 + value / 65535.0;
    char text[32];
    if (gain <= 0.0)
        return "silent";
    const double db = 20.0 * std::log10(gain);
    std::snprintf(text, sizeof text, "%s%.1f dB", db < -0.05 ? "\u2212" : db > 0.05 ? "+" : "", std::fabs(db));
    return text;
}

const char* libraryname(LibraryOutcome outcome)
{
    switch (outcome) {
    case LibraryOutcome::none:
        return "none";
    case LibraryOutcome::updated:
        return "updated";
    case LibraryOutcome::upToDate:
        return "up to date";
    case LibraryOutcome::wouldUpdate:
        return "would update";
    case LibraryOutcome::failed:
        return "error";
    }
    return "";
}

std::string valuesjson(const TrackValues& v)
{
    std::string out = "{";
    auto field = [&](const std::string& name, const std::string& value) {
        out += (out.size() > 1 ? "," : "") + jsonstring(name) + ":" + value;
    };
    if (v.hasBpm)
        field("bpm", std::to_string(v.bpm));
    if (v.hasTimes) {
        field("start_ms", std::to_string(v.times.startMs));
        field("stop_ms", std::to_string(v.times.stopMs));
    }
    if (v.hasVolume)
        field("volume_percent", std::to_string(v.volume.percent));
    return out + "}";
}

} // namespace

TerminalDisplay::TerminalDisplay(const TerminalChoices& c) : choices(c)
{
    if (choices.quiet || choices.json)
        choices.bar = false;
    if (choices.list)
        choices.quiet = false;
}

void TerminalDisplay::setFileLine(const char* text)
{
    file = ovra::getbasename(text);
    draw(false);
}

void TerminalDisplay::setStatusLine(const char* text)
{
    status = text;
    draw(false);
}

void TerminalDisplay::setProgressRange(int count)
{
    range = count;
    value = 0;
    started = Clock::now();
    draw(true);
}

void TerminalDisplay::setProgressValue(int v)
{
    value = v;
    draw(true);
}

void TerminalDisplay::batchEnded(const char* message, bool)
{
    clear();
    if (!choices.json && !choices.quiet && !choices.list)
        std::fprintf(stderr, "%s\n", message);
    choices.bar = false;
}

void TerminalDisplay::logEntry(const char* text)
{
    if (choices.quiet || choices.json || choices.list)
        return; // the log file has it
    clear();
    std::fputs(text, stdout);
    std::fflush(stdout);
    draw(true);
}

void TerminalDisplay::trackFinished(const TrackResult& r)
{
    if (choices.list) {
        clear();
        if (r.listed) {
            ++listed;
            withRecord += r.hasRecord ? 1 : 0;
            if (choices.json)
                std::printf("{\"path\":%s,\"bpm\":%d,\"analysis_stored\":%s}\n", jsonstring(r.path).c_str(),
                            r.before.bpm, r.hasRecord ? "true" : "false");
            else
                std::printf("%s\tBPM %d\t%s\n", r.path.c_str(), r.before.bpm,
                            r.hasRecord ? "analysis stored" : "no stored analysis");
        } else if (r.outcome == TrackOutcome::failed) {
            counts.add(TrackOutcome::failed);
            if (choices.json)
                std::printf("{\"path\":%s,\"error\":%s}\n", jsonstring(r.path).c_str(), jsonstring(r.reason).c_str());
            else
                std::printf("%s\t%s\n", r.path.c_str(), r.reason.c_str());
        }
        std::fflush(stdout);
        draw(true);
        return;
    }
    counts.add(r.outcome);
    clear();
    if (choices.json) {
        std::printf("%s\n", trackjson(r).c_str());
        std::fflush(stdout);
    } else if (choices.quiet) {
        if (r.outcome == TrackOutcome::failed)
            std::fprintf(stderr, "%s: %s\n", r.path.c_str(), r.reason.empty() ? "error" : r.reason.c_str());
    } else if (choices.values && (r.outcome == TrackOutcome::updated || r.outcome == TrackOutcome::wouldUpdate)) {
        const std::string values = valuestext(r);
        if (!values.empty())
            std::printf("  %s\n", values.c_str());
        std::fflush(stdout);
    }
    draw(true);
}

std::string TerminalDisplay::valuestext(const TrackResult& r)
{
    std::string out;
    auto add = [&](const std::string& part) { out += (out.empty() ? "" : " \u00b7 ") + part; };
    if (r.after.hasBpm)
        add("BPM " + std::to_string(r.after.bpm));
    if (r.after.hasTimes) {
        add("start " + minutes(r.after.times.startMs));
        add("stop " + minutes(r.after.times.stopMs));
    }
    if (r.after.hasVolume)
        add("volume " + decibels(r.after.volume.value));
    return out;
}

std::string TerminalDisplay::trackjson(const TrackResult& r)
{
    std::string out = "{\"path\":" + jsonstring(r.path) + ",\"outcome\":" + jsonstring(outcomewords(r.outcome)) +
        ",\"library\":" + jsonstring(libraryname(r.library)) + ",\"before\":" + valuesjson(r.before) +
        ",\"after\":" + valuesjson(r.after);
    if (!r.reason.empty())
        out += std::string(r.outcome == TrackOutcome::failed ? ",\"error\":" : ",\"reason\":") + jsonstring(r.reason);
    return out + "}";
}

void TerminalDisplay::summary(bool cancelled)
{
    const int tracks = counts.total();
    const long seconds = long(std::chrono::duration<double>(Clock::now() - batchStarted).count() + 0.5);
    clear();
    if (choices.list) {
        if (choices.json)
            std::printf("{\"summary\":{\"tracks\":%d,\"analysis_stored\":%d,\"errors\":%d}}\n", listed + counts.failed,
                        withRecord, counts.failed);
        else
            std::fprintf(stderr, "%d tracks, %d with a stored analysis, %d that cannot be read\n",
                         listed + counts.failed, withRecord, counts.failed);
        std::fflush(stdout);
        return;
    }
    if (choices.json) {
        std::printf("{\"summary\":{\"updated\":%d,\"up_to_date\":%d,\"skipped\":%d,\"errors\":%d,\"would_update\":%d,"
                    "\"tracks\":%d,\"seconds\":%ld,\"cancelled\":%s}}\n",
                    counts.updated, counts.upToDate, counts.skipped, counts.failed, counts.wouldUpdate, tracks, seconds,
                    cancelled ? "true" : "false");
        std::fflush(stdout);
        return;
    }
    char time[64];
    std::snprintf(time, sizeof time, " (%d track%s, %ld:%02ld)", tracks, tracks == 1 ? "" : "s", seconds / 60,
                  seconds % 60);
    std::string line = counts.text() + time;
    if (cancelled)
        line += ", cancelled";
    std::fprintf(stderr, "%s\n", line.c_str());
}

void TerminalDisplay::clear()
{
    if (drawn) {
        std::fputs("\r\033[K", stderr);
        drawn = false;
    }
}

// Redraws at most ten times a second unless forced.
void TerminalDisplay::draw(bool force)
{
    if (!choices.bar)
        return;
    Clock::time_point now = Clock::now();
    if (!force && drawn && now - lastDraw < std::chrono::milliseconds(100))
        return;
    lastDraw = now;
    std::string line;
    if (range > 0) {
        const int cells = 24;
        int full = value >= range ? cells : value * cells / range;
        line = "[" + std::string(size_t(full), '#') + std::string(size_t(cells - full), '.') + "] " +
            std::to_string(value) + "/" + std::to_string(range);
        if (value > 0 && value < range) {
            double elapsed = std::chrono::duration<double>(now - started).count();
            long left = long(elapsed / value * (range - value) + 0.5);
            char eta[32];
            std::snprintf(eta, sizeof eta, "  %ld:%02ld left", left / 60, left % 60);
            line += eta;
        }
        line += "  ";
    }
    line += file.empty() ? status : file + " (" + status + ")";
    size_t room = size_t(width() - 1);
    if (line.size() > room)
        line.resize(room);
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    drawn = true;
}

} // namespace ovra::tempix::cli
