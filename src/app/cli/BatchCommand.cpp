// Placeholder until the batch job arrives: never selected.
#include "app/cli/CliCommand.h"

namespace ovra::tempix::cli {

namespace {
class BatchCommand : public CliCommand {
public:
    void addOptions(CLI::App&) override {}
    bool selected() const override { return false; }
    int run() override { return 2; }
};
} // namespace

std::unique_ptr<CliCommand> makeBatchCommand()
{
    return std::make_unique<BatchCommand>();
}

} // namespace ovra::tempix::cli
