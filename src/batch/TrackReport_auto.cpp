#include "batch/TrackReport_auto.h"
#include "platform/Threads.h"
#include "batch/TrackWords.h"

namespace ovra::tempix {

TrackReport_auto::TrackReport_auto(BatchDisplay& display_, const char* path, int32_t trackId, ovra::Canceler& canceler_,
                                   std::atomic<int>* rows_)
    : display(display_), canceler(canceler_), rows(rows_)
{
    result.path = path ? path : "";
    result.trackId = trackId;
}

TrackReport_auto::~TrackReport_auto()
{
    // Cancelled: a track that got as far as its tag keeps its row (it may
    // have been written); one stopped on the way has nothing to show.
    if (canceler.iscancelled() && (abandoned || result.tag == TagOutcome::none))
        return;
    if (abandoned || result.errors != 0)
        result.outcome = TrackOutcome::failed;
    else if (result.tag == TagOutcome::updated)
        result.outcome = TrackOutcome::updated;
    else if (result.tag == TagOutcome::wouldUpdate)
        result.outcome = TrackOutcome::wouldUpdate;
    else if (result.tag == TagOutcome::upToDate)
        result.outcome = TrackOutcome::upToDate;
    else
        result.outcome = TrackOutcome::skipped;
    try {
        display.trackFinished(result);
        if (rows != nullptr)
            ++*rows;
    } catch (...) {
        // A display that cannot take the row must not stop the batch.
    }
}

void TrackReport_auto::addentry(const char* text)
{
    if (text)
        result.entries += text;
}

void TrackReport_auto::setreason(const char* text)
{
    if (!result.reason.empty() || text == nullptr)
        return;
    result.reason = text;
    while (!result.reason.empty() && result.reason.back() == '\n')
        result.reason.pop_back();
    // A reason of two lines (a line and its cause) reads as one.
    for (char& c : result.reason)
        if (c == '\n')
            c = ' ';
}

void TrackReport_auto::addwords(const char* words)
{
    if (result.reason.empty() || words == nullptr || *words == '\0' || wordsAdded)
        return;
    wordsAdded = true;
    if (result.reason.back() == '.')
        result.reason.pop_back();
    result.reason += std::string(" (") + words + ")";
}

void TrackReport_auto::setvalues(const TrackAnalysis& analysis, double sampleRate, const TrackValues& before,
                                 const TrackValues& after)
{
    result.hasAnalysis = true;
    result.analysis = analysis;
    result.sampleRate = sampleRate;
    result.before = before;
    result.after = after;
}

void TrackReport_auto::setunreadable(const char* path, int found) { result.fileError = fileproblem(path, found); }

} // namespace ovra::tempix
