// How many of the library's tracks a set of location mappings finds on this
// computer, counted on a worker thread while the mappings are edited: the
// library file is read once, then every count resolves each location and
// looks for its file.
#pragma once
#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ovra::tempix {

struct LocationTally {
    std::string trouble; // why the library could not be read, in words
    int total = 0;       // tracks with a file location
    int found = 0;       // whose file is here
    // The prefix (as the library writes it) that most missing locations
    // share, and the folder most missing mapped files were looked for in;
    // empty when there is none.
    std::string missingPrefix;
    std::string lookedIn;
};

// The file locations of the library's tracks, in its order; trouble says
// why none could be read.
std::vector<std::string> librarylocations(const std::string& libraryPath, std::string& trouble);

// Counts locations through maps ("PREFIX=FOLDER" each; unusable ones are
// left out). abandoned is asked now and then; true stops the count early.
LocationTally tallylocations(const std::vector<std::string>& locations, const std::vector<std::string>& maps,
                             const std::function<bool()>& abandoned);

// A prefix as the library writes it ("file://localhost/C:/Users/Anna%20S/")
// as a path a person reads and the mappings take ("C:/Users/Anna S/").
std::string prefixaspath(const std::string& prefix);

class LocationCount {
public:
    using Done = std::function<void(const LocationTally&)>;
    // done runs on the thread of context, for the latest request only.
    LocationCount(QObject* context, Done done);
    // Waits for the worker (after the library read, if one is under way).
    ~LocationCount();
    LocationCount(const LocationCount&) = delete;
    LocationCount& operator=(const LocationCount&) = delete;

    // Counts the tracks of the library file with maps, dropping a count in progress.
    void count(const std::string& libraryPath, const std::vector<std::string>& maps);
    bool busy();

private:
    void work();

    QObject* context;
    Done done;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    bool pending = false;
    bool running = false;
    uint64_t latest = 0;
    std::string library;
    std::vector<std::string> maps;
    std::thread worker; // last: started once the rest is ready
};

} // namespace ovra::tempix
