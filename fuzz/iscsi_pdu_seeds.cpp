// Writes the seeds of iscsi_pdu_fuzz: the PDUs an initiator sends first, with
// and without digests, in the fuzz target's input format (a settings byte,
// a cut byte, then the stream). Run once from the top of the tree:
//
//   c++ -std=c++17 -I. fuzz/iscsi_pdu_seeds.cpp tools/serve/iscsi_pdu.cpp
//       tools/serve/iscsi_text.cpp -o /tmp/iscsi_seeds
//   /tmp/iscsi_seeds fuzz/corpus/iscsi_pdu_fuzz
#include <cstdio>
#include <string>
#include <vector>

#include "tools/serve/iscsi_pdu.h"
#include "tools/serve/iscsi_text.h"

using namespace serve::iscsi;

namespace {

Pdu login(uint8_t stageFlags, const std::vector<TextKey>& keys)
{
    Pdu pdu;
    pdu.setOpcode(Opcode::LoginRequest);
    pdu.bhs[0] |= 0x40;  // immediate
    pdu.bhs[1] = stageFlags;
    pdu.bhs[8] = 0x00;  // ISID: random qualifier form
    pdu.bhs[9] = 0x02;
    pdu.bhs[10] = 0x3D;
    pdu.bhs[11] = 0x00;
    pdu.set32(16, 1);
    pdu.set32(24, 0);  // CmdSN
    pdu.data = encodeTextKeys(keys);
    return pdu;
}

Pdu write10(uint32_t itt, uint32_t blocks, size_t immediate)
{
    Pdu pdu;
    pdu.setOpcode(Opcode::ScsiCommand);
    pdu.bhs[1] = 0xA1;  // Final, Write, simple task
    pdu.set32(16, itt);
    pdu.set32(20, blocks * 512);
    pdu.set32(24, itt);  // CmdSN
    pdu.bhs[32] = 0x2A;
    pdu.bhs[37] = 0x10;  // LBA 16
    pdu.bhs[40] = uint8_t(blocks);
    for (size_t i = 0; i < immediate; ++i) pdu.data.push_back(uint8_t(i * 13));
    return pdu;
}

Pdu dataOut(uint32_t itt, uint32_t offset, size_t length)
{
    Pdu pdu;
    pdu.setOpcode(Opcode::DataOut);
    pdu.bhs[1] = 0x80;
    pdu.set32(16, itt);
    pdu.set32(20, 0x00000005);  // Target Transfer Tag
    pdu.set32(36, 0);           // DataSN
    pdu.set32(40, offset);
    for (size_t i = 0; i < length; ++i) pdu.data.push_back(uint8_t(0xC0 ^ i));
    return pdu;
}

Pdu nopOut(uint32_t itt, size_t ping)
{
    Pdu pdu;
    pdu.setOpcode(Opcode::NopOut);
    pdu.bhs[0] |= 0x40;
    pdu.bhs[1] = 0x80;
    pdu.set32(16, itt);
    pdu.set32(20, 0xFFFFFFFF);
    for (size_t i = 0; i < ping; ++i) pdu.data.push_back(uint8_t('a' + i));
    return pdu;
}

void write(const std::string& dir, const std::string& name, uint8_t settings, uint8_t cut,
           const std::vector<Pdu>& pdus)
{
    std::vector<uint8_t> bytes{settings, cut};
    for (const Pdu& p : pdus) {
        std::vector<uint8_t> wire = encodePdu(p, settings & 1, settings & 2);
        bytes.insert(bytes.end(), wire.begin(), wire.end());
    }
    std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    Pdu security = login(0x80 | 0x01,  // Transit, CSG 0, NSG 1
                         {{"InitiatorName", "iqn.2008-11.org.example:initiator"},
                          {"InitiatorAlias", "host"},
                          {"TargetName", "iqn.2024-01.example:disk"},
                          {"SessionType", "Normal"},
                          {"AuthMethod", "CHAP,None"}});
    Pdu operational = login(0x80 | 0x04 | 0x03,  // Transit, CSG 1, NSG 3
                            {{"HeaderDigest", "CRC32C,None"},
                             {"DataDigest", "CRC32C,None"},
                             {"MaxConnections", "1"},
                             {"InitialR2T", "No"},
                             {"ImmediateData", "Yes"},
                             {"MaxRecvDataSegmentLength", "262144"},
                             {"MaxBurstLength", "16776192"},
                             {"FirstBurstLength", "262144"},
                             {"DefaultTime2Wait", "2"},
                             {"DefaultTime2Retain", "0"},
                             {"MaxOutstandingR2T", "1"},
                             {"DataPDUInOrder", "Yes"},
                             {"DataSequenceInOrder", "Yes"},
                             {"ErrorRecoveryLevel", "0"},
                             {"OFMarker", "No"},
                             {"IFMarker", "No"}});
    Pdu discovery = login(0x80 | 0x04 | 0x03,
                          {{"InitiatorName", "iqn.2008-11.org.example:initiator"},
                           {"SessionType", "Discovery"},
                           {"HeaderDigest", "None"},
                           {"DataDigest", "None"},
                           {"MaxRecvDataSegmentLength", "0x10000"},
                           {"X-com.example.extra", "1"}});
    write(dir, "login_security", 0, 128, {security});
    write(dir, "login_operational", 0, 40, {operational});
    write(dir, "login_discovery", 0, 255, {discovery});
    write(dir, "scsi_write_immediate", 0, 60, {write10(2, 2, 512)});
    write(dir, "scsi_write_immediate_digests", 3, 60, {write10(2, 2, 512)});
    write(dir, "data_out", 0, 200, {dataOut(2, 512, 500)});
    write(dir, "data_out_digests", 3, 10, {dataOut(2, 512, 500)});
    write(dir, "nop_out", 0, 0, {nopOut(3, 0)});
    write(dir, "nop_out_ping_digests", 3, 100, {nopOut(3, 5)});
    write(dir, "session_stream_digests", 3, 90, {nopOut(4, 0), write10(5, 1, 256), dataOut(5, 256, 256)});
    write(dir, "header_digest_only_small_limit", 5, 30, {write10(6, 1, 7), nopOut(7, 3)});
    return 0;
}
