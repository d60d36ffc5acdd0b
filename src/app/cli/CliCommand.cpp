#include "app/cli/CliCommand.h"

#include <cstdio>

namespace ovra::tempix::cli {

int FilesCommand::run()
{
    if (files.empty()) {
        std::fprintf(stderr, "tempix-cli: %s needs at least one FILE\n", option);
        return 2;
    }
    return runfiles();
}

} // namespace ovra::tempix::cli
