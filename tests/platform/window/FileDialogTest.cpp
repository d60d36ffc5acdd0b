#include "OffscreenApp.h"
#include "platform/window/FileDialog.h"
#include "platform/window/WindowEvents.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ovra;

namespace {
class Chooser : public WindowEvents, public FileDialog {
public:
    std::vector<std::string> chosen;
    int answer = 0;
    int folderchosen(const char* path) override
    {
        chosen.push_back(path);
        return answer;
    }
};
} // namespace

// The dialog itself is exercised through the main window (tests/app).
TEST(FolderChooser, DeliveryStopsAtANonZeroAnswerOrAPathTooLong)
{
    ensureapplication();
    Chooser chooser;
    std::string paths[] = {"/a", "/b", "/c"};
    chooser.answer = 1;
    chooser.deliver(paths, 3);
    EXPECT_EQ(chooser.chosen, std::vector<std::string>{"/a"});

    chooser.chosen.clear();
    chooser.answer = 0;
    std::string more[] = {"/a", "/" + std::string(1023, 'x'), "/c"};
    chooser.deliver(more, 3);
    EXPECT_EQ(chooser.chosen, std::vector<std::string>{"/a"});
}
