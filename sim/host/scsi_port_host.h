// The stand-in SCSI port driver: it loads a miniport, gives it its
// extensions and configuration record, hands it one request at a time,
// runs its timer and requested routines, delivers its adapter interrupt and
// resets its bus, all in the simulated machine's virtual time.
//
// What the host does, in the order a miniport sees it:
//
// * ScsiPortInitialize checks the registration record (size, required
//   routines), refuses a bus the machine does not have without calling
//   HwFindAdapter, and otherwise calls HwFindAdapter with a fresh, zeroed
//   device extension of exactly DeviceExtensionSize bytes, a filled
//   PORT_CONFIGURATION_INFORMATION and a writable copy of the argument
//   string, again while the driver sets *Again (bounded). Each adapter found
//   gets HwInitialize at once. It returns 0 when an adapter was found.
// * Extensions are heap blocks of exactly the registered sizes, so a memory
//   checker catches a driver that writes past them. Logical-unit extensions
//   are made on first use per (PathId, TargetId, Lun) and stay put.
// * Requests: start() queues an SRB; the host hands it to HwStartIo only
//   after the driver has said NextRequest (or NextLuRequest) for the one
//   before. run() pumps: requested routines (CallEnableInterrupts and
//   CallDisableInterrupts, run right after the entry point that asked),
//   the timer (one slot per adapter; a new request replaces the old; it
//   fires between entry points once virtual time reaches its deadline;
//   an interval of 0 cancels it), the adapter interrupt, then queued
//   requests. The interrupt goes to HwInterrupt only while the processor
//   interrupt flag is set and the interrupt level the driver left in its
//   configuration record is nonzero, never nested into another entry
//   point. With the InterruptMode the driver left at Latched (ISA) it is
//   taken once per rising edge of the line (an edge seen while the flag is
//   clear waits for it, as in the interrupt controller); LevelSensitive
//   takes it at every pass while the line is high. The line is sampled
//   between entry points. Several adapters share the line: each is asked
//   in turn until one claims it.
//   While the host is not idle (a request queued or open, or NextRequest
//   still withheld) and nothing is due, virtual time moves on in small
//   steps, landing exactly on timer deadlines. run() stops as soon as the
//   host is idle, so with nothing outstanding no time passes (runFor() lets
//   a fixed stretch pass); a virtual-time limit ends the pump and counts as
//   a hang.
// * Abort and reset-device requests are handed over even while a request is
//   open (they are meant for it), as the port driver does.
// * After the host itself calls HwResetBus (a bus reset or a request
//   time-out) it is ready for new requests again.
// * Misuse is never accepted silently: a second completion, the completion
//   of an SRB the driver does not hold, a NULL routine, an unknown device
//   extension, a free of a mapping never made, a mapping on another bus,
//   HwStartIo returning FALSE,
//   a completion still marked pending, a nested entry point each add a line
//   to violations(). Repeated NextRequest notifications are harmless.
#ifndef SIM_HOST_SCSI_PORT_HOST_H
#define SIM_HOST_SCSI_PORT_HOST_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/scsiport.h"
#include "sim/bus/platform_port_io.h"

namespace sim {

// NT status values the host returns from ScsiPortInitialize.
constexpr uint32_t kStatusSuccess = 0x00000000u;
constexpr uint32_t kStatusUnsuccessful = 0xC0000001u;
constexpr uint32_t kStatusInvalidParameter = 0xC000000Du;
constexpr uint32_t kStatusNoSuchDevice = 0xC000000Eu;
constexpr uint32_t kStatusRevisionMismatch = 0xC0000059u;
constexpr uint32_t kStatusDeviceDoesNotExist = 0xC00000C0u;

// The argument buffer given with ArgumentString, exactly this long in the
// unterminated mode.
constexpr size_t kArgumentBufferLength = 512;

using UnitAddress = std::tuple<uint8_t, uint8_t, uint8_t>;  // PathId, TargetId, Lun

struct ScsiPortHostConfig {
    // The machine's buses. A registration for an absent bus fails with
    // absentBusStatus and HwFindAdapter is not called. Other bus types are
    // absent.
    bool isaBus = true;
    bool microChannelBus = false;
    uint32_t absentBusStatus = kStatusNoSuchDevice;
    // Returned when HwFindAdapter found nothing.
    uint32_t notFoundStatus = kStatusDeviceDoesNotExist;

    // The argument string: absent gives ArgumentString NULL; otherwise a
    // writable NUL-terminated copy, or with unterminatedArguments a buffer of
    // exactly 512 bytes holding the text padded with blanks and no NUL.
    std::optional<std::string> arguments;
    bool unterminatedArguments = false;

    // BusInterruptLevel (and vector) the port driver puts in the record.
    uint32_t interruptLevel = 0;
    // The adapter's interrupt line; absent means never raised.
    std::function<bool()> interruptLine;

    // Units for which ScsiPortGetLogicalUnit answers NULL.
    std::set<UnitAddress> missingUnits;

    // HwFindAdapter calls per registration before *Again is no longer
    // honoured (a violation).
    unsigned maxFindAdapterCalls = 8;
    // The step by which the pump moves virtual time while it waits.
    Nanoseconds pumpStep = 50 * kMicrosecond;
    // Upper bound of requested routines run back to back after one entry.
    unsigned maxRoutinesPerEntry = 64;
};

enum class HostEventKind {
    // Notifications and calls by the driver.
    RequestComplete,   // srb, status snapshot
    NextRequest,
    NextLuRequest,     // unit
    ResetDetected,
    CallEnableInterrupts,   // routine
    CallDisableInterrupts,  // routine
    RequestTimerCall,  // routine, value = microseconds
    PortCompleteRequest,  // unit (0xFF wildcards), value = status
    LogError,          // see errors()
    // Entry points called by the host.
    FindAdapter,       // value = result
    Initialize,
    StartIo,           // srb
    Interrupt,         // value = 1 claimed, 0 refused
    TimerFired,        // routine
    RoutineRun,        // routine
    ResetBus,          // value = PathId
};

const char* hostEventName(HostEventKind kind);

struct HostEvent {
    HostEventKind kind;
    Nanoseconds time = 0;
    size_t adapter = 0;  // index into the records (see record())
    SCSI_REQUEST_BLOCK* srb = nullptr;
    uint8_t srbStatus = 0;   // at completion
    uint8_t scsiStatus = 0;  // at completion
    uint32_t dataTransferLength = 0;  // at completion
    UnitAddress unit{0, 0, 0};
    void* routine = nullptr;
    uint32_t value = 0;
};

struct LoggedError {
    Nanoseconds time;
    SCSI_REQUEST_BLOCK* srb;
    UnitAddress unit;
    uint32_t errorCode;
    uint32_t uniqueId;
};

struct DeviceMapping {
    size_t adapter;  // record index of the extension that mapped it
    INTERFACE_TYPE busType;
    uint32_t busNumber;
    uint32_t address;
    uint32_t length;
    bool inIoSpace;
    void* base;
    bool freed = false;
};

struct Registration {
    HW_INITIALIZATION_DATA data;  // as the driver passed it
    INTERFACE_TYPE bus;
    uint32_t status = 0;
    unsigned findAdapterCalls = 0;
    std::vector<ULONG> findAdapterResults;
    size_t adaptersFound = 0;
};

// One device extension the host allocated for an HwFindAdapter call; it
// becomes an adapter when the driver reports it found.
struct AdapterRecord {
    size_t index = 0;
    size_t registration = 0;
    HW_INITIALIZATION_DATA hw{};
    std::unique_ptr<uint8_t[]> deviceExtension;
    size_t deviceExtensionSize = 0;
    PORT_CONFIGURATION_INFORMATION config{};
    std::unique_ptr<ACCESS_RANGE[]> accessRanges;
    std::unique_ptr<char[]> argumentBuffer;  // what HwFindAdapter got (may be NULL)
    size_t argumentBufferLength = 0;
    bool found = false;
    BOOLEAN initializeResult = FALSE;
    std::map<UnitAddress, std::unique_ptr<uint8_t[]>> units;

    // Request state.
    bool readyForNext = true;
    std::deque<SCSI_REQUEST_BLOCK*> queued;       // not yet handed over
    std::vector<SCSI_REQUEST_BLOCK*> outstanding;  // handed over, not completed
    // Timer slot.
    PHW_TIMER timer = nullptr;
    Nanoseconds timerDeadline = 0;
    // Requested routines, in order.
    std::deque<std::pair<PHW_TIMER, bool>> routines;  // routine, interrupts enabled
};

struct RunResult {
    bool idle = false;  // nothing outstanding, nothing queued, ready for more
    bool hang = false;  // the virtual-time limit ended the pump
    Nanoseconds elapsed = 0;
};

enum class DataDirection { None, In, Out, Unspecified };

struct ExecuteResult {
    uint8_t srbStatus = 0;
    uint8_t scsiStatus = 0;
    bool completed = false;  // the driver completed it before the time-out
    bool hang = false;       // the time-out passed (the host then reset the bus)
    uint32_t dataTransferLength = 0;
};

class ScsiPortHost {
public:
    ScsiPortHost(IoBus& bus, ScsiPortHostConfig config = {});
    ~ScsiPortHost();
    ScsiPortHost(const ScsiPortHost&) = delete;
    ScsiPortHost& operator=(const ScsiPortHost&) = delete;

    IoBus& bus() { return bus_; }
    Clock& clock() { return bus_.clock(); }
    ScsiPortHostConfig& config() { return config_; }

    // Calls a DriverEntry-like routine with made-up driver object and
    // registry path; returns its status. The host must be bound.
    uint32_t boot(ULONG(NTAPI* entry)(PVOID, PVOID));

    // --- What the driver registered and found.
    const std::vector<Registration>& registrations() const { return registrations_; }
    size_t adapterCount() const { return adapters_.size(); }
    AdapterRecord& adapter(size_t i = 0) { return *adapters_.at(i); }
    // Every extension handed to HwFindAdapter, found or not.
    size_t recordCount() const { return records_.size(); }
    AdapterRecord& record(size_t i) { return *records_.at(i); }
    // The interrupt level in force for an adapter: what the driver left in
    // its configuration record.
    uint32_t interruptLevel(size_t adapter = 0) const;
    uint32_t maximumTransferLength(size_t adapter = 0) const;
    // The unit's extension if it was made (no allocation here).
    uint8_t* unitExtension(UnitAddress unit, size_t adapter = 0);

    // --- Logs.
    const std::vector<HostEvent>& events() const { return events_; }
    std::vector<HostEvent> events(HostEventKind kind) const;
    size_t count(HostEventKind kind) const;
    void clearEvents() { events_.clear(); }
    const std::vector<LoggedError>& errors() const { return errors_; }
    const std::vector<DeviceMapping>& mappings() const { return mappings_; }
    std::vector<DeviceMapping> heldMappings() const;
    const std::vector<std::string>& violations() const { return violations_; }
    size_t violationCount() const { return violations_.size(); }
    std::string violationText() const;  // all of them, one per line
    std::string eventText() const;      // the event log, one per line
    uint64_t interruptsDelivered() const { return interruptsDelivered_; }
    uint64_t interruptsRefused() const { return interruptsRefused_; }
    Nanoseconds stalledTime() const { return stalled_; }

    // --- Requests. The SRB must stay alive until it is completed.
    void start(SCSI_REQUEST_BLOCK* srb, size_t adapter = 0);
    bool isOutstanding(const SCSI_REQUEST_BLOCK* srb) const;
    bool isCompleted(const SCSI_REQUEST_BLOCK* srb) const;
    bool readyForNext(size_t adapter = 0) const { return adapters_.at(adapter)->readyForNext; }
    RunResult run(Nanoseconds limit = 60 * kSecond);
    // Pumps until the SRB is completed (or the limit passes).
    RunResult runUntilComplete(const SCSI_REQUEST_BLOCK* srb, Nanoseconds limit);
    // Pumps for exactly this long whatever is outstanding (timers fire,
    // interrupts are delivered); never reports a hang.
    RunResult runFor(Nanoseconds duration);
    // One pass of the pump without moving time; true if anything ran.
    bool pumpOnce();

    // Lets go of what the host keeps of finished work: the SRBs it made that
    // are neither queued nor outstanding, the event log and the logged
    // errors. A host that serves requests for as long as it runs calls it
    // between requests, so that memory stays flat; violations are kept.
    void forgetFinished();

    // Builds an execute-SCSI SRB for PathId 0, runs it to completion and
    // reports. On a time-out the host does what the port driver does
    // (timeoutRequest) and reports a hang.
    ExecuteResult execute(uint8_t target, uint8_t lun, const std::vector<uint8_t>& cdb,
                          DataDirection direction, void* buffer, uint32_t length,
                          Nanoseconds timeout = 60 * kSecond, size_t adapter = 0);
    // An SRB owned by the host (alive as long as the host), zeroed, with
    // Length, Function, PathId 0, TargetId and Lun set.
    SCSI_REQUEST_BLOCK* makeSrb(uint8_t function, uint8_t target = 0, uint8_t lun = 0);
    // Starts any SRB and runs it as execute() does.
    ExecuteResult executeSrb(SCSI_REQUEST_BLOCK* srb, Nanoseconds timeout = 60 * kSecond,
                             size_t adapter = 0);
    // Abort (aimed at the oldest open request), reset device, or any other
    // function, for PathId 0.
    ExecuteResult sendFunction(uint8_t function, uint8_t target, uint8_t lun,
                               Nanoseconds timeout = 60 * kSecond, size_t adapter = 0);
    // The port driver resets the bus: HwResetBus, then ready again.
    bool resetBus(uint8_t pathId = 0, size_t adapter = 0);
    // The port driver's handling of a request time-out: HwResetBus on the
    // request's path; a request the driver still holds afterwards is a
    // violation and is ended with SRB_STATUS_TIMEOUT.
    void timeoutRequest(SCSI_REQUEST_BLOCK* srb, size_t adapter = 0);

    // --- The port driver operations (called through the free functions).
    ULONG initialize(PVOID argument1, PVOID argument2, PHW_INITIALIZATION_DATA data,
                     PVOID context);
    PVOID getDeviceBase(PVOID extension, INTERFACE_TYPE busType, ULONG busNumber,
                        SCSI_PHYSICAL_ADDRESS address, ULONG length, BOOLEAN inIoSpace);
    void freeDeviceBase(PVOID extension, PVOID base);
    PVOID getLogicalUnit(PVOID extension, UCHAR pathId, UCHAR targetId, UCHAR lun);
    void notifyRequestComplete(PVOID extension, PSCSI_REQUEST_BLOCK srb);
    void notifyNextRequest(PVOID extension);
    void notifyNextLuRequest(PVOID extension, UCHAR pathId, UCHAR targetId, UCHAR lun);
    void notifyResetDetected(PVOID extension);
    void notifyCallRoutine(PVOID extension, PHW_TIMER routine, bool interruptsEnabled);
    void notifyTimer(PVOID extension, PHW_TIMER routine, ULONG microseconds);
    void notifyUnknown(PVOID extension, int type);
    void completeRequests(PVOID extension, UCHAR pathId, UCHAR targetId, UCHAR lun,
                          UCHAR status);
    void stall(ULONG microseconds);
    void logError(PVOID extension, PSCSI_REQUEST_BLOCK srb, UCHAR pathId, UCHAR targetId,
                  UCHAR lun, ULONG errorCode, ULONG uniqueId);

    void violation(const std::string& text);

private:
    AdapterRecord* recordOf(PVOID extension, const char* operation);
    void note(HostEvent event);
    void findAdapters(size_t registration, PVOID context);
    void fillConfig(AdapterRecord& rec, INTERFACE_TYPE bus);
    void completeOne(AdapterRecord& rec, SCSI_REQUEST_BLOCK* srb, const char* how);
    bool enterEntry(const char* name);
    void leaveEntry() { --entryDepth_; }
    bool drainRoutines(AdapterRecord& rec);
    bool fireTimer(AdapterRecord& rec);
    bool deliverInterrupt();
    bool handOver(AdapterRecord& rec);
    bool idle() const;
    RunResult pump(const std::function<bool()>& done, Nanoseconds limit);

    IoBus& bus_;
    ScsiPortHostConfig config_;
    std::vector<Registration> registrations_;
    std::vector<std::unique_ptr<AdapterRecord>> records_;
    std::vector<AdapterRecord*> adapters_;
    std::vector<HostEvent> events_;
    std::vector<LoggedError> errors_;
    std::vector<DeviceMapping> mappings_;
    std::vector<std::string> violations_;
    std::set<const SCSI_REQUEST_BLOCK*> completed_;
    std::vector<std::unique_ptr<SCSI_REQUEST_BLOCK>> ownSrbs_;
    int entryDepth_ = 0;
    bool lineWasHigh_ = false;
    bool irqLatched_ = false;
    uint64_t interruptsDelivered_ = 0;
    uint64_t interruptsRefused_ = 0;
    Nanoseconds stalled_ = 0;
    uint32_t driverObject_ = 0;
    uint32_t registryPath_ = 0;
};

// The host the ScsiPort* operations reach. Binding a host also binds its
// bus as the platform bus; unbinding (nullptr) leaves the bus bound. A host
// unbinds itself when destroyed.
void bindPlatformHost(ScsiPortHost* host);
ScsiPortHost* platformHost();

}  // namespace sim

#endif  // SIM_HOST_SCSI_PORT_HOST_H
