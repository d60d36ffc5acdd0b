// tempix-cli: the batch, the analysis and the tag dump from a terminal.
#include "app/cli/CliCommand.h"
#include "audio/Movies_auto.h"
#include "platform/tools_appenv.h"
#include "tags/FileTransaction.h"
#include "tags/WriteJournal.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <vector>

using namespace ovra::tempix::cli;

int main(int argc, char** argv)
{
    ovra::setargv0(argv[0]);
    ovra::setwritefaultfromenvironment(); // a test hook: unset, it does nothing
    CLI::App app{"Tempix: tempo, start and stop times and volume for a music collection.", "tempix-cli"};
    app.set_version_flag("--version", std::string("tempix-cli ") + TEMPIX_VERSION);

    CliPaths paths;
    app.add_option("paths", paths, "The files and folders to work on")->type_name("PATH");
    std::vector<std::unique_ptr<CliCommand>> commands;
    commands.push_back(makeAnalyzeCommand(paths));
    commands.push_back(makeDumpCommand(paths));
    commands.push_back(makeBatchCommand(paths));
    commands.push_back(makeJournalCommand());
    for (auto& command : commands)
        command->addOptions(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "tempix-cli: %s\n\n", e.what());
        std::fputs(app.help().c_str(), stderr);
        return EXIT_USAGE;
    }
    int named = 0;
    for (auto& command : commands)
        named += command->named() ? 1 : 0;
    if (named > 1) {
        std::fputs("tempix-cli: --analyze, --dump, --journal, --library and --playlist exclude each other\n", stderr);
        return EXIT_USAGE;
    }

    // A tag update that was interrupted (killed, power lost) is undone
    // before anything else reads a track.
    bool dryRun = false;
    for (auto& command : commands)
        dryRun = dryRun || (command->selected() && command->dryRun());
    if (!dryRun)
        ovra::recoverinterruptedwrites(stdout);

    for (auto& command : commands) {
        if (command->selected()) {
            ovra::Movies_auto decoding; // the decoder's set-up for the whole job
            return command->run();
        }
    }
    // No source and no job: say how to use it and change nothing.
    std::fputs(app.help().c_str(), stderr);
    return EXIT_USAGE;
}
