// Placeholder until the dump job arrives: never selected.
#include "app/cli/CliCommand.h"

namespace ovra::tempix::cli {

namespace {
class DumpCommand : public CliCommand {
public:
    void addOptions(CLI::App&) override {}
    bool selected() const override { return false; }
    int run() override { return 2; }
};
} // namespace

std::unique_ptr<CliCommand> makeDumpCommand()
{
    return std::make_unique<DumpCommand>();
}

} // namespace ovra::tempix::cli
