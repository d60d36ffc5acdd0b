// Placeholder until the analyze job arrives: never selected.
#include "app/cli/CliCommand.h"

namespace ovra::tempix::cli {

namespace {
class AnalyzeCommand : public CliCommand {
public:
    void addOptions(CLI::App&) override {}
    bool selected() const override { return false; }
    int run() override { return 2; }
};
} // namespace

std::unique_ptr<CliCommand> makeAnalyzeCommand()
{
    return std::make_unique<AnalyzeCommand>();
}

} // namespace ovra::tempix::cli
