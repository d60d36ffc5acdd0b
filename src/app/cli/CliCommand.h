// One job of tempix-cli: registers its options, and runs when chosen.
#pragma once
#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace ovra::tempix::cli {

// tempix-cli's exit status.
enum ExitStatus : int {
    EXIT_DONE = 0,       // no error counted
    EXIT_ERRORS = 1,     // errors were counted
    EXIT_USAGE = 2,      // wrong usage
    EXIT_CANCELLED = 130 // Ctrl-C or SIGTERM
};

class CliCommand {
public:
    virtual ~CliCommand() = default;
    virtual void addOptions(CLI::App& app) = 0;
    // Whether the parsed command line asks for this job.
    virtual bool selected() const = 0;
    // Whether an option names this job outright (--analyze, --dump,
    // --library, --playlist): two such jobs on one command line are wrong usage.
    virtual bool named() const = 0;
    // Whether the job must write nothing at all (not even the undoing of an
    // interrupted tag update, which waits for the next run that writes).
    virtual bool dryRun() const { return false; }
    virtual int run() = 0; // an ExitStatus
};

// paths: the command line's files and folders, wherever they stand among the
// options (and after "--"); the chosen job takes them.
using CliPaths = std::vector<std::string>;
// A job over the command line's files, chosen by its one option (such as
// "--dump"), which it names when there is no file.
class FilesCommand : public CliCommand {
public:
    FilesCommand(const CliPaths& paths, const char* option) : files(paths), option(option) {}
    bool selected() const override { return chosen; }
    bool named() const override { return chosen; }
    int run() override;

protected:
    // Runs over files, which are not empty.
    virtual int runfiles() = 0;

    const CliPaths& files;
    const char* const option;
    bool chosen = false;
};

// A JSON string: quotes, backslashes and control characters escaped; bytes
// that are not UTF-8 become U+FFFD so that the line stays valid JSON.
std::string jsonstring(const std::string& text);

std::unique_ptr<CliCommand> makeAnalyzeCommand(const CliPaths& paths);
std::unique_ptr<CliCommand> makeDumpCommand(const CliPaths& paths);
std::unique_ptr<CliCommand> makeBatchCommand(const CliPaths& paths);
std::unique_ptr<CliCommand> makeJournalCommand();

} // namespace ovra::tempix::cli
