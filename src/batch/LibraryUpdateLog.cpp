#include "batch/LibraryUpdateLog.h"

namespace ovra::tempix {

void LibraryUpdateLog::holdUpdated(const ITunesUpdateInput& in)
{
    if (entries.empty())
        first = Clock::now();
    entries.push_back({"iTunes updated.\n", in});
}

void LibraryUpdateLog::hold(const char* text) { entries.push_back({text, std::nullopt}); }

void LibraryUpdateLog::release(ITunesUpdateSink& out, const char* failure)
{
    std::vector<Entry> taken;
    taken.swap(entries);
    for (const Entry& e : taken) {
        if (e.update && failure != nullptr)
            logNotUpdated(*e.update, failure, out);
        else
            out.logText(e.text.c_str());
    }
}

} // namespace ovra::tempix
