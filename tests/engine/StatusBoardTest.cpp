#include <gtest/gtest.h>

#include "engine/StatusBoard.h"
#include "tests/support/Fakes.h"

namespace quorvex {
namespace {

using testing::FakeControls;
using testing::Log;

struct Expected {
    RegResult result;
    const wchar_t* text;
    PackedColour colour;
};

class StatusBoardTest : public ::testing::Test {
  protected:
    Log log;
    FakeControls controls{log};
    StatusBoard board{controls};
};

TEST_F(StatusBoardTest, ColoursArePackedRedPlus256GreenPlus65536Blue) {
    EXPECT_EQ(colour::White, 16777215u);
    EXPECT_EQ(colour::ShadowGrey, 4210752u);
    EXPECT_EQ(colour::Red, 255u);
    EXPECT_EQ(colour::Green, 65280u);
    EXPECT_EQ(colour::Blue, 16711680u);
}

// Every result 0..8 through both row tables; a result a table leaves out
// leaves the row as it was ("..." in white after a reset).
TEST_F(StatusBoardTest, RowTablesCoverEveryResult) {
    const Expected uninstallRow[] = {
        {RegResult::NoAction, L"...", colour::White},
        {RegResult::LoadFailed, L"No previous version.", colour::Blue},
        {RegResult::EntryMissing, L"Not Valid!", colour::Red},
        {RegResult::TimedOut, L"Failed!", colour::Red},
        {RegResult::Registered, L"...", colour::White},
        {RegResult::Unregistered, L"Sucessful", colour::Green},
        {RegResult::EntryFailed, L"Failed!", colour::Red},
        {RegResult::LoadOutOfRoom, L"Failed!", colour::Red},
        {RegResult::LoadRefused, L"Failed!", colour::Red},
    };
    const Expected installRow[] = {
        {RegResult::NoAction, L"...", colour::White},
        {RegResult::LoadFailed, L"Failed!", colour::Red},
        {RegResult::EntryMissing, L"Failed!", colour::Red},
        {RegResult::TimedOut, L"Failed!", colour::Red},
        {RegResult::Registered, L"Sucessful", colour::Green},
        {RegResult::Unregistered, L"...", colour::White},
        {RegResult::EntryFailed, L"Failed!", colour::Red},
        {RegResult::LoadOutOfRoom, L"Failed!", colour::Red},
        {RegResult::LoadRefused, L"Failed!", colour::Red},
    };
    for (auto [row, table] : {std::pair{StatusRow::Uninstall, uninstallRow},
                              std::pair{StatusRow::Install, installRow}}) {
        for (int i = 0; i < 9; ++i) {
            const Expected& expected = table[i];
            SCOPED_TRACE(::testing::Message() << "row " << static_cast<int>(row) << " result "
                                              << static_cast<int>(expected.result));
            board.ResetRows();
            board.ShowResult(row, expected.result);
            EXPECT_EQ(controls.Caption(row), expected.text);
            EXPECT_EQ(controls.Colour(row), expected.colour);
        }
    }
}

TEST_F(StatusBoardTest, CopyRowHasNoResultTable) {
    for (int value = 0; value <= 8; ++value) {
        board.ShowResult(StatusRow::Copy, static_cast<RegResult>(value));
    }
    EXPECT_TRUE(log.empty());
}

TEST_F(StatusBoardTest, ResetSetsColourThenCaptionRowByRowAndLeavesShadows) {
    controls.shadows = {L"Sucessful", L"Not a valid path", L"N/A"};
    board.ResetRows();
    EXPECT_EQ(log, (Log{"colour 1 white", "caption 1 ...", "colour 2 white", "caption 2 ...",
                        "colour 3 white", "caption 3 ..."}));
    EXPECT_EQ(controls.Shadow(StatusRow::Uninstall), L"Sucessful");
    EXPECT_EQ(controls.Shadow(StatusRow::Copy), L"Not a valid path");
    EXPECT_EQ(controls.Shadow(StatusRow::Install), L"N/A");
}

TEST_F(StatusBoardTest, MirrorCopiesTheCaptionOfItsOwnRowOnly) {
    board.SetStatus(StatusRow::Install, status_text::Successful, colour::Green);
    board.MirrorShadow(StatusRow::Install);
    EXPECT_EQ(controls.Shadow(StatusRow::Install), L"Sucessful");
    EXPECT_EQ(controls.Shadow(StatusRow::Uninstall), L"...");
    EXPECT_EQ(controls.Shadow(StatusRow::Copy), L"...");
}

TEST_F(StatusBoardTest, ButtonsChangeInFixedOrder) {
    board.SetButtonsEnabled(false);
    board.SetButtonsEnabled(true);
    EXPECT_EQ(log, (Log{"enable cmdRegister 0", "enable cmdUninstall 0", "enable ExitCmd 0",
                        "enable cmdRegister 1", "enable cmdUninstall 1", "enable ExitCmd 1"}));
}

TEST_F(StatusBoardTest, FolderTextIsReturnedAsTyped) {
    controls.folder = L"  ..\\odd path\\ ";
    EXPECT_EQ(board.FolderText(), L"  ..\\odd path\\ ");
}

TEST_F(StatusBoardTest, RefusedWriteReachesTheCaller) {
    controls.failing.insert("caption 1 Sucessful");
    EXPECT_THROW(board.ShowResult(StatusRow::Uninstall, RegResult::Unregistered),
                 std::runtime_error);
}

// Every button is tried whatever the others do; the first refusal is the
// one passed on.
TEST_F(StatusBoardTest, RefusedButtonsLeaveTheOthersChangedAndTheFirstRefusalReachesTheCaller) {
    controls.failing = {"enable cmdRegister 0", "enable ExitCmd 0"};
    try {
        board.SetButtonsEnabled(false);
        ADD_FAILURE() << "no refusal passed on";
    } catch (const std::runtime_error& refusal) {
        EXPECT_STREQ(refusal.what(), "refused: enable cmdRegister 0");
    }
    EXPECT_EQ(log, (Log{"refused enable cmdRegister 0", "enable cmdUninstall 0",
                        "refused enable ExitCmd 0"}));
}

}  // namespace
}  // namespace quorvex
