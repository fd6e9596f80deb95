// A simulated machine for the ATA layer's tests: clock, I/O bus, parallel
// port, NIMB adapter and an ATA device behind it, with the link set up as
// adapter detection would leave it and a request record of the unit.
#ifndef TESTS_ATA_RIG_H
#define TESTS_ATA_RIG_H

#include <cstring>
#include <memory>

#include "ata/ata.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"
#include "sim/ata/ata_device.h"
#include "sim/bus/platform_port_io.h"
#include "sim/wire/nimb_adapter.h"
#include "sim/wire/parallel_port.h"

struct AtaRigOptions {
    sim::ParallelPortKind portKind = sim::ParallelPortKind::Spp;
    uint8_t readMode = RM_NIBBLE_SLOW;
    uint8_t writeMode = WM_BYTE_SLOW;
};

class AtaRig {
public:
    explicit AtaRig(AtaRigOptions options = {}) : port(clock, portConfig(options)), adapter(clock)
    {
        bus.attach(port);
        adapter.attachTo(port);
        sim::bindPlatformBus(&bus);
        DriverImageReset();
        PortBase = 0x378;
        PortTable[0] = 0x378;
        AdapterCount = 1;
        LinkState.HostPortKind = options.portKind == sim::ParallelPortKind::Spp ? HOST_PORT_PLAIN
                                                                                : HOST_PORT_ENHANCED_EPP;
        LinkState.AdapterIdValue = adapter.identity();
        SetLinkModes(options.readMode, options.writeMode);
        DriverParameters.ReadMode = options.readMode;
        DriverParameters.WriteMode = options.writeMode;
        adapterExtension = AdapterExtension();
        std::memset(&request, 0, sizeof request);
        std::memset(&srb, 0, sizeof srb);
        request.Command = 2;
        request.Adapter = &adapterExtension;
        request.Srb = &srb;
        adapterExtension.CurrentUnit = &request;
    }
    ~AtaRig() { sim::bindPlatformBus(nullptr); }

    void attach(sim::AtaDevice& device) { adapter.attachDevice(&device); }

    // A READ(10) or WRITE(10) of count blocks at block, as the SCSI side
    // prepares it, into or from buf.
    void prepare(uint8_t command, uint32_t block, uint16_t count, uint8_t* buf, uint32_t bufferBytes)
    {
        std::memset(&TaskFile, 0, sizeof TaskFile);
        request.WorkFlags = 0;
        request.Status = 0;
        request.HostStatus = request.TargetStatus = 0;
        request.CdbLength = 10;
        std::memset(request.Cdb, 0, sizeof request.Cdb);
        request.Cdb[0] = command == ATA_CMD_READ_SECTORS ? 0x28 : command == ATA_CMD_READ_VERIFY ? 0x2F : 0x2A;
        request.Cdb[2] = uint8_t(block >> 24);
        request.Cdb[3] = uint8_t(block >> 16);
        request.Cdb[4] = uint8_t(block >> 8);
        request.Cdb[5] = uint8_t(block);
        request.Cdb[7] = uint8_t(count >> 8);
        request.Cdb[8] = uint8_t(count);
        request.DataBuffer = buf;
        srb.DataTransferLength = bufferBytes;
        srb.DataBuffer = buf;
        TaskFile.command = command;
        loadBlockAddress(request.TargetId, block, count);
        request.DataLength = uint32_t(TaskFile.sectorCount) * ATA_SECTOR_SIZE;
        request.TransferPointer = buf;
        SetCurrentUnit(&request);
        CommandState.senseKey = 0;
    }

    // Runs a deferred request's continuations until it has finished.
    bool resumeUntilDone(sim::Nanoseconds limit = 60 * sim::kSecond)
    {
        sim::Nanoseconds end = clock.now() + limit;
        while (TransferState.deferPending && clock.now() < end) {
            clock.advance(10 * sim::kMillisecond);
            resumeTransfer(&request);
        }
        return !TransferState.deferPending;
    }

    sim::Clock clock;
    sim::IoBus bus{clock};
    sim::ParallelPort port;
    sim::NimbAdapter adapter;
    AdapterExtension adapterExtension;
    UnitExtension request;
    SCSI_REQUEST_BLOCK srb;

private:
    static sim::ParallelPortConfig portConfig(const AtaRigOptions& options)
    {
        sim::ParallelPortConfig config;
        config.base = 0x378;
        config.kind = options.portKind;
        return config;
    }
};

#endif  // TESTS_ATA_RIG_H
