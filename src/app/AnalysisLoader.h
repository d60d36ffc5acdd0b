// Makes the picture of one track on a worker thread, never on the display
// thread, and hands it to the display thread. A new request or the loader's
// end cancels the one in progress.
#pragma once
#include "batch/TrackPicture.h"
#include "platform/Threads.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

class QObject;

namespace ovra::tempix {

class AnalysisLoader {
public:
    using Done = std::function<void(std::shared_ptr<const TrackPicture>)>;

    // done runs on the thread of context, for the latest request only. The
    // context must outlive the loader (the loader is usually its member).
    AnalysisLoader(QObject* context, Done done);
    // Cancels and waits for the worker.
    ~AnalysisLoader();
    AnalysisLoader(const AnalysisLoader&) = delete;
    AnalysisLoader& operator=(const AnalysisLoader&) = delete;

    // Starts on path, cancelling what runs; false when no thread could start.
    bool load(const std::string& path);
    void cancel();
    bool busy();

private:
    static void entry(void* argument, ovra::Canceler& canceler);
    void run(uint64_t id, ovra::Canceler& canceler);

    QObject* context;
    Done done;
    std::mutex mutex;
    uint64_t latest = 0; // the request whose picture is wanted
    std::string latestPath;
    ThreadGroup threads; // last: it waits for the workers before the rest goes
};

} // namespace ovra::tempix
