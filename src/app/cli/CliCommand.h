// One job of tempix-cli: registers its options, and runs when chosen.
#pragma once
#include <memory>

namespace CLI {
class App;
}

namespace ovra::tempix::cli {

class CliCommand {
public:
    virtual ~CliCommand() = default;
    virtual void addOptions(CLI::App& app) = 0;
    // Whether the parsed command line asks for this job.
    virtual bool selected() const = 0;
    // Exit status: 0 success, 1 errors, 2 wrong usage, 130 cancelled.
    virtual int run() = 0;
};

std::unique_ptr<CliCommand> makeAnalyzeCommand();
std::unique_ptr<CliCommand> makeDumpCommand();
std::unique_ptr<CliCommand> makeBatchCommand();

} // namespace ovra::tempix::cli
