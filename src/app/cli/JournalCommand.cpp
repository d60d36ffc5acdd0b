// tempix-cli --journal: the journals of interrupted updates that are not
// settled; --journal-discard PATH forgets one, after asking (or --yes).
#include "app/cli/CliCommand.h"
#include "platform/ErrorCodes.h"
#include "tags/WriteJournal.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include <unistd.h>

namespace ovra::tempix::cli {

namespace {

class JournalCommand : public CliCommand {
public:
    void addOptions(CLI::App& app) override
    {
        app.add_flag("--journal", list,
                     "List the journals of interrupted tag updates that are not settled, and what stops each");
        app.add_option("--journal-discard", discard,
                       "Forget the journal of an interrupted update (PATH: the track or the journal file); the "
                       "track stays as it is now. Asks first unless --yes is given")
            ->type_name("PATH");
        app.add_flag("--yes", yes, "Answer yes to the question of --journal-discard");
    }
    bool selected() const override { return list || !discard.empty(); }
    bool named() const override { return selected(); }
    // Looks at journals (or forgets one) before any of them is settled.
    bool dryRun() const override { return true; }

    int run() override
    {
        if (list && !discard.empty()) {
            std::fputs("tempix-cli: --journal and --journal-discard exclude each other\n", stderr);
            return EXIT_USAGE;
        }
        return list ? listjournals() : forget();
    }

private:
    static int listjournals()
    {
        const std::vector<ovra::PendingJournal> pending = ovra::pendingjournals();
        if (pending.empty()) {
            std::printf("No interrupted tag update is waiting in %s.\n", ovra::journalfolder().c_str());
            return EXIT_DONE;
        }
        for (const ovra::PendingJournal& p : pending)
            std::printf("%s\n  journal: %s\n  state: %s\n", p.track.empty() ? "(track unknown)" : p.track.c_str(),
                        p.file.c_str(), p.state.c_str());
        return EXIT_DONE;
    }

    int forget()
    {
        if (!yes) {
            if (!::isatty(STDIN_FILENO)) {
                std::fputs("tempix-cli: --journal-discard asks first; add --yes to forget the journal without "
                           "asking\n",
                           stderr);
                return EXIT_USAGE;
            }
            std::printf("Forget the journal of %s? The original bytes it keeps are lost, and the track stays as it "
                        "is now. [y/N] ",
                        discard.c_str());
            std::fflush(stdout);
            char answer[16] = "";
            if (std::fgets(answer, sizeof answer, stdin) == nullptr || (answer[0] != 'y' && answer[0] != 'Y')) {
                std::puts("Nothing was forgotten.");
                return EXIT_ERRORS;
            }
        }
        std::string forgotten;
        const int e = ovra::discardjournal(discard, forgotten);
        if (e == ENOENT) {
            std::fprintf(stderr, "tempix-cli: no pending journal belongs to %s (tempix-cli --journal lists them)\n",
                         discard.c_str());
            return EXIT_ERRORS;
        }
        if (e != 0) {
            std::fprintf(stderr, "tempix-cli: the journal of %s could not be forgotten: %s\n", discard.c_str(),
                         ovra::errorText(e).c_str());
            return EXIT_ERRORS;
        }
        std::printf("Forgot the journal of %s at the user's request; the track was left as it is.\n",
                    forgotten.c_str());
        return EXIT_DONE;
    }

    bool list = false;
    bool yes = false;
    std::string discard;
};

} // namespace

std::unique_ptr<CliCommand> makeJournalCommand() { return std::make_unique<JournalCommand>(); }

} // namespace ovra::tempix::cli
