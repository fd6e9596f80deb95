// The request-path harness shared by the fuzz target and its regression
// tests: arbitrary SRBs handed to HwStartIo through the stand-in port
// driver on one booted simulated PC.
//
// An input is a list of 24-byte records, one request each (at most
// kMaxRequests; a short tail is ignored):
//
//   0  kind: bits 0-1  0/1 execute SCSI, 2 the function in byte 1,
//                      3 abort (bit 4 clear) or reset device (bit 4 set)
//            bit 2     start it and go on without waiting for it
//            bit 3     no data buffer, whatever the length says
//   1  address: bit 7 set: TargetId = bits 0-2, Lun = bits 3-5 (else 0, 0).
//      For kind 2, the SRB function instead. PathId is always 0: the
//      driver reports one bus, and a port driver sends nothing for others.
//   2  CdbLength: below 0xF0 taken modulo 17, else as it is
//   3  SrbFlags (direction bits 6-7, auto-sense bit 5, ...)
//   4-6 DataTransferLength, 17 bits (byte 6 bit 0 is bit 16)
//   7  SenseInfoBufferLength (a buffer of exactly that size)
//   8-23 the CDB bytes
//
// Data and sense buffers are heap blocks of exactly the stated size, so
// the address sanitizer catches any access outside them; SRBs are heap
// blocks too and are freed once the input is over, so a driver that keeps
// using a finished request is caught as well. Buffers start with a
// pattern, which only the commands that return data may change.
//
// What must hold for every input: each request that reached the driver is
// completed exactly once (or ended by the host's time-out handling, which
// reports a driver that keeps one), none is completed still pending or with
// more data than it offered, no request hangs, the host, the drive and the
// adapter count no violations (but for register writes while the drive is
// busy after a bus reset, below), and afterwards the driver still reads
// the disk correctly. A hang or a wedged driver is reported, then the bus is
// reset so the next input starts clean.
#ifndef FUZZ_REQUEST_HARNESS_H
#define FUZZ_REQUEST_HARNESS_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/scsiport.h"
#include "seam/nimb_driver.h"
#include "sim/ata/ata_drive.h"
#include "sim/host/disk_client.h"
#include "sim/host/scsi_port_host.h"
#include "sim/machine/simulated_pc.h"
#include "sim/wire/nimb_adapter.h"

namespace nimb_fuzz {

class RequestRig {
public:
    static constexpr size_t kRecordBytes = 24;
    static constexpr size_t kMaxRequests = 4;
    static constexpr sim::Nanoseconds kRequestLimit = 30 * sim::kSecond;
    static constexpr sim::Nanoseconds kResetHold = 4 * sim::kSecond;

    // Boots the PC; arguments is the driver's argument string ("" for none).
    explicit RequestRig(const std::string& arguments = "")
    {
        sim::PcConfig config;
        config.driver = seam::nimbDriver();
        config.imageBytes = 4ull << 20;
        if (!arguments.empty()) config.arguments = arguments;
        pc_ = std::make_unique<sim::SimulatedPc>(config);
        booted_ = pc_->boot().adapterFound;
    }

    bool booted() const { return booted_; }
    sim::SimulatedPc& pc() { return *pc_; }

    // Runs one input; "" when every rule held, else what broke.
    std::string run(const uint8_t* data, size_t size)
    {
        if (!booted_) return "the driver did not find the adapter at boot";
        sim::ScsiPortHost& host = pc_->host();
        host.clearEvents();
        const size_t violationsBefore = host.violationCount();
        const sim::ProtocolViolations driveBefore = pc_->drive().violations();
        const uint64_t adapterBefore = pc_->adapter().violationCount();

        std::vector<Request> requests;
        std::string fault;
        for (size_t n = 0; n < kMaxRequests && (n + 1) * kRecordBytes <= size; ++n) {
            requests.push_back(build(data + n * kRecordBytes));
            Request& r = requests.back();
            // An abort names the request it is meant for, as the port driver does.
            std::vector<SCSI_REQUEST_BLOCK*>& open = host.adapter(0).outstanding;
            if (r.srb->Function == SRB_FUNCTION_ABORT_COMMAND && !open.empty()) r.srb->NextSrb = open.front();
            host.start(r.srb.get());
            if (r.noWait) {
                host.pumpOnce();
                continue;
            }
            sim::RunResult run = host.runUntilComplete(r.srb.get(), kRequestLimit);
            if (!host.isCompleted(r.srb.get()) && fault.empty())
                fault = "request " + std::to_string(n) + describe(r) + (run.hang ? " hung" : " not completed");
        }
        // Let whatever was left open finish, then end what still is not.
        sim::RunResult rest = host.run(kRequestLimit);
        if (!rest.idle) {
            if (fault.empty()) fault = "the host did not become idle after the input";
            for (Request& r : requests)
                if (!host.isCompleted(r.srb.get())) host.timeoutRequest(r.srb.get());
            if (!host.run(kRequestLimit).idle) host.resetBus(0);
        }

        for (size_t n = 0; n < requests.size() && fault.empty(); ++n) fault = checkEnded(n, requests[n]);
        // After a bus reset a port driver holds new requests back for a
        // while; the drive may still be busy with the command the reset
        // abandoned (see ISSUES, area fuzz).
        const bool reset = host.count(sim::HostEventKind::PortCompleteRequest) > 0;
        if (reset) host.runFor(kResetHold);
        if (fault.empty()) fault = checkStillServes();
        if (fault.empty() && host.violationCount() != violationsBefore)
            fault = "host violations: " + host.violationText();
        // A bus reset abandons the request without a word to the drive, which
        // may still be busy with the abandoned command when the next request
        // writes its registers (see ISSUES, area fuzz): writes while busy are
        // let through in an input with a reset, nothing else is.
        sim::ProtocolViolations allowed = driveBefore;
        if (reset) {
            allowed.registerWriteWhileBusy = pc_->drive().violations().registerWriteWhileBusy;
            allowed.commandWhileBusy = pc_->drive().violations().commandWhileBusy;
        }
        if (fault.empty() && pc_->drive().violations().total() != allowed.total())
            fault = "drive protocol violations:" + driveViolations(allowed);
        if (fault.empty() && pc_->adapter().violationCount() != adapterBefore)
            fault = "adapter violation: " + pc_->adapter().lastViolation();
        if (!fault.empty() && !host.run(kRequestLimit).idle) host.resetBus(0);
        return fault;
    }

private:
    struct Request {
        std::unique_ptr<SCSI_REQUEST_BLOCK> srb;
        std::unique_ptr<uint8_t[]> data;
        std::unique_ptr<uint8_t[]> sense;
        uint32_t offered = 0;
        bool noWait = false;
    };

    // The buffer's contents before the request: a pattern of the length.
    static uint8_t fill(uint32_t i, uint32_t length) { return uint8_t(i * 31 + length); }

    static Request build(const uint8_t* b)
    {
        Request r;
        r.srb.reset(new SCSI_REQUEST_BLOCK);
        SCSI_REQUEST_BLOCK& srb = *r.srb;
        std::memset(&srb, 0, sizeof srb);
        srb.Length = sizeof srb;
        switch (b[0] & 3) {
        case 2: srb.Function = b[1]; break;
        case 3: srb.Function = (b[0] & 0x10) ? SRB_FUNCTION_RESET_DEVICE : SRB_FUNCTION_ABORT_COMMAND; break;
        default: srb.Function = SRB_FUNCTION_EXECUTE_SCSI; break;
        }
        if ((b[0] & 3) != 2 && (b[1] & 0x80)) {
            srb.TargetId = b[1] & 7;
            srb.Lun = (b[1] >> 3) & 7;
        }
        srb.CdbLength = b[2] < 0xF0 ? uint8_t(b[2] % 17) : b[2];
        srb.SrbFlags = b[3];
        r.offered = uint32_t(b[4]) | uint32_t(b[5]) << 8 | uint32_t(b[6] & 1) << 16;
        srb.DataTransferLength = r.offered;
        if (!(b[0] & 8)) {
            r.data.reset(new uint8_t[r.offered]);
            for (uint32_t i = 0; i < r.offered; ++i) r.data[i] = fill(i, r.offered);
            srb.DataBuffer = r.data.get();
        }
        srb.SenseInfoBufferLength = b[7];
        if (b[7]) {
            r.sense.reset(new uint8_t[b[7]]());
            srb.SenseInfoBuffer = r.sense.get();
        }
        std::memcpy(srb.Cdb, b + 8, sizeof srb.Cdb);
        srb.TimeOutValue = 10;
        r.noWait = (b[0] & 4) != 0;
        return r;
    }

    static std::string describe(const Request& r)
    {
        char text[96];
        std::snprintf(text, sizeof text, " (function 0x%02X, CDB length %u, opcode 0x%02X, length %u)",
                      r.srb->Function, r.srb->CdbLength, r.srb->Cdb[0], r.offered);
        return text;
    }

    std::string driveViolations(const sim::ProtocolViolations& before)
    {
        const sim::ProtocolViolations& now = pc_->drive().violations();
        std::string text;
        auto add = [&](const char* name, uint64_t a, uint64_t b) {
            if (a != b) text += std::string(" ") + name + " " + std::to_string(a - b);
        };
        add("data read without DRQ", now.dataReadWithoutDrq, before.dataReadWithoutDrq);
        add("data write without DRQ", now.dataWriteWithoutDrq, before.dataWriteWithoutDrq);
        add("register write while busy", now.registerWriteWhileBusy, before.registerWriteWhileBusy);
        add("command while busy", now.commandWhileBusy, before.commandWhileBusy);
        add("register write during DRQ", now.registerWriteDuringDrq, before.registerWriteDuringDrq);
        add("command during DRQ", now.commandDuringDrq, before.commandDuringDrq);
        add("interrupt disabled", now.interruptDisabled, before.interruptDisabled);
        return text;
    }

    std::string checkEnded(size_t n, const Request& r)
    {
        sim::ScsiPortHost& host = pc_->host();
        const SCSI_REQUEST_BLOCK* srb = r.srb.get();
        if (host.isOutstanding(srb)) return "request " + std::to_string(n) + describe(r) + " still outstanding";
        size_t completions = 0;
        for (const sim::HostEvent& e : host.events(sim::HostEventKind::RequestComplete)) {
            if (e.srb != srb) continue;
            ++completions;
            if (e.dataTransferLength > r.offered)
                return "request " + std::to_string(n) + describe(r) + " completed with " +
                       std::to_string(e.dataTransferLength) + " bytes";
        }
        // Only the commands that return data may write into the buffer.
        static const uint8_t kDataIn[] = {0x03, 0x08, 0x12, 0x1A, 0x25, 0x28};
        bool dataIn = srb->Function == SRB_FUNCTION_EXECUTE_SCSI && srb->CdbLength > 0 &&
                      std::memchr(kDataIn, srb->Cdb[0], sizeof kDataIn) != nullptr;
        if (r.data && !dataIn)
            for (uint32_t i = 0; i < r.offered; ++i)
                if (r.data[i] != fill(i, r.offered)) return "request " + std::to_string(n) + describe(r) +
                                                      " changed its buffer at byte " + std::to_string(i);
        // A request never handed over is flushed by the host's time-out
        // handling, not completed by the driver.
        if (completions == 0 && srb->SrbStatus == SRB_STATUS_REQUEST_FLUSHED) return "";
        if (completions != 1)
            return "request " + std::to_string(n) + describe(r) + " completed " + std::to_string(completions) +
                   " times";
        return "";
    }

    // The driver must still read the disk, and read what is on it: a unit
    // attention or a stopped unit may cost a try or two.
    std::string checkStillServes()
    {
        sim::DiskClient& disk = pc_->disk();
        std::vector<uint8_t> block;
        sim::CommandResult r;
        for (int attempt = 0; attempt < 3; ++attempt) {
            r = disk.read(kCheckBlock, 2, block);
            if (r.good())
                return block == pc_->image().read(kCheckBlock, 2) ? "" : "a good read returned other data";
            std::vector<uint8_t> start = {0x1B, 0, 0, 0, 1, 0};
            disk.command(start, sim::DataDirection::None, nullptr, 0);
        }
        char text[96];
        std::snprintf(text, sizeof text, "the driver no longer reads: status 0x%02X, scsi 0x%02X, key %u%s",
                      r.srbStatus, r.scsiStatus, r.senseKey, r.hang ? ", hang" : "");
        return text;
    }

    static constexpr uint32_t kCheckBlock = 3;

    std::unique_ptr<sim::SimulatedPc> pc_;
    bool booted_ = false;
};

}  // namespace nimb_fuzz

#endif  // FUZZ_REQUEST_HARNESS_H
