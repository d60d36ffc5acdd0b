#include "batch/BatchProcessor.h"

#include <cstring>

namespace ovra::tempix {

BatchProcessor::BatchProcessor(BatchDisplay& display) : runner(display, *this, current) {}

BatchProcessor::~BatchProcessor()
{
    threads.cancelall();
    threads.waitall();
}

int BatchProcessor::start(const BatchSettings& settings, const BatchOptions& options)
{
    if (running())
        return -1;
    current = settings;
    startOptions = options;
    BatchProcessor* self = this;
    unsigned char argument[ThreadGroup::ARGUMENT_BYTES] = {};
    std::memcpy(argument, &self, sizeof self);
    return threads.startthread(&BatchProcessor::workerEntry, argument);
}

void BatchProcessor::workerEntry(void* argument, ovra::Canceler& canceler)
{
    BatchProcessor* self;
    std::memcpy(&self, argument, sizeof self);
    self->runBatch(self->startOptions, canceler);
}

void BatchProcessor::cancelall() { threads.cancelall(); }

void BatchProcessor::waitall() { threads.waitall(); }

bool BatchProcessor::running() { return threads.runningcount() > 0; }

std::unique_ptr<ovra::Tag> BatchProcessor::openTrackTag(const char* path) { return ovra::openTag(path, false); }

AnalysisOutcome BatchProcessor::analyzeTrackAudio(const char* path, ovra::Canceler& canceler,
                                                  const AnalysisOptions& measure)
{
    return analyzeTrack(path, canceler, measure);
}

} // namespace ovra::tempix
