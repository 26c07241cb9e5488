// Backup and restore of setting pages.
#include "fixture.h"

namespace {

class Backup : public BoardTest {};

using PageCall = std::string (QOLVEN_USB_DLL::*)(void *, int, int);
constexpr PageCall kCreate = &QOLVEN_USB_DLL::Create_Back_Up;
constexpr PageCall kRestore = &QOLVEN_USB_DLL::Restore_Back_Up;

TEST_F(Backup, ChannelBoardSendsBothPagesOthersTheSourcePage) {
    struct Case {
        PageCall call;
        int board, first, second;
        Bytes sent;
    } cases[] = {
        {kCreate, 9, 2, 3, {0, 6, 0x59, 2, 3, 0xAA}},
        {kCreate, 1, 2, 3, {0, 5, 0x49, 2, 0xAA}},
        {kRestore, 9, 3, 2, {0, 6, 0x5A, 3, 2, 0xAA}},
        {kRestore, 1, 3, 2, {0, 5, 0x4A, 2, 0xAA}},
        // No board type is refused: the handheld displays take the one-page form.
        {kCreate, 5, 255, 0, {0, 5, 0x49, 255, 0xAA}},
        {kRestore, 15, 0, 255, {0, 5, 0x4A, 255, 0xAA}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "board " << c.board << " pages " << c.first << "," << c.second);
        useBoard(c.board);
        EXPECT_EQ((dev.*c.call)(h, c.first, c.second), "0") << error();
        EXPECT_EQ(requests(), (std::vector<Bytes>{{0, 4, 0x44, 0xAA}, c.sent}));
    }
}

TEST_F(Backup, PagesAreCheckedInArgumentOrderBeforeAnythingIsSent) {
    const char *source = "Invalid Source Page Number", *destination = "Invalid Destination Page Number";
    struct Case {
        PageCall call;
        int first, second;
        const char *text;
    } cases[] = {
        {kCreate, 256, 0, source},       {kCreate, -1, 0, source},      {kCreate, 0, 256, destination},
        {kCreate, 256, 256, source},     {kRestore, 256, 0, destination}, {kRestore, 0, -1, source},
        {kRestore, -1, 999, destination},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << "," << c.second);
        EXPECT_EQ((dev.*c.call)(h, c.first, c.second), "Error");
        EXPECT_EQ(error(), c.text);
        EXPECT_TRUE(wire().empty());
    }
}

TEST_F(Backup, FailedAcknowledgementIsReported) {
    // The second answer (after the identification) is the acknowledgement.
    qolven_sim::set_fault(serial, {qolven_sim::Fault::BoardError, qolven_sim::FaultMode::EveryNth, 0x4D, 0, 2});
    EXPECT_EQ(dev.Create_Back_Up(h, 1, 2), "Error");
    EXPECT_EQ(error(), "Command Error");
    qolven_sim::clear_faults(serial);
    EXPECT_EQ(dev.Restore_Back_Up(h, 2, 1), "0");
    EXPECT_EQ(error(), "");
}

TEST_F(Backup, OfflineAnswersWithoutTheBus) {
    dev.offlineMode = 1;
    EXPECT_EQ(dev.Create_Back_Up(h, 999, 0), "0");
    EXPECT_EQ(dev.Restore_Back_Up(h, 0, 1), "0");
    EXPECT_TRUE(wire().empty());
}

} // namespace
