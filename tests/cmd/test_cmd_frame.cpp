// The frame layer of the command protocol, byte for byte, through the
// intercepted programming port: checksum and seed, answers, long frames and
// negotiation, addressing, host arbitration, time-outs.
#include "tests/cmd/test_cmd_support.h"

#include <algorithm>
#include <cstring>

#include <unistd.h>

#include "core/storage/memfile.h"
#include "platform/plat.h"
#include "tests/core/test_storage_support.h"
#include "exec/plcmode.h"
#include "io/copen.h"
#include "messaging/atcmd.h"
#include "messaging/messaging.h"

using namespace cmd_test;

namespace {

TEST(CmdChecksum, SeedIsTheOemByteWithoutItsTopBit) {
    for (uint8_t oem : {0x00, 0x05, 0x85, 0x7F, 0xFF}) {
        crc_header[3] = oem;
        const uint8_t s = oem & 0x7F;
        EXPECT_EQ(Cmd_Seed(), s);
        const uint8_t f[] = {0x01, 0x00};
        EXPECT_EQ(Cmd_Checksum(f, 2), uint8_t((256 - (s + 1)) % 256));
    }
    crc_header = {};
}

class CmdFrame : public CmdTest {};

TEST_F(CmdFrame, GetLocalIdAndChecksumErrors) {
    EXPECT_EQ(Exchange({0x09, 0x01, 0x7F, 0x77}), (Bytes{0xFF, 0x01, 0x7F, 0x81}));
    // One 0x0F, then the next frame is served.
    EXPECT_EQ(Exchange({0x09, 0x01, 0x7F, 0x70}), (Bytes{0x0F}));
    EXPECT_EQ(Exchange({0x09, 0x01, 0x7F, 0x77}), (Bytes{0xFF, 0x01, 0x7F, 0x81}));
    // Two frames back to back are both served.
    EXPECT_EQ(Exchange({0x09, 0x01, 0x7F, 0x77, 0x09, 0x01, 0x7F, 0x77}, 4),
              (Bytes{0xFF, 0x01, 0x7F, 0x81, 0xFF, 0x01, 0x7F, 0x81}));
}

TEST_F(CmdFrame, OemSeedAppliesBothWays) {
    crc_header[3] = 0x85;
    EXPECT_EQ(Exchange({0x09, 0x01, 0x7F, 0x77}), (Bytes{0x0F}));
    EXPECT_EQ(Exchange(Frame(0x09, {0x7F}, 5)), (Bytes{0xFF, 0x01, 0x7F, 0x7C}));
    crc_header = {};
}

TEST_F(CmdFrame, LongLengthCountsTheMarkerAndGetModeAnswers) {
    PlcWordSet(W_MODE, 2);
    const Bytes f = Frame(0x01, {0x7F}, 0, true);
    EXPECT_EQ(f, (Bytes{0x01, 0xFF, 0x01, 0x00, 0x7F, uint8_t(-(0x01 + 0xFF + 0x01 + 0x7F))}));
    EXPECT_EQ(Exchange(f), (Bytes{0xFF, 0x01, 0x02, 0xFE}));
    OLPMode = 1;
    EXPECT_EQ(Exchange(Frame(0x01, {0x7F})), (Bytes{0xFF, 0x01, 0x03, 0xFD}));
}

TEST_F(CmdFrame, NegotiationBoundsAndLongAnswers) {
    EXPECT_EQ(Exchange(Frame(0x23, {0x7F, 0x01, 0x04})), (Bytes{0x09}));  // 1025
    EXPECT_EQ(Exchange(Frame(0x23, {0x7F, 63, 0x00})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x23, {0x7F, 0x00})), (Bytes{0x09}));  // too short
    EXPECT_EQ(NegotiationFlag, 0);
    EXPECT_EQ(Exchange(Frame(0x23, {0x7F, 0x00, 0x04})), (Bytes{0xA0}));
    EXPECT_EQ(CmdDataMax, 1024);
    EXPECT_EQ(Exchange(Frame(0x01, {0x7F})), (Bytes{0xFF, 0xFF, 0x01, 0x00, 0x00, 0x01}));
    // Negotiating 64 returns to short frames.
    EXPECT_EQ(Exchange(Frame(0x23, {0x7F, 64, 0x00})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0x01, {0x7F})), (Bytes{0xFF, 0x01, 0x00, 0x00}));
}

TEST_F(CmdFrame, AnEmptyLongFrameFromTheControllerEndsNegotiation) {
    EXPECT_EQ(Exchange(Frame(0x23, {0x7F, 0x00, 0x04})), (Bytes{0xA0}));
    put_packet(0xFF, 0, nullptr);
    EXPECT_EQ(Drain(), (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x02}));
    EXPECT_EQ(NegotiationFlag, 0);
    EXPECT_EQ(CmdDataMax, 64);
}

TEST_F(CmdFrame, OversizedFrameIsRefusedAndNeverStoredPastTheBuffer) {
    Bytes data(1100, 0x5A);
    data[0] = 0x7F;
    data[1] = 16;
    Stuff(Frame(0x16, data));
    for (int i = 0; i < 4; i++) Cmd_Check();
    EXPECT_EQ(Drain(), (Bytes{0x09}));
    EXPECT_EQ(CmdRun, CMD_IDLE);
    // The largest frame that fits is taken.
    Bytes full(1024, 0);
    full[0] = 0x7F;
    EXPECT_EQ(Exchange(Frame(0x24, full), 4), (Bytes{0x09}));  // dummy command: refused, but parsed
    EXPECT_EQ(Exchange({0x09, 0x01, 0x7F, 0x77}), (Bytes{0xFF, 0x01, 0x7F, 0x81}));
}

TEST_F(CmdFrame, FramesTooShortForTheirCommandAreRefused) {
    // A full register read first, so stale bytes would be at hand.
    EXPECT_EQ(Exchange(Frame(0x18, {0x7F, 16, 0x00, 0x80, 0x34, 0x12})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 16})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 16, 0xF0, 0x06})), (Bytes{0x09}));        // escape without its word
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 16, 0x00, 0x00, 1, 2})), (Bytes{0x09}));  // 32-bit form cut
    EXPECT_EQ(Exchange(Frame(0x18, {0x7F, 16, 0x00, 0x80, 0x99})), (Bytes{0x09}));  // half a value
    EXPECT_EQ(LE_Get16(&plc_reg[(32768 - 1024) / 8]), 0x1234);
    EXPECT_EQ(Exchange(Frame(0x02, {0x7F})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x01, {})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x1B, {0x7F})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x19, {0x7F})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x21, {0x7F, 0})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x20, {0x7F, 0, 0})), (Bytes{0xFF, 0x01, 0xFF, 0x01}));
}

TEST_F(CmdFrame, UnknownAndRefusedCommands) {
    for (uint8_t c : {0x00, 0x06, 0x07, 0x0C, 0x0D, 0x0E, 0x15, 0x24, 0x25, 0x27, 0x80, 0xFE})
        EXPECT_EQ(Exchange(Frame(c, {0x7F, 1})), (Bytes{0x09})) << int(c);
    // A data frame while no command runs is refused as command 0.
    EXPECT_EQ(Exchange(Frame(0xFF, {0x7F, 1})), (Bytes{0x09}));
}

TEST_F(CmdFrame, GlobalFramesAndAnyIdCommands) {
    EXPECT_EQ(Exchange(Frame(0x16, {255, 16, 0x00, 0x80})), Bytes{});
    EXPECT_EQ(Exchange(Frame(0x01, {255})), Bytes{});
    EXPECT_EQ(Exchange(Frame(0x18, {255, 16, 0x00, 0x80, 0x11, 0x22})), Bytes{});
    EXPECT_EQ(LE_Get16(&plc_reg[(32768 - 1024) / 8]), 0x2211);
    EXPECT_EQ(Exchange(Frame(0x02, {255, 1})), Bytes{});
    EXPECT_EQ(PlcWord(W_MODE), 1);
    EXPECT_EQ(Exchange(Frame(0x13, {255})), Bytes{});
    EXPECT_EQ(Exchange(Frame(0x09, {255})), (Bytes{0xFF, 0x01, 0x7F, 0x81}));
    EXPECT_EQ(Exchange(Frame(0x09, {12})), (Bytes{0xFF, 0x01, 0x7F, 0x81}));
    EXPECT_EQ(Exchange(Frame(0x09, {})), (Bytes{0xFF, 0x01, 0x7F, 0x81}));
    // The other any-id commands are served under any id but not under 255.
    EXPECT_EQ(Exchange(Frame(0x0C, {12})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x0C, {255})), Bytes{});
    EXPECT_EQ(Exchange(Frame(0x0B, {255, 1, 2})), Bytes{});
    EXPECT_EQ(Exchange(Frame(0x0A, {255})), Bytes{});
    EXPECT_EQ(Exchange(Frame(0x0A, {12})), (Bytes{0xA0}));
    EXPECT_EQ(PlcWord(W_NETID), 12);
}

TEST_F(CmdFrame, SecondHostGetsBusyAndItsInputIsFlushed) {
    // The Ethernet channel holds the port.
    Vcomm_Lock = 1;
    Vcomm_Host = 1;
    EXPECT_EQ(Exchange({0x09, 0x01, 0x7F, 0x77}), (Bytes{0x60}));
    EXPECT_EQ(Vcomm_Drv[0].CountRx(0), 0u);
    Vcomm_Lock = 0;
    EXPECT_EQ(Exchange({0x09, 0x01, 0x7F, 0x77}), (Bytes{0xFF, 0x01, 0x7F, 0x81}));
    EXPECT_EQ(CmdHost, 0u);
}

// A refused newcomer on the modem data socket (host 0 while the socket is
// active) is answered 0x60 once and its input is thrown away: not answered
// again at every pass, and its frame never run later.
TEST_F(CmdFrame, RefusedModemNewcomerIsFlushed) {
    Vcomm_Lock = 1;
    Vcomm_Host = 1;  // the Ethernet channel holds the port
    TelitPowerON = 1;
    at_status.port = uint8_t(Cmd_HostPort[0]);
    SocketInfo &s = socket_info_st[1];
    const uint8_t old_state = s.state;
    s.state = 6;
    s.tx_len = 0;
    s.tx_ptr = nullptr;
    // A register write the newcomer sends.
    const Bytes f = Frame(0x18, {0x7F, 16, 0xF0, 0x06, 0x10, 0x00, 0xAA, 0x55});
    std::copy(f.begin(), f.end(), s.data.begin());
    s.read_idx = 0;
    s.unread = uint16_t(f.size());
    Cmd_Check();
    EXPECT_EQ(s.unread, 0u) << "its input is flushed";
    ASSERT_EQ(s.tx_len, 1u);
    EXPECT_EQ(s.tx_ptr[0], 0x60);
    for (int i = 0; i < 3; i++) Cmd_Check();
    EXPECT_EQ(s.tx_len, 1u) << "answered once";
    // The port comes free: nothing of the refused frame is run.
    Vcomm_Lock = 0;
    for (int i = 0; i < 3; i++) Cmd_Check();
    EXPECT_EQ(LE_Get16(&plc_reg[(0x10010 - 1024) / 8]), 0);
    EXPECT_EQ(s.tx_len, 1u);
    s.state = old_state;
    s.unread = 0;
    s.tx_len = 0;
    TelitPowerON = 0;
}

// A command host on the CAN network (the port in mode 2) is served whatever
// host the last conversation had: here the Ethernet channel's.
TEST_F(CmdFrame, CanCommandHostIsServedAfterAnEthernetConversation) {
    CmdHost = 1;
    ASSERT_EQ(Vcomm_ModeSet(0, 0, 2, 2), 0u);  // claimed by the CAN side, as its programming channel does
    const Bytes f = Frame(0x18, {0x7F, 16, 0xF0, 0x06, 0x10, 0x00, 0xAA, 0x55});
    for (uint8_t b : f) {
        QnCAN_HostQue.buf[QnCAN_HostQue.in] = b;
        QnCAN_HostQue.in = uint16_t((QnCAN_HostQue.in + 1) & 0xFF);
    }
    for (int i = 0; i < 3; i++) Cmd_Check();
    EXPECT_EQ(LE_Get16(&plc_reg[(0x10010 - 1024) / 8]), 0x55AA);
    QnCAN_HostQue.out = QnCAN_HostQue.in;
    Vcomm_Lock = 0;
    Vcomm_Mode = 0;
}

TEST_F(CmdFrame, InternalClientTakesTheFreePortInItsModeOnly) {
    PlcWordSet(W_NETID, 7);
    // Free port, own id: claimed for host 0 in mode 0; a half frame is dropped.
    EXPECT_EQ(Exchange({0x09, 0x01}), Bytes{});
    EXPECT_NE(CmdBuf.state, 0u);
    Vcomm_Lock = 0;
    CmdRun = 3;
    CmdHost = 1;
    EXPECT_EQ(Cmd_Request(7), 1u);
    EXPECT_EQ(Vcomm_Lock, 1u);
    EXPECT_EQ(Vcomm_Host, 0u);
    EXPECT_EQ(Vcomm_Mode, 0u);
    EXPECT_EQ(Vcomm_ConnectId, 7u);
    EXPECT_EQ(CmdRun, 255);
    EXPECT_EQ(CmdHost, 0u);
    EXPECT_EQ(CmdBuf.state, 0u);
    // Held in mode 0: another id asks for mode 1 and is refused, the holder stays.
    EXPECT_EQ(Cmd_Request(9), 0u);
    EXPECT_EQ(Vcomm_Mode, 0u);
    // Free again: another id gets mode 1 and keeps it on asking again.
    Vcomm_Lock = 0;
    EXPECT_EQ(Cmd_Request(9), 1u);
    EXPECT_EQ(Vcomm_Mode, 1u);
    EXPECT_EQ(Vcomm_ConnectId, 9u);
    EXPECT_EQ(Cmd_Request(9), 1u);
    // The Ethernet channel holds the port: refused, nothing changes.
    Vcomm_Host = 1;
    CmdRun = 3;
    EXPECT_EQ(Cmd_Request(9), 0u);
    EXPECT_EQ(CmdRun, 3);
    Vcomm_Lock = 0;
    Vcomm_Host = 0;
    CmdRun = CMD_IDLE;
    PlcWordSet(W_NETID, 0);
}

TEST_F(CmdFrame, MidFrameSilenceResetsTheReceiverAndEndsTheConversation) {
    EXPECT_EQ(Exchange({0x09, 0x01}), Bytes{});
    EXPECT_NE(Vcomm_Lock & 1u, 0u);
    Advance(499);
    Cmd_Check();
    EXPECT_NE(CmdBuf.state, 0u);
    Advance(2);
    Cmd_Check();
    EXPECT_EQ(CmdBuf.state, 0u);
    EXPECT_EQ(Vcomm_Lock, 0u);
    EXPECT_EQ(Exchange({0x09, 0x01, 0x7F, 0x77}), (Bytes{0xFF, 0x01, 0x7F, 0x81}));
    // The frame time-out follows word 264 when it is above 500 ms.
    PlcWordSet(W_CMD_FRAME_TO, 2000);
    EXPECT_EQ(Exchange({0x09, 0x01}), Bytes{});
    Advance(1500);
    Cmd_Check();
    EXPECT_EQ(Exchange({0x7F, 0x77}), (Bytes{0xFF, 0x01, 0x7F, 0x81}));
}

TEST_F(CmdFrame, CommLockHoldsTheLockAndSetsTheTimeouts) {
    EXPECT_EQ(Exchange(Frame(0x19, {0x7F, 1, 0x10, 0x27})), (Bytes{0xA0}));  // 10000 ms, 4 bytes
    EXPECT_EQ(Vcomm_Lock, 2u);
    EXPECT_EQ(PlcWord(W_CMD_LOCK), 10000);
    EXPECT_EQ(PlcWord(W_CMD_FRAME_TO), 10000);
    EXPECT_EQ(Exchange(Frame(0x19, {0x7F, 1, 0xE8, 0x03, 0xD0, 0x07})), (Bytes{0xA0}));
    EXPECT_EQ(PlcWord(W_CMD_LOCK), 1000);
    EXPECT_EQ(PlcWord(W_CMD_FRAME_TO), 2000);
    EXPECT_EQ(Exchange(Frame(0x19, {0x7F, 1, 0x10, 0x00})), (Bytes{0xA0}));  // below 500: kept
    EXPECT_EQ(PlcWord(W_CMD_LOCK), 1000);
    // The lock ends with the conversation, after max(word 263, 5000) ms of silence.
    Advance(4999);
    Cmd_Check();
    EXPECT_EQ(Vcomm_Lock, 2u);
    Advance(2);
    Cmd_Check();
    EXPECT_EQ(Vcomm_Lock, 0u);
    EXPECT_EQ(Exchange(Frame(0x19, {0x7F, 1})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0x19, {0x7F, 0})), (Bytes{0xA0}));
    EXPECT_EQ(Vcomm_Lock, 0u);
}

TEST_F(CmdFrame, RegisterSetUpDownloadToItsBoundThenRefused) {
    // The byte after the set-up area (image byte 109,168) is the first of
    // the battery-valid marker: an odd last frame that ends at the 80-byte
    // bound must not pad onto it.
    plc_reg[109168] = 0x5A;
    EXPECT_EQ(Exchange(Frame(0x04, {0x7F, 4})), (Bytes{0xA0}));
    Bytes d(80);
    for (unsigned i = 0; i < 80; i++) d[i] = uint8_t(i + 1);
    EXPECT_EQ(Exchange(Frame(0xFF, Bytes(d.begin(), d.begin() + 41))), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, Bytes(d.begin() + 41, d.end()))), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, {})), (Bytes{0xA0}));
    EXPECT_EQ(PlcDword(W_SETUP_LEN), 80u);
    EXPECT_EQ(PlcWord(W_SETUP_CRC), crc16(d.data(), d.size()));
    EXPECT_EQ(0, std::memcmp(&plc_reg[MF_SETUP_BYTE], d.data(), 80));
    EXPECT_EQ(plc_reg[109168], 0x5A);
    // 81 bytes: the frame that would pass the bound is refused, the header stays.
    EXPECT_EQ(Exchange(Frame(0x04, {0x7F, 4})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, Bytes(81, 7))), (Bytes{0x09}));
    EXPECT_EQ(CmdRun, CMD_IDLE);
    EXPECT_EQ(Cmd_Downloading, 0);
    EXPECT_EQ(PlcDword(W_SETUP_LEN), 80u);
    // A force table refused at the frame that passes its 256 bytes: the
    // forces written over by the frames before are back.
    const Bytes force = {1, 0, 0x10, 0};
    std::memcpy(&plc_reg[MF_FORCE_BYTE], force.data(), 4);
    std::memcpy(io_force.data(), force.data(), 4);
    PlcDwordSet(W_FORCE_LEN, 4);
    EXPECT_EQ(Exchange(Frame(0x04, {0x7F, 2})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, Bytes(200, 7))), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, Bytes(57, 7))), (Bytes{0x09}));
    EXPECT_EQ(Bytes(io_force.begin(), io_force.begin() + 4), force);
    for (std::size_t i = 0; i < 4; i++) EXPECT_EQ(plc_reg[MF_FORCE_BYTE + i], force[i]) << i;
    // Types without an area or upload-only types are refused at once.
    for (uint8_t t : {1, 3, 17, 34, 200}) EXPECT_EQ(Exchange(Frame(0x04, {0x7F, t})), (Bytes{0x09})) << int(t);
    // While an on-line change is armed the program goes to the change buffer.
    PlcWordSet(W_MODE, 2);  // no program store
    const Bytes running(ladder_bl.begin(), ladder_bl.begin() + 16);
    OLPMode = 1;
    EXPECT_EQ(Exchange(Frame(0x04, {0x7F, 0})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, {0x09, 0x00})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, {})), (Bytes{0xA0}));
    EXPECT_EQ(Bytes(ladder_olp.begin(), ladder_olp.begin() + 10), (Bytes{0x07, 0xE0, 0, 0, 2, 0, 0, 0, 0x09, 0x00}));
    EXPECT_EQ(Bytes(ladder_bl.begin(), ladder_bl.begin() + 16), running);
    // It is file type 26 of its own.
    EXPECT_EQ(Exchange(Frame(0x04, {0x7F, 26})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, {0x0A, 0x00})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, {})), (Bytes{0xA0}));
    EXPECT_EQ(MF_Len(ladder_olp.data()), 2u);
    EXPECT_EQ(ladder_olp[MF_HDR], 0x0A);
}

TEST_F(CmdFrame, UploadHandshakeRepeatsOnChecksumErrorAndEndsOnRefusal) {
    PlcWordSet(W_MODE, 2);  // no program store from the download
    EXPECT_EQ(Exchange(Frame(0x04, {0x7F, 4})), (Bytes{0xA0}));
    Bytes d(70);
    for (unsigned i = 0; i < d.size(); i++) d[i] = uint8_t(0x30 + i);
    EXPECT_EQ(Exchange(Frame(0xFF, d)), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, {})), (Bytes{0xA0}));

    EXPECT_EQ(Exchange(Frame(0x05, {0x7F, 4})), (Bytes{0xA0}));
    Advance(249);
    EXPECT_EQ(Exchange({}), Bytes{});
    Advance(1);
    const Bytes first = Frame(0xFF, Bytes(d.begin(), d.begin() + 64));
    EXPECT_EQ(Exchange({}), first);
    EXPECT_EQ(Exchange({0x0F}), first);
    EXPECT_EQ(Exchange({0xA0}), Frame(0xFF, Bytes(d.begin() + 64, d.end())));
    EXPECT_EQ(Exchange({0xA0}), Frame(0xFF, {}));
    EXPECT_EQ(Exchange({0xA0}), Bytes{});
    EXPECT_EQ(CmdRun, CMD_IDLE);

    // The header: CRC word and length.
    EXPECT_EQ(Exchange(Frame(0x05, {0x7F, 4, 1})), (Bytes{0xA0}));
    Advance(250);
    Bytes h(8, 0);
    LE_Put32(h.data(), crc16(d.data(), d.size()));
    LE_Put32(h.data() + 4, 70);
    EXPECT_EQ(Exchange({}), Frame(0xFF, h));
    EXPECT_EQ(Exchange({0x09}), Bytes{});
    EXPECT_EQ(CmdRun, CMD_IDLE);

    // The system information record uploads (98 bytes) but is never verified.
    EXPECT_EQ(Exchange(Frame(0x03, {0x7F, 17})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x05, {0x7F, 17, 1})), (Bytes{0xA0}));
    Advance(250);
    LE_Put32(h.data(), crc16(Cmd_SS_Info.data(), 98));
    LE_Put32(h.data() + 4, 98);
    EXPECT_EQ(Exchange({}), Frame(0xFF, h));
    EXPECT_EQ(Exchange({0x09}), Bytes{});
}

TEST_F(CmdFrame, VersionAnswersByFirmwareNumber) {
    PlcWordSet(W_FWNUM, 200);
    PlcWordSet(W_FWVER, 1550);
    EXPECT_EQ(Exchange(Frame(0x08, {0x7F})), Frame(0xFF, {200, 15, 50}));
    PlcWordSet(W_FWNUM, 570);
    EXPECT_EQ(Exchange(Frame(0x08, {0x7F})), Frame(0xFF, {0xFF, 15, 50, 0x3A, 0x02}));
}

TEST_F(CmdFrame, RegisterEscapesAndRefusals) {
    EXPECT_EQ(Exchange(Frame(0x18, {0x7F, 16, 0xF0, 0x06, 0x10, 0x00, 0xAA, 0x55})), (Bytes{0xA0}));
    EXPECT_EQ(LE_Get16(&plc_reg[(0x10010 - 1024) / 8]), 0x55AA);
    EXPECT_EQ(Exchange(Frame(0x18, {0x7F, 16, 0xF1, 0x06, 0x10, 0x00, 0x01, 0x02})), (Bytes{0xA0}));
    EXPECT_EQ(LE_Get16(&plc_reg[(0x20010 - 1024) / 8]), 0x0201);
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 16, 0x00, 0x00, 0x10, 0x00, 0x01, 0x00})), Frame(0xFF, {0xAA, 0x55}));
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 16, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20})), (Bytes{0x0F}));
    EXPECT_EQ(Exchange(Frame(0x18, {0x7F, 16, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 1, 0})), (Bytes{0x0F}));
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 0, 0x00, 0x80})), (Bytes{0x09}));  // nothing to read
    // Reading more than a short frame carries needs negotiation.
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 255, 0x00, 0x80})), Frame(0xFF, Bytes(31, 0)));
    // The mode word reads 3 while an on-line change is armed.
    EXPECT_EQ(Exchange(Frame(0x02, {0x7F, 3})), (Bytes{0xA0}));
    EXPECT_EQ(OLPMode, 1);
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 16, 0x40, 0x0C})), Frame(0xFF, {3, 0}));
    // Its bits read as those of 3 too: one bit answers 0 or 1, a wider read
    // over the word carries 3 at the word's place.
    EXPECT_EQ(PlcWord(W_MODE), 0);
    const uint16_t fault_before = PlcWord(W_FAULT);
    PlcWordSet(W_FAULT, 0x1234);
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 1, 0x40, 0x0C})), Frame(0xFF, {1}));  // bit 0 of 3
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 1, 0x41, 0x0C})), Frame(0xFF, {1}));  // bit 1 of 3
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 1, 0x42, 0x0C})), Frame(0xFF, {0}));  // bit 2 of 3
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 8, 0x48, 0x0C})), Frame(0xFF, {0}));  // its high byte
    // 32 bits from %SR4 (word 131, bit address 3120): the fault word, then 3.
    EXPECT_EQ(Exchange(Frame(0x16, {0x7F, 32, 0x30, 0x0C})), Frame(0xFF, {0x34, 0x12, 3, 0}));
    PlcWordSet(W_FAULT, fault_before);
    // A mode the controller does not know clears the on-line change mark and
    // changes nothing else, but is accepted.
    const uint16_t mode_before = PlcWord(W_MODE);
    EXPECT_EQ(Exchange(Frame(0x02, {0x7F, 9})), (Bytes{0xA0}));
    EXPECT_EQ(OLPMode, 0);
    EXPECT_EQ(PlcWord(W_MODE), mode_before);
    // %SR5 through PlcReg_Set changes the mode.
    EXPECT_EQ(Exchange(Frame(0x18, {0x7F, 16, 0x40, 0x0C, 1, 0})), (Bytes{0xA0}));
    EXPECT_EQ(PlcWord(W_MODE), 1);
    // Width 0 clears.
    plc_reg[(32768 - 1024) / 8] = 0x77;
    EXPECT_EQ(Exchange(Frame(0x18, {0x7F, 0, 0x00, 0x80})), (Bytes{0xA0}));
    EXPECT_EQ(plc_reg[(32768 - 1024) / 8], 0);
}

TEST_F(CmdFrame, BaudRateChangeFallsBackAfterSilence) {
    EXPECT_EQ(Exchange(Frame(0x1A, {0x7F})), Frame(0xFF, {5}));
    // (The re-open empties the intercept rings, answer byte included.)
    Exchange(Frame(0x1B, {0x7F, 9}));
    EXPECT_EQ(Vcomm_ModeRec(ProgrammingPort)[0], 9);
    Advance(8999);
    Cmd_Check();
    EXPECT_EQ(Vcomm_ModeRec(ProgrammingPort)[0], 9);
    Advance(2);
    Cmd_Check();
    EXPECT_EQ(Vcomm_ModeRec(ProgrammingPort)[0], 5);
    // Back to the protocol's own speed: nothing to guard.
    Exchange(Frame(0x1B, {0x7F, 5}));
    EXPECT_EQ(Timers[CmdBaudTimer].running, 0);
}

TEST_F(CmdFrame, AbandonedDownloadIsClosedAndInvalidated) {
    EXPECT_EQ(Exchange(Frame(0x04, {0x7F, 0})), (Bytes{0xA0}));
    EXPECT_EQ(Cmd_Downloading, 1);
    EXPECT_EQ(Exchange(Frame(0xFF, {1, 2, 3, 4})), (Bytes{0xA0}));
    Advance(501);
    Cmd_Check();
    EXPECT_EQ(Cmd_Downloading, 0);
    EXPECT_EQ(CmdRun, CMD_IDLE);
    EXPECT_EQ(Vcomm_Lock, 0u);
    EXPECT_NE(PlcWord(W_FAULT) & 0x04, 0);  // the application is marked invalid
}

// In run mode nothing is re-created: a file cut off after its first frame
// gets back what was there (header, data, mirrors), so that no later store
// keeps it half-written; with no stored file it is marked invalid.
TEST_F(CmdFrame, AbandonedDownloadInRunModePutsTheFileBack) {
    const Bytes io = {0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0};
    std::memcpy(&io_config_bl[MF_HDR], io.data(), io.size());
    MF_SetHeader(io_config_bl.data(), 0x0F1E, 12);
    PlcWordSet(153, 0x0F1E);
    PlcDwordSet(144, 12);
    for (unsigned i = 0; i < 80; i++) plc_reg[MF_SETUP_BYTE + i] = uint8_t(i + 1);
    PlcDwordSet(W_SETUP_LEN, 80);
    PlcWordSet(W_SETUP_CRC, 0x2D3C);
    const Bytes force = {1, 0, 0x10, 0};
    std::memcpy(&plc_reg[MF_FORCE_BYTE], force.data(), 4);
    std::memcpy(io_force.data(), force.data(), 4);
    PlcDwordSet(W_FORCE_LEN, 4);
    MF_SetHeader(sms_table_bl.data(), 0x4B5A, 3);
    sms_table_bl[MF_HDR] = 0x77;
    PlcWordSet(274, 0x4B5A);
    PlcDwordSet(270, 3);
    ASSERT_EQ(CrtAutoSaveRegFile(), 1u);
    ASSERT_EQ(SaveProgram(), 1u);
    PlcWordSet(W_MODE, 2);
    // The set-up area and the forces with their words, the mirrors.
    const auto kept = [] {
        Bytes b;
        for (std::size_t i = 0; i < 80; i++) b.push_back(plc_reg[MF_SETUP_BYTE + i]);
        for (std::size_t i = 0; i < 4; i++) b.push_back(plc_reg[MF_FORCE_BYTE + i]);
        for (uint32_t w : {142u, 143u, 144u, 145u, 148u, 149u, 152u, 153u, 155u, 270u, 271u, 274u}) {
            b.push_back(uint8_t(PlcWord(w)));
            b.push_back(uint8_t(PlcWord(w) >> 8));
        }
        return b;
    };
    const Bytes before = kept();
    const Bytes io_block(io_config_bl.begin(), io_config_bl.begin() + MF_HDR + 12);
    const Bytes sms_block(sms_table_bl.begin(), sms_table_bl.begin() + MF_HDR + 3);
    for (uint8_t type : {5, 4, 2, 21}) {
        SCOPED_TRACE(int(type));
        EXPECT_EQ(Exchange(Frame(0x04, {0x7F, type})), (Bytes{0xA0}));
        EXPECT_EQ(Exchange(Frame(0xFF, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0})), (Bytes{0xA0}));
        Advance(501);
        Cmd_Check();
        EXPECT_EQ(Cmd_FileOpen, 0);
        EXPECT_EQ(PlcWord(W_MODE), 2);
        EXPECT_EQ(Bytes(io_config_bl.begin(), io_config_bl.begin() + MF_HDR + 12), io_block);
        EXPECT_EQ(Bytes(sms_table_bl.begin(), sms_table_bl.begin() + MF_HDR + 3), sms_block);
        EXPECT_EQ(kept(), before);
    }
    // Nothing stored to put back: invalid (CRC 0, length 0), mirrors too.
    char stored[512];
    ASSERT_NE(PLAT_Path("/mnt/cfg/config.pgm", stored, sizeof stored), nullptr);
    ASSERT_EQ(unlink(stored), 0);
    EXPECT_EQ(Exchange(Frame(0x04, {0x7F, 5})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, {9, 8})), (Bytes{0xA0}));
    Advance(501);
    Cmd_Check();
    EXPECT_EQ(Bytes(io_config_bl.begin(), io_config_bl.begin() + MF_HDR), Bytes(MF_HDR, 0));
    EXPECT_EQ(PlcWord(153), 0);
    EXPECT_EQ(PlcDword(144), 0u);
}

int held_engine_runs;
int32_t CountingEngine() {
    held_engine_runs++;
    return -1;
}

TEST_F(CmdFrame, ProgramDownloadWhileRunningHoldsTheScanUntilComplete) {
    int32_t (*saved)() = Plc_Engine;
    Plc_Engine = CountingEngine;
    PlcWordSet(W_MODE, 2);
    held_engine_runs = 0;
    PlcScan();
    EXPECT_EQ(held_engine_runs, 1);

    // Open, one frame in: the program never runs, the mode stays.
    EXPECT_EQ(Exchange(Frame(0x04, {0x7F, 0})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, {0x09, 0x00})), (Bytes{0xA0}));
    for (int i = 0; i < 5; i++) PlcScan();
    EXPECT_EQ(held_engine_runs, 1);
    EXPECT_EQ(PlcWord(W_MODE), 2);
    // The last frame releases it, stored as in stop mode: CRC word, length, data.
    EXPECT_EQ(Exchange(Frame(0xFF, {})), (Bytes{0xA0}));
    PlcScan();
    EXPECT_EQ(held_engine_runs, 2);
    char stored[512];
    ASSERT_NE(PLAT_Path("/mnt/cfg/ladder.pgm", stored, sizeof stored), nullptr);
    EXPECT_EQ(storage_test::ReadFile(stored), (Bytes{0x07, 0xE0, 0, 0, 2, 0, 0, 0, 0x09, 0x00}));

    // Abandoned with no whole program stored: stopped, marked invalid, never run.
    ASSERT_EQ(unlink(stored), 0);
    EXPECT_EQ(Exchange(Frame(0x04, {0x7F, 0})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0xFF, {0x09, 0x00})), (Bytes{0xA0}));
    Advance(501);
    Cmd_Check();
    EXPECT_EQ(Cmd_PgmHold, 0);
    EXPECT_EQ(PlcWord(W_MODE), 0);
    EXPECT_NE(PlcWord(W_FAULT) & FAULT_INVALID, 0);
    PlcScan();
    EXPECT_EQ(held_engine_runs, 2);
    Plc_Engine = saved;
}

// Without a transfer open, data blocks and reads are refused: a reply code
// never goes out as data bytes.
TEST_F(CmdFrame, FileTransferRefusesDataOutsideATransfer) {
    EXPECT_EQ(Exchange(Frame(0x1D, {0x7F, 1, 2})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x1E, {0x7F})), (Bytes{0x09}));
}

}  // namespace

// A transport that plays a port: its own mode record and byte queues, reached
// only through the operations it installs.
namespace fake_port {
VcommMode mode = qncan_mode;
std::vector<uint8_t> rx, tx;
std::vector<VcommMode> opens;
uint8_t *ModeRec(uint32_t) { return mode.data(); }
uint32_t Open(uint32_t, const uint8_t *m) {
    opens.push_back({m[0], m[1], m[2], m[3], m[4], m[5]});
    std::copy(m, m + 6, mode.begin());
    return 1;
}
uint32_t CheckRx(uint32_t) { return rx.empty() ? 0 : 1; }
uint32_t GetRx(uint32_t) {
    if (rx.empty()) return 0;
    const uint8_t b = rx.front();
    rx.erase(rx.begin());
    return b;
}
void FlushRx(uint32_t) { rx.clear(); }
uint32_t PutTx(uint32_t, uint8_t b) {
    tx.push_back(b);
    return b;
}
uint32_t PutnTx(uint32_t, const uint8_t *d, uint32_t n) {
    tx.insert(tx.end(), d, d + n);
    return n;
}
}  // namespace fake_port

TEST_F(CmdFrame, AnotherTransportPlugsInAsAPortThroughTheDriverTable) {
    VcommDrv drv{};
    drv.ModeRec = fake_port::ModeRec;
    drv.Open = fake_port::Open;
    drv.CheckRx = fake_port::CheckRx;
    drv.GetRx = fake_port::GetRx;
    drv.FlushRx = fake_port::FlushRx;
    drv.PutTx = fake_port::PutTx;
    drv.PutnTx = fake_port::PutnTx;
    EXPECT_EQ(Vcomm_Install(ProgrammingPort, drv), 0u);  // the serial port keeps its record
    EXPECT_EQ(Vcomm_Install(VCOMM_PORTS, drv), 0u);
    EXPECT_EQ(Vcomm_Install(CellularPort, drv), 0u);  // so does the cellular line
    ASSERT_EQ(Vcomm_Install(3, drv), 1u);
    Cmd_HostPort[1] = 3;
    fake_port::mode = qncan_mode;
    fake_port::rx.clear();
    fake_port::tx.clear();
    fake_port::opens.clear();

    // A frame from host 1 is answered on its own port, nothing on the serial one.
    const Bytes id = Frame(0x09, {0x7F});
    fake_port::rx.assign(id.begin(), id.end());
    for (int i = 0; i < 3; i++) Cmd_Check();
    EXPECT_EQ(fake_port::tx, (std::vector<uint8_t>{0xFF, 0x01, 0x7F, 0x81}));
    EXPECT_EQ(Drain(), Bytes{});
    EXPECT_EQ(CmdHost, 1u);

    // Port settings of host 1 go to its record through Open, never to the serial port's.
    fake_port::mode[0] = 7;
    fake_port::tx.clear();
    const Bytes get = Frame(0x1A, {0x7F});
    fake_port::rx.assign(get.begin(), get.end());
    for (int i = 0; i < 3; i++) Cmd_Check();
    EXPECT_EQ(fake_port::tx, Frame(0xFF, {7}));
    fake_port::tx.clear();
    const Bytes set = Frame(0x1B, {0x7F, 8});
    fake_port::rx.assign(set.begin(), set.end());
    for (int i = 0; i < 3; i++) Cmd_Check();
    EXPECT_EQ(fake_port::tx, (std::vector<uint8_t>{0xA0}));
    ASSERT_EQ(fake_port::opens.size(), 1u);
    EXPECT_EQ(fake_port::opens[0], (VcommMode{8, 0, 3, 0, 0, 1}));
    EXPECT_EQ(Vcomm_ModeRec(ProgrammingPort)[0], 5);

    // A port whose record names another protocol carries no command bytes.
    fake_port::mode[5] = VCOMM_PROTO_RTU;
    fake_port::tx.clear();
    fake_port::rx.assign(id.begin(), id.end());
    Advance(6000);
    for (int i = 0; i < 3; i++) Cmd_Check();
    EXPECT_EQ(fake_port::tx, std::vector<uint8_t>{});

    Cmd_HostPort[1] = VCOMM_NO_PORT;
    Vcomm_Drv[3] = VcommDrv{};
}

TEST_F(CmdFrame, HandOverToTheRuntimeSwitchesTheProtocolInThePortsModeRecord) {
    EXPECT_EQ(Exchange(Frame(0x26, {0x7F})), (Bytes{0xA0}));
    EXPECT_EQ(Vcomm_Protocol(ProgrammingPort), 6);
    EXPECT_EQ(is_z7protocol, 1);
    // The runtime hands the port back as it does: protocol 1 in the record, then Open.
    uint8_t *rec = Vcomm_Drv[ProgrammingPort].ModeRec(ProgrammingPort);
    rec[5] = uint8_t((rec[5] & ~0x0E) | 0x01);
    Cmd_PortInit(1);
    EXPECT_EQ(Vcomm_Protocol(ProgrammingPort), VCOMM_PROTO_CMD);
    is_z7protocol = 0;
}

// Bytes the node's CAN channel would carry: the block after the own id, the
// channel then emptied for the next step (the node named stays).
Bytes ToNodeBytes() {
    Bytes out(co_blk.tx.begin() + 1, co_blk.tx.begin() + co_blk.tx_cnt);
    out.insert(out.end(), co_blk.next.begin(), co_blk.next.begin() + co_blk.next_cnt);
    co_blk.tx_state = 0;
    co_blk.tx_cnt = 1;
    co_blk.next_cnt = 0;
    return out;
}
// Bytes the forwarded node answers, into the CAN host queue.
void FromNode(const Bytes &in) {
    for (uint8_t b : in) {
        QnCAN_HostQue.buf[QnCAN_HostQue.in] = b;
        QnCAN_HostQue.in = uint16_t((QnCAN_HostQue.in + 1) & 0xFF);
    }
}
Bytes Passes(int n) {
    for (int i = 0; i < n; i++) Cmd_Check();
    Bytes out;
    test_support::DrainTx(&out);
    return out;
}

// A frame for node 9 goes on over CAN, and every later frame and answer byte
// of the same command between the host and node 9, by the command's reply
// kind: one answer byte (register write), an answer frame (mode), data frames
// from the host (verify), data frames from the node (upload).
TEST_F(CmdFrame, FramesForAnotherIdAreForwardedByTheirReplyKind) {
    co_blk = CoBlock{};
    co_blk.tx_cnt = 1;
    QnCAN_HostQue.in = QnCAN_HostQue.out = 0;
    const Bytes wr = Frame(0x18, {9, 16, 0x00, 0x80, 0x11, 0x22});
    EXPECT_EQ(Exchange(wr), Bytes{});
    EXPECT_EQ(Vcomm_Mode, 1u);
    EXPECT_EQ(Vcomm_ConnectId, 9u);
    EXPECT_EQ(co_blk.tx_cob, 0x609u);
    EXPECT_EQ(ToNodeBytes(), wr);
    EXPECT_EQ(LE_Get16(&plc_reg[(32768 - 1024) / 8]), 0) << "not written here";
    FromNode({0xA0});
    EXPECT_EQ(Passes(2), Bytes{0xA0});
    EXPECT_EQ(CmdRun, CMD_IDLE);

    // Answer frame: the node's frame reaches the host, and so does a single byte.
    const Bytes gm = Frame(0x01, {9});
    EXPECT_EQ(Exchange(gm), Bytes{});
    EXPECT_EQ(ToNodeBytes(), gm);
    FromNode(Frame(0xFF, {2}));
    EXPECT_EQ(Passes(2), Frame(0xFF, {2}));
    EXPECT_EQ(CmdRun, CMD_IDLE);
    EXPECT_EQ(Exchange(gm), Bytes{});
    EXPECT_EQ(ToNodeBytes(), gm);
    FromNode({0x09});
    EXPECT_EQ(Passes(2), Bytes{0x09});
    EXPECT_EQ(CmdRun, CMD_IDLE);

    // Host data frames: command, answer, data frame, answer, empty frame, answer.
    const Bytes vf = Frame(0x03, {9, 23, 0, 0, 0, 0, 4, 0, 0, 0});
    EXPECT_EQ(Exchange(vf), Bytes{});
    EXPECT_EQ(ToNodeBytes(), vf);
    FromNode({0xA0});
    EXPECT_EQ(Passes(2), Bytes{0xA0});
    const Bytes d1 = Frame(0xFF, {1, 2, 3, 4});
    EXPECT_EQ(Exchange(d1), Bytes{});
    EXPECT_EQ(ToNodeBytes(), d1) << "to node 9, which the data frame does not name";
    FromNode({0xA0});
    EXPECT_EQ(Passes(2), Bytes{0xA0});
    EXPECT_EQ(Exchange(Frame(0xFF, {})), Bytes{});
    EXPECT_EQ(ToNodeBytes(), Frame(0xFF, {}));
    FromNode({0xA0});
    EXPECT_EQ(Passes(2), Bytes{0xA0});
    EXPECT_EQ(CmdRun, CMD_IDLE);

    // The node asks for the command frame again (0x0F): the host's repeated
    // frame goes on to the node as a new command, not taken for a data frame.
    EXPECT_EQ(Exchange(vf), Bytes{});
    EXPECT_EQ(ToNodeBytes(), vf);
    FromNode({0x0F});
    EXPECT_EQ(Passes(2), Bytes{0x0F});
    EXPECT_EQ(Exchange(vf), Bytes{});
    EXPECT_EQ(ToNodeBytes(), vf) << "the repeated command frame reaches the node";
    FromNode({0x09});
    EXPECT_EQ(Passes(2), Bytes{0x09});
    EXPECT_EQ(CmdRun, CMD_IDLE);

    // Node data frames: the host's answer bytes go back to node 9.
    const Bytes up = Frame(0x05, {9, 23});
    EXPECT_EQ(Exchange(up), Bytes{});
    EXPECT_EQ(ToNodeBytes(), up);
    FromNode({0xA0});
    EXPECT_EQ(Passes(2), Bytes{0xA0});
    FromNode(Frame(0xFF, {0xAA, 0xBB}));
    EXPECT_EQ(Passes(2), Frame(0xFF, {0xAA, 0xBB}));
    EXPECT_EQ(Exchange({0xA0}), Bytes{});
    EXPECT_EQ(ToNodeBytes(), Bytes{0xA0});
    EXPECT_EQ(co_blk.tx_cob, 0x609u);
    FromNode(Frame(0xFF, {}));
    EXPECT_EQ(Passes(2), Frame(0xFF, {}));
    EXPECT_EQ(Exchange({0xA0}), Bytes{});
    EXPECT_EQ(ToNodeBytes(), Bytes{0xA0});
    EXPECT_EQ(CmdRun, CMD_IDLE);

    // Long frames negotiated: the command frame goes on in the long form and
    // still reaches node 9 (its id after the three length bytes); the node's
    // answer frame reaches the host in the long form too.
    EXPECT_EQ(Exchange(Frame(0x23, {0x7F, 0x80, 0x00})), Bytes{0xA0});
    co_blk = CoBlock{};
    co_blk.tx_cnt = 1;
    const Bytes gl = Frame(0x01, {9}, 0, true);
    EXPECT_EQ(Exchange(gl), Bytes{});
    EXPECT_EQ(co_blk.tx_cob, 0x609u);
    EXPECT_EQ(ToNodeBytes(), gl);
    FromNode(Frame(0xFF, {2}, 0, true));
    EXPECT_EQ(Passes(2), Frame(0xFF, {2}, 0, true));
    NegotiationFlag = 0;
    CmdDataMax = 64;

    // Forwarding forbidden (word 131 bit 4): the frame goes nowhere, no answer.
    PlcWordSet(W_FAULT, 0x10);
    EXPECT_EQ(Exchange(wr), Bytes{});
    EXPECT_EQ(ToNodeBytes(), Bytes{});
    EXPECT_EQ(CmdRun, CMD_IDLE);
    PlcWordSet(W_FAULT, 0);
    co_blk = CoBlock{};
    Vcomm_Lock = 0;
    Vcomm_Mode = 0;
}

// The last (empty) data frame of a forwarded command answered 0x0F, by the
// node (verify: the host sends data) or by the host (upload: the node sends
// data): the sender repeats it, and the repeat still goes to the other side
// before the command ends.
TEST_F(CmdFrame, AForwardedLastDataFrameIsRepeatedAfterAChecksumError) {
    co_blk = CoBlock{};
    co_blk.tx_cnt = 1;
    QnCAN_HostQue.in = QnCAN_HostQue.out = 0;
    const Bytes vf = Frame(0x03, {9, 23, 0, 0, 0, 0, 4, 0, 0, 0});
    EXPECT_EQ(Exchange(vf), Bytes{});
    EXPECT_EQ(ToNodeBytes(), vf);
    FromNode({0xA0});
    EXPECT_EQ(Passes(2), Bytes{0xA0});
    const Bytes last = Frame(0xFF, {});
    EXPECT_EQ(Exchange(last), Bytes{});
    EXPECT_EQ(ToNodeBytes(), last);
    FromNode({0x0F});
    EXPECT_EQ(Passes(2), Bytes{0x0F});
    EXPECT_EQ(Exchange(last), Bytes{}) << "the repeat is not refused as a command";
    EXPECT_EQ(ToNodeBytes(), last);
    FromNode({0xA0});
    EXPECT_EQ(Passes(2), Bytes{0xA0});
    EXPECT_EQ(CmdRun, CMD_IDLE);

    const Bytes up = Frame(0x05, {9, 23});
    EXPECT_EQ(Exchange(up), Bytes{});
    EXPECT_EQ(ToNodeBytes(), up);
    FromNode({0xA0});
    EXPECT_EQ(Passes(2), Bytes{0xA0});
    FromNode(last);
    EXPECT_EQ(Passes(2), last);
    EXPECT_EQ(Exchange({0x0F}), Bytes{});
    EXPECT_EQ(ToNodeBytes(), Bytes{0x0F});
    FromNode(last);
    EXPECT_EQ(Passes(2), last) << "the node's repeat reaches the host";
    EXPECT_EQ(Exchange({0xA0}), Bytes{});
    EXPECT_EQ(ToNodeBytes(), Bytes{0xA0});
    EXPECT_EQ(CmdRun, CMD_IDLE);
    co_blk = CoBlock{};
    Vcomm_Lock = 0;
    Vcomm_Mode = 0;
}
