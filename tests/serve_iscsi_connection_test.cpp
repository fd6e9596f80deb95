// One iSCSI connection of the target, driven PDU by PDU against a recording
// backend: the login, the data moved for reads and writes (segmenting,
// R2T, immediate and unsolicited data), the status and sense, and what is
// refused or dropped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tools/serve/iscsi_connection.h"

using serve::IscsiConnection;
using serve::ScsiOutcome;
using serve::TargetBackend;
using serve::TaskFunction;
using serve::iscsi::encodePdu;
using serve::iscsi::encodeTextKeys;
using serve::iscsi::Opcode;
using serve::iscsi::parseTextKeys;
using serve::iscsi::Pdu;
using serve::iscsi::PduReader;
using serve::iscsi::TextKey;

namespace {

const char* const kTarget = "iqn.2026-12.sim.nimb:disk";

struct Recorder {
    struct Call {
        std::vector<uint8_t> cdb;
        std::vector<uint8_t> dataOut;
        uint32_t expectedIn;
    };
    std::vector<Call> calls;
    std::vector<TaskFunction> functions;
    ScsiOutcome next;  // what the next command answers (data-in filled to the expectation)
    bool fillData = true;
};

struct Rig {
    Recorder rec;
    TargetBackend backend;
    IscsiConnection conn{backend};
    uint32_t cmdSn = 1;
    uint32_t itt = 0x100;

    Rig()
    {
        backend.targetName = kTarget;
        backend.targetAddress = "127.0.0.1:3260,1";
        backend.execute = [this](const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& out,
                                 uint32_t expectedIn) {
            rec.calls.push_back({cdb, out, expectedIn});
            ScsiOutcome o = rec.next;
            if (rec.fillData && o.status == serve::kStatusGood) {
                o.dataIn.resize(std::min<uint32_t>(expectedIn, 1u << 20));
                for (uint32_t i = 0; i < o.dataIn.size(); ++i) o.dataIn[i] = static_cast<uint8_t>(i * 7);
            }
            return o;
        };
        backend.taskManagement = [this](TaskFunction f) {
            rec.functions.push_back(f);
            return true;
        };
        backend.newSession = [] { return uint16_t(7); };
        backend.limits.initialR2T = false;  // unsolicited data allowed
    }

    std::vector<Pdu> exchange(const Pdu& pdu)
    {
        std::vector<uint8_t> bytes = encodePdu(pdu, false, false);
        conn.receive(bytes.data(), bytes.size());
        return replies();
    }

    std::vector<Pdu> replies()
    {
        std::vector<uint8_t> out = conn.takeOutput();
        PduReader reader;
        reader.setMaxDataSegment(1u << 24);
        reader.feed(out.data(), out.size());
        std::vector<Pdu> pdus;
        Pdu p;
        std::string error;
        while (reader.next(p, error) == PduReader::Status::Ready) pdus.push_back(p);
        EXPECT_EQ(reader.pending(), 0u);
        return pdus;
    }

    static Pdu login(uint8_t csg, uint8_t nsg, bool transit, const std::vector<TextKey>& keys)
    {
        Pdu p;
        p.setOpcode(Opcode::LoginRequest);
        p.bhs[0] |= 0x40;
        p.bhs[1] = static_cast<uint8_t>((transit ? 0x80 : 0) | (csg << 2) | nsg);
        p.bhs[8] = 0x80;
        p.bhs[13] = 1;
        p.set32(16, 1);
        p.set32(24, 1);
        p.data = encodeTextKeys(keys);
        return p;
    }

    // A normal session in full feature phase with these operational keys.
    void logIn(std::vector<TextKey> operational)
    {
        auto r = exchange(login(0, 1, true,
                                {{"InitiatorName", "iqn.2026-12.test:init"},
                                 {"TargetName", kTarget},
                                 {"SessionType", "Normal"},
                                 {"AuthMethod", "None"}}));
        ASSERT_EQ(r.size(), 1u);
        ASSERT_EQ(r[0].bhs[36], 0) << "status class";
        r = exchange(login(1, 3, true, operational));
        ASSERT_EQ(r.size(), 1u);
        ASSERT_EQ(r[0].bhs[36], 0);
        ASSERT_TRUE(conn.fullFeature());
    }

    Pdu command(const std::vector<uint8_t>& cdb, bool read, bool write, uint32_t expected,
                std::vector<uint8_t> immediate = {}, bool final = true)
    {
        Pdu p;
        p.setOpcode(Opcode::ScsiCommand);
        p.bhs[1] = static_cast<uint8_t>((final ? 0x80 : 0) | (read ? 0x40 : 0) | (write ? 0x20 : 0) | 1);
        p.set32(16, ++itt);
        p.set32(20, expected);
        p.set32(24, cmdSn++);
        std::memcpy(&p.bhs[32], cdb.data(), cdb.size());
        p.data = std::move(immediate);
        return p;
    }

    Pdu dataOut(uint32_t taskTag, uint32_t ttt, uint32_t offset, const std::vector<uint8_t>& data,
                uint32_t dataSn, bool final)
    {
        Pdu p;
        p.setOpcode(Opcode::DataOut);
        p.bhs[1] = final ? 0x80 : 0;
        p.set32(16, taskTag);
        p.set32(20, ttt);
        p.set32(36, dataSn);
        p.set32(40, offset);
        p.data = data;
        return p;
    }
};

std::string keyValue(const Pdu& pdu, const std::string& key)
{
    std::vector<TextKey> keys;
    std::string error;
    if (!parseTextKeys(pdu.data, keys, error)) return "<" + error + ">";
    for (const TextKey& k : keys)
        if (k.key == key) return k.value;
    return "<absent>";
}

const std::vector<uint8_t> kRead10Of20Blocks = {0x28, 0, 0, 0, 0, 0, 0, 0, 20, 0};

}  // namespace

TEST(IscsiLogin, TwoStagesReachFullFeatureWithTheTargetsDeclarations)
{
    Rig rig;
    auto r = rig.exchange(Rig::login(0, 1, true,
                                     {{"InitiatorName", "iqn.2026-12.test:init"},
                                      {"TargetName", kTarget},
                                      {"AuthMethod", "None"}}));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::LoginResponse);
    EXPECT_EQ(r[0].bhs[1], 0x80 | (0 << 2) | 1);  // T, CSG 0, NSG 1
    EXPECT_EQ(r[0].get32(16), 1u);                 // ITT echoed
    EXPECT_EQ(r[0].bhs[36], 0);
    EXPECT_EQ(keyValue(r[0], "TargetPortalGroupTag"), "1");
    EXPECT_EQ(r[0].get16(14), 0u) << "TSIH only in the final response";
    EXPECT_FALSE(rig.conn.fullFeature());

    r = rig.exchange(Rig::login(1, 3, true, {{"MaxRecvDataSegmentLength", "4096"}}));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bhs[1], 0x80 | (1 << 2) | 3);
    EXPECT_EQ(r[0].get16(14), 7u);
    EXPECT_EQ(keyValue(r[0], "MaxRecvDataSegmentLength"), "262144");
    EXPECT_TRUE(rig.conn.fullFeature());
    EXPECT_EQ(rig.conn.parameters().initiatorMaxRecvDataSegmentLength, 4096u);
}

TEST(IscsiLogin, RefusalsCarryTheirStatusAndCloseTheConnection)
{
    struct Case {
        std::vector<TextKey> keys;
        uint8_t detail;
    } cases[] = {
        {{{"InitiatorName", "iqn.x:y"}, {"TargetName", "iqn.2026-12.other:disk"}}, 0x03},
        {{{"InitiatorName", "iqn.x:y"}}, 0x07},
        {{{"TargetName", kTarget}}, 0x07},
    };
    for (const Case& c : cases) {
        Rig rig;
        auto r = rig.exchange(Rig::login(0, 1, true, c.keys));
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].bhs[36], 0x02);
        EXPECT_EQ(r[0].bhs[37], c.detail);
        EXPECT_TRUE(rig.conn.closing());
    }
    // Anything but a login first closes the connection unanswered.
    Rig rig;
    auto r = rig.exchange(rig.command(kRead10Of20Blocks, true, false, 10240));
    EXPECT_TRUE(r.empty());
    EXPECT_TRUE(rig.conn.closing());
    EXPECT_TRUE(rig.rec.calls.empty());
}

TEST(IscsiCommands, ReadDataComesInSegmentsOfTheInitiatorsSizeWithTheStatusInTheLast)
{
    Rig rig;
    rig.logIn({{"MaxRecvDataSegmentLength", "4096"}});
    auto r = rig.exchange(rig.command(kRead10Of20Blocks, true, false, 10240));
    ASSERT_EQ(rig.rec.calls.size(), 1u);
    EXPECT_EQ(rig.rec.calls[0].expectedIn, 10240u);
    ASSERT_EQ(r.size(), 3u);
    const uint32_t sizes[] = {4096, 4096, 2048};
    uint32_t offset = 0;
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(r[i].opcode(), Opcode::DataIn);
        EXPECT_EQ(r[i].data.size(), sizes[i]);
        EXPECT_EQ(r[i].get32(36), i) << "DataSN";
        EXPECT_EQ(r[i].get32(40), offset) << "buffer offset";
        EXPECT_EQ(r[i].itt(), rig.itt);
        for (uint32_t j = 0; j < sizes[i]; ++j)
            ASSERT_EQ(r[i].data[j], static_cast<uint8_t>((offset + j) * 7));
        offset += sizes[i];
    }
    EXPECT_EQ(r[2].bhs[1] & 0x81, 0x81) << "F and S on the last";
    EXPECT_EQ(r[0].bhs[1] & 0x01, 0) << "no status before the last";
    EXPECT_EQ(r[2].bhs[3], 0);
}

TEST(IscsiCommands, CheckConditionComesWithItsSenseInTheResponse)
{
    Rig rig;
    rig.logIn({});
    rig.rec.next.status = serve::kStatusCheckCondition;
    rig.rec.next.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0x00, 0, 0, 0, 0};
    auto r = rig.exchange(rig.command(kRead10Of20Blocks, true, false, 10240));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::ScsiResponse);
    EXPECT_EQ(r[0].bhs[3], 0x02);
    ASSERT_EQ(r[0].data.size(), 20u);
    EXPECT_EQ(r[0].data[0], 0);
    EXPECT_EQ(r[0].data[1], 18);
    EXPECT_EQ(r[0].data[2 + 2], 0x05);
    EXPECT_EQ(r[0].data[2 + 12], 0x21);
    EXPECT_EQ(r[0].bhs[1] & 0x02, 0x02) << "underflow: nothing moved";
    EXPECT_EQ(r[0].get32(44), 10240u);
}

TEST(IscsiCommands, AWriteGathersImmediateUnsolicitedAndSolicitedData)
{
    Rig rig;
    rig.logIn({{"ImmediateData", "Yes"},
               {"InitialR2T", "No"},
               {"FirstBurstLength", "8192"},
               {"MaxBurstLength", "16384"}});
    ASSERT_FALSE(rig.conn.parameters().initialR2T);
    std::vector<uint8_t> data(40000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
    auto part = [&](size_t from, size_t n) {
        return std::vector<uint8_t>(data.begin() + from, data.begin() + from + n);
    };
    const std::vector<uint8_t> write10 = {0x2A, 0, 0, 0, 0, 9, 0, 0, 79, 0};  // 79 blocks = 40448
    auto r = rig.exchange(rig.command(write10, false, true, 40000, part(0, 4096), false));
    EXPECT_TRUE(r.empty()) << "waits for the unsolicited data";
    const uint32_t task = rig.itt;
    r = rig.exchange(rig.dataOut(task, 0xFFFFFFFF, 4096, part(4096, 4096), 0, true));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::ReadyToTransfer);
    EXPECT_EQ(r[0].get32(40), 8192u);
    EXPECT_EQ(r[0].get32(44), 16384u);
    EXPECT_EQ(r[0].get32(36), 0u) << "R2TSN";
    uint32_t ttt = r[0].get32(20);
    r = rig.exchange(rig.dataOut(task, ttt, 8192, part(8192, 8192), 0, false));
    EXPECT_TRUE(r.empty());
    r = rig.exchange(rig.dataOut(task, ttt, 16384, part(16384, 8192), 1, true));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::ReadyToTransfer);
    EXPECT_EQ(r[0].get32(40), 24576u);
    EXPECT_EQ(r[0].get32(44), 40000u - 24576u);
    EXPECT_EQ(r[0].get32(36), 1u);
    EXPECT_TRUE(rig.rec.calls.empty()) << "nothing reaches the disk before all data is in";
    r = rig.exchange(rig.dataOut(task, r[0].get32(20), 24576, part(24576, 40000 - 24576), 0, true));
    ASSERT_EQ(rig.rec.calls.size(), 1u);
    EXPECT_EQ(rig.rec.calls[0].dataOut, data);
    EXPECT_EQ(rig.rec.calls[0].cdb, write10);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::ScsiResponse);
    EXPECT_EQ(r[0].bhs[3], 0);
    // The CDB asked for 40448 bytes, the initiator sent 40000.
    EXPECT_EQ(r[0].bhs[1] & 0x06, 0x04) << "overflow";
    EXPECT_EQ(r[0].get32(44), 448u);
}

TEST(IscsiCommands, DataForNoTaskAndDataOutsideTheBurstAreRejected)
{
    Rig rig;
    rig.logIn({});
    auto r = rig.exchange(rig.dataOut(0x999, 5, 0, std::vector<uint8_t>(512), 0, true));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::Reject);
    EXPECT_EQ(r[0].bhs[2], 0x09);
    ASSERT_EQ(r[0].data.size(), 48u);
    EXPECT_EQ(r[0].data[0] & 0x3F, 0x05) << "the rejected header comes back";

    const std::vector<uint8_t> write10 = {0x2A, 0, 0, 0, 0, 0, 0, 0, 2, 0};
    r = rig.exchange(rig.command(write10, false, true, 1024));
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].opcode(), Opcode::ReadyToTransfer);
    const uint32_t ttt = r[0].get32(20);
    r = rig.exchange(rig.dataOut(rig.itt, ttt, 1024, std::vector<uint8_t>(512), 0, true));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::Reject);
    EXPECT_TRUE(rig.rec.calls.empty());
}

TEST(IscsiCommands, DataOutOfSequenceEndsTheWriteWithoutWritingAnything)
{
    Rig rig;
    rig.logIn({});
    const std::vector<uint8_t> write10 = {0x2A, 0, 0, 0, 0, 0, 0, 0, 4, 0};
    auto r = rig.exchange(rig.command(write10, false, true, 2048));
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].opcode(), Opcode::ReadyToTransfer);
    const uint32_t ttt = r[0].get32(20);
    r = rig.exchange(rig.dataOut(rig.itt, ttt, 0, std::vector<uint8_t>(1024, 1), 0, false));
    EXPECT_TRUE(r.empty());
    // DataSN 2 where 1 is due.
    r = rig.exchange(rig.dataOut(rig.itt, ttt, 1024, std::vector<uint8_t>(1024, 2), 2, true));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].opcode(), Opcode::Reject);
    EXPECT_EQ(r[0].bhs[2], 0x04);
    EXPECT_EQ(r[1].opcode(), Opcode::ScsiResponse);
    EXPECT_EQ(r[1].itt(), rig.itt);
    EXPECT_EQ(r[1].bhs[3], 0x02);
    ASSERT_GE(r[1].data.size(), 2u + 14);
    EXPECT_EQ(r[1].data[2 + 2], 0x0B);
    EXPECT_TRUE(rig.rec.calls.empty());
}

TEST(IscsiCommands, CommandsOutsideTheWindowAreDroppedUnanswered)
{
    Rig rig;
    rig.logIn({});
    const std::vector<uint8_t> tur(6, 0);
    rig.cmdSn += 100;
    auto r = rig.exchange(rig.command(tur, false, false, 0));
    EXPECT_TRUE(r.empty());
    rig.cmdSn -= 101;  // the one the target expects
    r = rig.exchange(rig.command(tur, false, false, 0));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::ScsiResponse);
    rig.cmdSn -= 1;  // seen already
    r = rig.exchange(rig.command(tur, false, false, 0));
    EXPECT_TRUE(r.empty());
    EXPECT_EQ(rig.rec.calls.size(), 1u);
}

TEST(IscsiSession, NopTextTaskManagementAndLogout)
{
    Rig rig;
    rig.logIn({});
    Pdu nop;
    nop.setOpcode(Opcode::NopOut);
    nop.bhs[0] |= 0x40;
    nop.bhs[1] = 0x80;
    nop.set32(16, 0x55);
    nop.set32(20, 0xFFFFFFFF);
    nop.set32(24, rig.cmdSn);
    nop.data = {1, 2, 3, 4, 5};
    auto r = rig.exchange(nop);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::NopIn);
    EXPECT_EQ(r[0].itt(), 0x55u);
    EXPECT_EQ(r[0].data, nop.data);

    Pdu text;
    text.setOpcode(Opcode::TextRequest);
    text.bhs[1] = 0x80;
    text.set32(16, 0x56);
    text.set32(20, 0xFFFFFFFF);
    text.set32(24, rig.cmdSn++);
    text.data = encodeTextKeys({{"SendTargets", "All"}});
    r = rig.exchange(text);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(keyValue(r[0], "TargetName"), kTarget);
    EXPECT_EQ(keyValue(r[0], "TargetAddress"), "127.0.0.1:3260,1");

    // A write waiting for data, then aborted: it never reaches the disk.
    const std::vector<uint8_t> write10 = {0x2A, 0, 0, 0, 0, 0, 0, 0, 2, 0};
    r = rig.exchange(rig.command(write10, false, true, 1024));
    ASSERT_EQ(r.size(), 1u);
    Pdu tmf;
    tmf.setOpcode(Opcode::TaskManagementRequest);
    tmf.bhs[0] |= 0x40;
    tmf.bhs[1] = 0x80 | 1;  // ABORT TASK
    tmf.set32(16, 0x57);
    tmf.set32(20, rig.itt);
    tmf.set32(24, rig.cmdSn);
    tmf.set32(32, rig.cmdSn - 1);
    r = rig.exchange(tmf);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::TaskManagementResponse);
    EXPECT_EQ(r[0].bhs[2], 0);
    r = rig.exchange(rig.dataOut(rig.itt, 1, 0, std::vector<uint8_t>(1024), 0, true));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::Reject);
    EXPECT_TRUE(rig.rec.calls.empty());

    tmf.bhs[1] = 0x80 | 5;  // LUN RESET
    r = rig.exchange(tmf);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bhs[2], 0);
    ASSERT_EQ(rig.rec.functions.size(), 1u);
    EXPECT_EQ(rig.rec.functions[0], TaskFunction::LunReset);

    Pdu logout;
    logout.setOpcode(Opcode::LogoutRequest);
    logout.bhs[0] |= 0x40;
    logout.bhs[1] = 0x80;
    logout.set32(16, 0x58);
    logout.set32(24, rig.cmdSn);
    r = rig.exchange(logout);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::LogoutResponse);
    EXPECT_EQ(r[0].bhs[2], 0);
    EXPECT_TRUE(rig.conn.closing());
}

TEST(IscsiSession, ASegmentOverTheDeclaredLimitClosesTheConnection)
{
    Rig rig;
    rig.logIn({});
    const std::vector<uint8_t> write10 = {0x2A, 0, 0, 0, 0, 0, 0, 0, 255, 0};
    Pdu p = rig.command(write10, false, true, 255 * 512);
    p.data.assign(262144 + 512, 0xEE);
    auto bytes = encodePdu(p, false, false);
    rig.conn.receive(bytes.data(), bytes.size());
    EXPECT_TRUE(rig.conn.closing());
    EXPECT_TRUE(rig.rec.calls.empty());
}

TEST(IscsiSession, DiscoverySessionsServeSendTargetsOnly)
{
    Rig rig;
    auto r = rig.exchange(Rig::login(0, 3, true,
                                     {{"InitiatorName", "iqn.x:y"}, {"SessionType", "Discovery"}}));
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].bhs[36], 0);
    ASSERT_TRUE(rig.conn.fullFeature());
    r = rig.exchange(rig.command(std::vector<uint8_t>(6, 0), false, false, 0));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].opcode(), Opcode::Reject);
    EXPECT_TRUE(rig.rec.calls.empty());
}

TEST(IscsiSession, RandomPduStreamsAfterLoginNeverBreakTheTarget)
{
    // Well-framed PDUs with random opcodes, flags, tags, sequence numbers,
    // offsets and data, and random bytes now and then: the connection
    // answers or closes, never runs past its buffers (the sanitizer build
    // checks that), and hands the disk nothing that a WRITE did not bring.
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    size_t fed = 0, calls = 0;
    for (int round = 0; round < 200; ++round) {
        Rig rig;
        rig.logIn({{"ImmediateData", "Yes"}, {"InitialR2T", "No"}, {"MaxBurstLength", "4096"},
                   {"FirstBurstLength", "2048"}});
        for (int i = 0; i < 60 && !rig.conn.closing(); ++i) {
            if (next() % 60 == 0) {
                std::vector<uint8_t> noise(next() % 100);
                for (uint8_t& b : noise) b = static_cast<uint8_t>(next());
                rig.conn.receive(noise.data(), noise.size());
                rig.conn.takeOutput();
                continue;
            }
            Pdu p;
            for (uint8_t& b : p.bhs) b = static_cast<uint8_t>(next());
            // Mostly commands and their data, now and then anything else.
            static const uint8_t kOps[] = {0x01, 0x01, 0x01, 0x01, 0x05, 0x05, 0x05, 0x05,
                                           0x00, 0x02, 0x03, 0x04, 0x10, 0x1F, 0x3F, 0x06};
            p.bhs[0] = static_cast<uint8_t>((p.bhs[0] & 0x40) | kOps[next() % (i < 50 ? 15 : 16)]);
            if ((p.bhs[0] & 0x3F) == 0x01) {
                static const uint8_t kCdbs[] = {0x28, 0x2A, 0x08, 0x0A, 0x00, 0x12, 0xA0, 0x9E};
                p.bhs[32] = kCdbs[next() % 8];
            }
            if (next() % 8) p.set32(24, rig.cmdSn++);  // mostly within the window
            if (next() % 10) p.set64(8, 0);             // mostly LUN 0
            if (next() % 2) p.set32(16, rig.itt);      // often a task that exists
            if (next() % 10 != 0) p.set32(20, next() % 8192);  // else anything, up to 4 GiB
            p.data.resize(next() % 3000);
            for (uint8_t& b : p.data) b = static_cast<uint8_t>(next());
            std::vector<uint8_t> bytes = encodePdu(p, false, false);
            rig.conn.receive(bytes.data(), bytes.size());
            rig.replies();
        }
        fed += rig.cmdSn;
        calls += rig.rec.calls.size();
        for (const auto& call : rig.rec.calls) {
            EXPECT_LE(call.dataOut.size(), 64u * 1024 * 1024);
            EXPECT_LE(call.expectedIn, 64u * 1024 * 1024) << "a buffer sized by the initiator's word";
        }
    }
    EXPECT_GT(calls, 500u) << "the streams reached the disk too rarely to test anything";
    EXPECT_GT(fed, 5000u);
}
