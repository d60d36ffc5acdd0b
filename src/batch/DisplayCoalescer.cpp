#include "batch/DisplayCoalescer.h"

#include <utility>

namespace ovra::tempix {

DisplayCoalescer::Changes DisplayCoalescer::take()
{
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(pending, Changes());
}

void DisplayCoalescer::clear() { take(); }

void DisplayCoalescer::setFileLine(const char* text)
{
    std::lock_guard<std::mutex> lock(mutex);
    pending.fileLine = text ? text : "";
}

void DisplayCoalescer::setStatusLine(const char* text)
{
    std::lock_guard<std::mutex> lock(mutex);
    pending.statusLine = text ? text : "";
}

void DisplayCoalescer::setProgressRange(int count)
{
    std::lock_guard<std::mutex> lock(mutex);
    pending.progressRange = count;
    pending.progressValue = 0;
}

void DisplayCoalescer::setProgressValue(int value)
{
    std::lock_guard<std::mutex> lock(mutex);
    pending.progressValue = value;
}

void DisplayCoalescer::batchEnded(const char* message, bool errors)
{
    std::lock_guard<std::mutex> lock(mutex);
    pending.endMessage = message ? message : "";
    pending.endErrors = errors;
}

void DisplayCoalescer::logEntry(const char* text)
{
    std::lock_guard<std::mutex> lock(mutex);
    pending.events.push_back({text ? text : "", std::nullopt});
}

void DisplayCoalescer::trackFinished(const TrackResult& result)
{
    std::lock_guard<std::mutex> lock(mutex);
    pending.events.push_back({std::string(), result});
}

} // namespace ovra::tempix
