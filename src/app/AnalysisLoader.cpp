#include "app/AnalysisLoader.h"

#include <QMetaObject>
#include <QObject>

#include <cstring>

namespace ovra::tempix {

namespace {
struct Start {
    AnalysisLoader* loader;
    uint64_t id;
};
static_assert(sizeof(Start) <= ThreadGroup::ARGUMENT_BYTES);
} // namespace

AnalysisLoader::AnalysisLoader(QObject* context_, Done done_) : context(context_), done(std::move(done_)) {}

AnalysisLoader::~AnalysisLoader()
{
    cancel();
    threads.waitall();
}

bool AnalysisLoader::load(const std::string& path)
{
    Start start{this, 0};
    {
        std::lock_guard<std::mutex> hold(mutex);
        start.id = ++latest;
        latestPath = path;
    }
    threads.cancelall();
    unsigned char argument[ThreadGroup::ARGUMENT_BYTES] = {};
    std::memcpy(argument, &start, sizeof start);
    return threads.startthread(&AnalysisLoader::entry, argument) == 0;
}

void AnalysisLoader::cancel()
{
    {
        std::lock_guard<std::mutex> hold(mutex);
        ++latest; // whatever is under way is no longer wanted
    }
    threads.cancelall();
}

bool AnalysisLoader::busy() { return threads.runningcount() > 0; }

void AnalysisLoader::entry(void* argument, ovra::Canceler& canceler)
{
    Start start;
    std::memcpy(&start, argument, sizeof start);
    start.loader->run(start.id, canceler);
}

void AnalysisLoader::run(uint64_t id, ovra::Canceler& canceler)
{
    std::string path;
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (id != latest)
            return; // overtaken before it began
        path = latestPath;
    }
    std::shared_ptr<const TrackPicture> picture;
    try {
        picture = std::make_shared<const TrackPicture>(loadTrackPicture(path.c_str(), canceler));
    } catch (...) {
        auto failed = std::make_shared<TrackPicture>();
        failed->path = path;
        failed->fresh.failure = "Not enough memory to process track.\n";
        failed->fresh.cause = AnalysisCause::noMemory;
        picture = failed;
    }
    std::lock_guard<std::mutex> hold(mutex);
    if (id != latest || canceler.iscancelled())
        return;
    // Posted, never waited for: the display thread may be waiting for us.
    Done callback = done;
    QMetaObject::invokeMethod(
        context, [callback, picture] { callback(picture); }, Qt::QueuedConnection);
}

} // namespace ovra::tempix
