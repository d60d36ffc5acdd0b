#include "batch/TrackResult.h"

#include <cstdio>

namespace ovra::tempix {

const char* outcomewords(TrackOutcome outcome)
{
    switch (outcome) {
    case TrackOutcome::updated:
        return "updated";
    case TrackOutcome::upToDate:
        return "up to date";
    case TrackOutcome::skipped:
        return "skipped";
    case TrackOutcome::failed:
        return "error";
    case TrackOutcome::wouldUpdate:
        return "would update";
    }
    return "";
}

void TrackCounts::add(TrackOutcome outcome)
{
    // In the order of TrackOutcome.
    static_assert(static_cast<int>(TrackOutcome::wouldUpdate) == 4, "one slot for each outcome");
    int* const tally[] = {&updated, &upToDate, &skipped, &failed, &wouldUpdate};
    ++*tally[static_cast<size_t>(outcome)];
}

std::string TrackCounts::text() const
{
    char line[160];
    if (wouldUpdate > 0 && updated == 0)
        std::snprintf(line, sizeof line, "%d would update, %d up to date, %d skipped, %d %s", wouldUpdate, upToDate,
                      skipped, failed, failed == 1 ? "error" : "errors");
    else
        std::snprintf(line, sizeof line, "%d updated, %d up to date, %d skipped, %d %s", updated, upToDate, skipped,
                      failed, failed == 1 ? "error" : "errors");
    return line;
}

} // namespace ovra::tempix
