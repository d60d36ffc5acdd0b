#include "audio/Movies_auto.h"

#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace ovra {

namespace {
std::mutex guardMutex;
int guardCount = 0;
int savedLevel = AV_LOG_INFO;
} // namespace

Movies_auto::Movies_auto()
{
    std::lock_guard<std::mutex> lock(guardMutex);
    if (guardCount++ == 0) {
        savedLevel = av_log_get_level();
        av_log_set_level(AV_LOG_QUIET);
    }
}

Movies_auto::~Movies_auto()
{
    std::lock_guard<std::mutex> lock(guardMutex);
    if (--guardCount == 0)
        av_log_set_level(savedLevel);
}

} // namespace ovra
