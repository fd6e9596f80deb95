// The stand-in SCSI port driver (see scsi_port_host.h).
#include "sim/host/scsi_port_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "sim/host/driver_call.h"

namespace sim {

namespace {

ScsiPortHost* gHost = nullptr;

constexpr ULONG kUninitialized = ~0u;  // the port driver's "not set" value

std::string hex(uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string pointerText(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

bool isUrgent(const SCSI_REQUEST_BLOCK* srb)
{
    return srb->Function == SRB_FUNCTION_ABORT_COMMAND ||
           srb->Function == SRB_FUNCTION_RESET_DEVICE;
}

}  // namespace

const char* hostEventName(HostEventKind kind)
{
    switch (kind) {
    case HostEventKind::RequestComplete: return "RequestComplete";
    case HostEventKind::NextRequest: return "NextRequest";
    case HostEventKind::NextLuRequest: return "NextLuRequest";
    case HostEventKind::ResetDetected: return "ResetDetected";
    case HostEventKind::CallEnableInterrupts: return "CallEnableInterrupts";
    case HostEventKind::CallDisableInterrupts: return "CallDisableInterrupts";
    case HostEventKind::RequestTimerCall: return "RequestTimerCall";
    case HostEventKind::PortCompleteRequest: return "ScsiPortCompleteRequest";
    case HostEventKind::LogError: return "ScsiPortLogError";
    case HostEventKind::FindAdapter: return "HwFindAdapter";
    case HostEventKind::Initialize: return "HwInitialize";
    case HostEventKind::StartIo: return "HwStartIo";
    case HostEventKind::Interrupt: return "HwInterrupt";
    case HostEventKind::TimerFired: return "timer";
    case HostEventKind::RoutineRun: return "requested routine";
    case HostEventKind::ResetBus: return "HwResetBus";
    }
    return "?";
}

void bindPlatformHost(ScsiPortHost* host)
{
    gHost = host;
    if (host) bindPlatformBus(&host->bus());
}

ScsiPortHost* platformHost() { return gHost; }

ScsiPortHost::ScsiPortHost(IoBus& bus, ScsiPortHostConfig config)
    : bus_(bus), config_(std::move(config))
{
}

ScsiPortHost::~ScsiPortHost()
{
    if (gHost == this) {
        gHost = nullptr;
        if (platformBus() == &bus_) bindPlatformBus(nullptr);
    }
}

uint32_t ScsiPortHost::boot(ULONG(NTAPI* entry)(PVOID, PVOID))
{
    if (gHost != this) bindPlatformHost(this);
    return callDriver("DriverEntry", entry, static_cast<PVOID>(&driverObject_),
                      static_cast<PVOID>(&registryPath_));
}

// ---------------------------------------------------------------------------
// Bookkeeping.

void ScsiPortHost::violation(const std::string& text) { violations_.push_back(text); }

std::string ScsiPortHost::violationText() const
{
    std::string all;
    for (const std::string& v : violations_) all += v + "\n";
    return all;
}

std::string ScsiPortHost::eventText() const
{
    std::string all;
    for (const HostEvent& e : events_) {
        char line[160];
        std::snprintf(line, sizeof line, "%12.3f us  adapter %zu  %-24s srb %p status 0x%02X/0x%02X value 0x%X\n",
                      static_cast<double>(e.time) / 1000.0, e.adapter, hostEventName(e.kind),
                      static_cast<void*>(e.srb), e.srbStatus, e.scsiStatus, e.value);
        all += line;
    }
    return all;
}

void ScsiPortHost::note(HostEvent event)
{
    event.time = clock().now();
    events_.push_back(event);
}

std::vector<HostEvent> ScsiPortHost::events(HostEventKind kind) const
{
    std::vector<HostEvent> selected;
    for (const HostEvent& e : events_)
        if (e.kind == kind) selected.push_back(e);
    return selected;
}

size_t ScsiPortHost::count(HostEventKind kind) const
{
    return static_cast<size_t>(std::count_if(events_.begin(), events_.end(),
                                             [kind](const HostEvent& e) { return e.kind == kind; }));
}

std::vector<DeviceMapping> ScsiPortHost::heldMappings() const
{
    std::vector<DeviceMapping> held;
    for (const DeviceMapping& m : mappings_)
        if (!m.freed) held.push_back(m);
    return held;
}

AdapterRecord* ScsiPortHost::recordOf(PVOID extension, const char* operation)
{
    for (auto& rec : records_)
        if (rec->deviceExtension.get() == extension) return rec.get();
    violation(std::string(operation) + " with unknown device extension " + pointerText(extension));
    return nullptr;
}

uint32_t ScsiPortHost::interruptLevel(size_t adapter) const
{
    return adapters_.at(adapter)->config.BusInterruptLevel;
}

uint32_t ScsiPortHost::maximumTransferLength(size_t adapter) const
{
    return adapters_.at(adapter)->config.MaximumTransferLength;
}

uint8_t* ScsiPortHost::unitExtension(UnitAddress unit, size_t adapter)
{
    auto& units = adapters_.at(adapter)->units;
    auto it = units.find(unit);
    return it == units.end() ? nullptr : it->second.get();
}

bool ScsiPortHost::enterEntry(const char* name)
{
    if (entryDepth_ > 0) {
        violation(std::string("entry point ") + name + " would nest into another");
        return false;
    }
    ++entryDepth_;
    return true;
}

// ---------------------------------------------------------------------------
// Registration and discovery.

ULONG ScsiPortHost::initialize(PVOID, PVOID, PHW_INITIALIZATION_DATA data, PVOID context)
{
    if (!data) {
        violation("ScsiPortInitialize without an initialization record");
        return kStatusInvalidParameter;
    }
    Registration reg;
    reg.data = *data;
    reg.bus = data->AdapterInterfaceType;
    registrations_.push_back(reg);
    size_t index = registrations_.size() - 1;
    auto finish = [this, index](uint32_t status) {
        registrations_[index].status = status;
        return status;
    };

    if (data->HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA)) {
        violation("HwInitializationDataSize is " + std::to_string(data->HwInitializationDataSize) +
                  ", expected " + std::to_string(sizeof(HW_INITIALIZATION_DATA)));
        return finish(kStatusRevisionMismatch);
    }
    if (!data->HwInitialize || !data->HwStartIo || !data->HwFindAdapter || !data->HwResetBus) {
        violation("registration lacks a required routine (HwInitialize, HwStartIo, "
                  "HwFindAdapter or HwResetBus)");
        return finish(kStatusInvalidParameter);
    }
    bool busPresent = (data->AdapterInterfaceType == Isa && config_.isaBus) ||
                      (data->AdapterInterfaceType == MicroChannel && config_.microChannelBus);
    if (!busPresent) return finish(config_.absentBusStatus);

    findAdapters(index, context);
    return finish(registrations_[index].adaptersFound ? kStatusSuccess : config_.notFoundStatus);
}

void ScsiPortHost::fillConfig(AdapterRecord& rec, INTERFACE_TYPE bus)
{
    PORT_CONFIGURATION_INFORMATION& c = rec.config;
    std::memset(&c, 0, sizeof c);
    c.Length = sizeof c;
    c.SystemIoBusNumber = 0;
    c.AdapterInterfaceType = bus;
    c.BusInterruptLevel = config_.interruptLevel;
    c.BusInterruptVector = config_.interruptLevel;
    c.InterruptMode = bus == MicroChannel ? LevelSensitive : Latched;
    c.MaximumTransferLength = kUninitialized;
    c.NumberOfPhysicalBreaks = kUninitialized;
    c.DmaChannel = kUninitialized;
    c.DmaPort = kUninitialized;
    c.NumberOfAccessRanges = rec.hw.NumberOfAccessRanges;
    if (rec.hw.NumberOfAccessRanges) {
        rec.accessRanges.reset(new ACCESS_RANGE[rec.hw.NumberOfAccessRanges]());
        c.AccessRanges = reinterpret_cast<ACCESS_RANGE(*)[]>(rec.accessRanges.get());
    }
    c.NumberOfBuses = 0;
    std::memset(c.InitiatorBusId, 0xFF, sizeof c.InitiatorBusId);
    c.MapBuffers = rec.hw.MapBuffers;
    c.NeedPhysicalAddresses = rec.hw.NeedPhysicalAddresses;
    c.TaggedQueuing = rec.hw.TaggedQueuing;
    c.AutoRequestSense = rec.hw.AutoRequestSense;
    c.MultipleRequestPerLu = rec.hw.MultipleRequestPerLu;
    c.ReceiveEvent = rec.hw.ReceiveEvent;
    c.MaximumNumberOfTargets = 8;
    c.BusInterruptLevel2 = 0;
    c.DmaChannel2 = kUninitialized;
    c.DmaPort2 = kUninitialized;
}

void ScsiPortHost::findAdapters(size_t index, PVOID context)
{
    const HW_INITIALIZATION_DATA hw = registrations_[index].data;
    for (;;) {
        auto owner = std::make_unique<AdapterRecord>();
        AdapterRecord& rec = *owner;
        rec.index = records_.size();
        rec.registration = index;
        rec.hw = hw;
        rec.deviceExtensionSize = hw.DeviceExtensionSize;
        rec.deviceExtension.reset(new uint8_t[hw.DeviceExtensionSize]());
        fillConfig(rec, hw.AdapterInterfaceType);
        if (config_.arguments) {
            const std::string& text = *config_.arguments;
            if (config_.unterminatedArguments) {
                rec.argumentBufferLength = kArgumentBufferLength;
                rec.argumentBuffer.reset(new char[kArgumentBufferLength]);
                std::memset(rec.argumentBuffer.get(), ' ', kArgumentBufferLength);
                std::memcpy(rec.argumentBuffer.get(), text.data(),
                            std::min(text.size(), kArgumentBufferLength));
            } else {
                rec.argumentBufferLength = text.size() + 1;
                rec.argumentBuffer.reset(new char[text.size() + 1]);
                std::memcpy(rec.argumentBuffer.get(), text.c_str(), text.size() + 1);
            }
        }
        records_.push_back(std::move(owner));

        BOOLEAN again = FALSE;
        ULONG result = SP_RETURN_NOT_FOUND;
        if (enterEntry("HwFindAdapter")) {
            result = callDriver("HwFindAdapter", hw.HwFindAdapter, rec.deviceExtension.get(),
                                context, nullptr, rec.argumentBuffer.get(), &rec.config,
                                &again);
            leaveEntry();
        }
        Registration& reg = registrations_[index];
        ++reg.findAdapterCalls;
        reg.findAdapterResults.push_back(result);
        HostEvent e{HostEventKind::FindAdapter};
        e.adapter = rec.index;
        e.value = result;
        note(e);

        if (result == SP_RETURN_FOUND) {
            rec.found = true;
            adapters_.push_back(&rec);
            ++reg.adaptersFound;
            if (enterEntry("HwInitialize")) {
                rec.initializeResult =
                    callDriver("HwInitialize", hw.HwInitialize, rec.deviceExtension.get());
                leaveEntry();
            }
            HostEvent init{HostEventKind::Initialize};
            init.adapter = rec.index;
            init.value = rec.initializeResult;
            note(init);
            drainRoutines(rec);
        }
        if (!again) break;
        if (reg.findAdapterCalls >= config_.maxFindAdapterCalls) {
            violation("HwFindAdapter still sets *Again after " +
                      std::to_string(reg.findAdapterCalls) + " calls");
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Mappings and extensions.

PVOID ScsiPortHost::getDeviceBase(PVOID extension, INTERFACE_TYPE busType, ULONG busNumber,
                                  SCSI_PHYSICAL_ADDRESS address, ULONG length, BOOLEAN inIoSpace)
{
    AdapterRecord* rec = recordOf(extension, "ScsiPortGetDeviceBase");
    DeviceMapping m;
    m.adapter = rec ? rec->index : ~size_t(0);
    m.busType = busType;
    m.busNumber = busNumber;
    m.address = address.u.LowPart;
    m.length = length;
    m.inIoSpace = inIoSpace != FALSE;
    m.base = reinterpret_cast<void*>(static_cast<uintptr_t>(address.u.LowPart));
    if (length == 0) violation("ScsiPortGetDeviceBase of 0 bytes at " + hex(m.address));
    if (rec && (busType != rec->config.AdapterInterfaceType ||
                busNumber != rec->config.SystemIoBusNumber))
        violation("ScsiPortGetDeviceBase on bus type " + std::to_string(busType) + " number " +
                  std::to_string(busNumber) + ", not the adapter's bus");
    mappings_.push_back(m);
    return m.base;
}

void ScsiPortHost::freeDeviceBase(PVOID extension, PVOID base)
{
    AdapterRecord* rec = recordOf(extension, "ScsiPortFreeDeviceBase");
    if (!rec) return;
    for (auto it = mappings_.rbegin(); it != mappings_.rend(); ++it) {
        if (!it->freed && it->base == base && it->adapter == rec->index) {
            it->freed = true;
            return;
        }
    }
    violation("ScsiPortFreeDeviceBase of " + pointerText(base) +
              ", which this extension does not hold mapped");
}

PVOID ScsiPortHost::getLogicalUnit(PVOID extension, UCHAR pathId, UCHAR targetId, UCHAR lun)
{
    AdapterRecord* rec = recordOf(extension, "ScsiPortGetLogicalUnit");
    if (!rec) return nullptr;
    UnitAddress unit{pathId, targetId, lun};
    if (config_.missingUnits.count(unit)) return nullptr;
    if (rec->hw.SpecificLuExtensionSize == 0) return nullptr;
    auto& slot = rec->units[unit];
    if (!slot) slot.reset(new uint8_t[rec->hw.SpecificLuExtensionSize]());
    return slot.get();
}

// ---------------------------------------------------------------------------
// Notifications.

void ScsiPortHost::completeOne(AdapterRecord& rec, SCSI_REQUEST_BLOCK* srb, const char* how)
{
    auto it = std::find(rec.outstanding.begin(), rec.outstanding.end(), srb);
    if (it == rec.outstanding.end()) {
        std::string what;
        if (completed_.count(srb))
            what = "completed twice";
        else if (std::find(rec.queued.begin(), rec.queued.end(), srb) != rec.queued.end())
            what = "not yet handed to the driver";
        else
            what = "unknown to the host";
        violation(std::string(how) + " of SRB " + pointerText(srb) + ", " + what);
        return;
    }
    rec.outstanding.erase(it);
    completed_.insert(srb);
    if (srb->SrbStatus == SRB_STATUS_PENDING)
        violation(std::string(how) + " of SRB " + pointerText(srb) +
                  " with SRB_STATUS_PENDING");
    HostEvent e{HostEventKind::RequestComplete};
    e.adapter = rec.index;
    e.srb = srb;
    e.srbStatus = srb->SrbStatus;
    e.scsiStatus = srb->ScsiStatus;
    e.dataTransferLength = srb->DataTransferLength;
    e.unit = UnitAddress{srb->PathId, srb->TargetId, srb->Lun};
    note(e);
}

void ScsiPortHost::notifyRequestComplete(PVOID extension, PSCSI_REQUEST_BLOCK srb)
{
    AdapterRecord* rec = recordOf(extension, "RequestComplete");
    if (!rec) return;
    if (!srb) {
        violation("RequestComplete of a NULL SRB");
        return;
    }
    completeOne(*rec, srb, "RequestComplete");
}

void ScsiPortHost::notifyNextRequest(PVOID extension)
{
    AdapterRecord* rec = recordOf(extension, "NextRequest");
    if (!rec) return;
    rec->readyForNext = true;
    HostEvent e{HostEventKind::NextRequest};
    e.adapter = rec->index;
    note(e);
}

void ScsiPortHost::notifyNextLuRequest(PVOID extension, UCHAR pathId, UCHAR targetId, UCHAR lun)
{
    AdapterRecord* rec = recordOf(extension, "NextLuRequest");
    if (!rec) return;
    rec->readyForNext = true;
    HostEvent e{HostEventKind::NextLuRequest};
    e.adapter = rec->index;
    e.unit = UnitAddress{pathId, targetId, lun};
    note(e);
}

void ScsiPortHost::notifyResetDetected(PVOID extension)
{
    AdapterRecord* rec = recordOf(extension, "ResetDetected");
    if (!rec) return;
    HostEvent e{HostEventKind::ResetDetected};
    e.adapter = rec->index;
    note(e);
}

void ScsiPortHost::notifyCallRoutine(PVOID extension, PHW_TIMER routine, bool interruptsEnabled)
{
    const char* name = interruptsEnabled ? "CallEnableInterrupts" : "CallDisableInterrupts";
    AdapterRecord* rec = recordOf(extension, name);
    if (!rec) return;
    HostEvent e{interruptsEnabled ? HostEventKind::CallEnableInterrupts
                                  : HostEventKind::CallDisableInterrupts};
    e.adapter = rec->index;
    e.routine = reinterpret_cast<void*>(routine);
    note(e);
    if (!routine) {
        violation(std::string(name) + " with a NULL routine");
        return;
    }
    rec->routines.emplace_back(routine, interruptsEnabled);
}

void ScsiPortHost::notifyTimer(PVOID extension, PHW_TIMER routine, ULONG microseconds)
{
    AdapterRecord* rec = recordOf(extension, "RequestTimerCall");
    if (!rec) return;
    HostEvent e{HostEventKind::RequestTimerCall};
    e.adapter = rec->index;
    e.routine = reinterpret_cast<void*>(routine);
    e.value = microseconds;
    note(e);
    if (!routine) {
        violation("RequestTimerCall with a NULL routine");
        return;
    }
    if (microseconds == 0) {
        rec->timer = nullptr;
        return;
    }
    rec->timer = routine;
    rec->timerDeadline = clock().now() + static_cast<Nanoseconds>(microseconds) * kMicrosecond;
}

void ScsiPortHost::notifyUnknown(PVOID, int type)
{
    violation("ScsiPortNotification of unknown type " + std::to_string(type));
}

void ScsiPortHost::completeRequests(PVOID extension, UCHAR pathId, UCHAR targetId, UCHAR lun,
                                    UCHAR status)
{
    AdapterRecord* rec = recordOf(extension, "ScsiPortCompleteRequest");
    if (!rec) return;
    HostEvent e{HostEventKind::PortCompleteRequest};
    e.adapter = rec->index;
    e.unit = UnitAddress{pathId, targetId, lun};
    e.value = status;
    note(e);
    if (status == SRB_STATUS_PENDING)
        violation("ScsiPortCompleteRequest with SRB_STATUS_PENDING");
    std::vector<SCSI_REQUEST_BLOCK*> matching;
    for (SCSI_REQUEST_BLOCK* srb : rec->outstanding)
        if (srb->PathId == pathId && (targetId == 0xFF || srb->TargetId == targetId) &&
            (lun == 0xFF || srb->Lun == lun))
            matching.push_back(srb);
    for (SCSI_REQUEST_BLOCK* srb : matching) {
        srb->SrbStatus = status;
        completeOne(*rec, srb, "ScsiPortCompleteRequest");
    }
}

void ScsiPortHost::stall(ULONG microseconds)
{
    Nanoseconds ns = static_cast<Nanoseconds>(microseconds) * kMicrosecond;
    stalled_ += ns;
    clock().advance(ns);
}

void ScsiPortHost::logError(PVOID extension, PSCSI_REQUEST_BLOCK srb, UCHAR pathId,
                            UCHAR targetId, UCHAR lun, ULONG errorCode, ULONG uniqueId)
{
    AdapterRecord* rec = recordOf(extension, "ScsiPortLogError");
    LoggedError entry{clock().now(), srb, UnitAddress{pathId, targetId, lun}, errorCode, uniqueId};
    errors_.push_back(entry);
    HostEvent e{HostEventKind::LogError};
    e.adapter = rec ? rec->index : 0;
    e.srb = srb;
    e.unit = entry.unit;
    e.value = errorCode;
    note(e);
}

// ---------------------------------------------------------------------------
// The pump.

bool ScsiPortHost::drainRoutines(AdapterRecord& rec)
{
    bool ran = false;
    unsigned n = 0;
    while (!rec.routines.empty() && entryDepth_ == 0) {
        if (++n > config_.maxRoutinesPerEntry) {
            violation("requested routines keep requesting more (" +
                      std::to_string(config_.maxRoutinesPerEntry) + " in a row)");
            rec.routines.clear();
            break;
        }
        PHW_TIMER routine = rec.routines.front().first;
        rec.routines.pop_front();
        HostEvent e{HostEventKind::RoutineRun};
        e.adapter = rec.index;
        e.routine = reinterpret_cast<void*>(routine);
        note(e);
        if (!enterEntry("requested routine")) break;
        callDriver("requested routine", routine, rec.deviceExtension.get());
        leaveEntry();
        ran = true;
    }
    return ran;
}

bool ScsiPortHost::fireTimer(AdapterRecord& rec)
{
    if (!rec.timer || clock().now() < rec.timerDeadline || entryDepth_ > 0) return false;
    PHW_TIMER routine = rec.timer;
    rec.timer = nullptr;
    HostEvent e{HostEventKind::TimerFired};
    e.adapter = rec.index;
    e.routine = reinterpret_cast<void*>(routine);
    note(e);
    if (enterEntry("timer routine")) {
        callDriver("timer routine", routine, rec.deviceExtension.get());
        leaveEntry();
    }
    drainRoutines(rec);
    return true;
}

bool ScsiPortHost::deliverInterrupt()
{
    if (entryDepth_ > 0) return false;
    const bool line = config_.interruptLine && config_.interruptLine();
    // A latched (edge-triggered) interrupt is remembered from the rising
    // edge until the processor takes it; a level-sensitive one is taken
    // while the line is high.
    if (line && !lineWasHigh_) irqLatched_ = true;
    lineWasHigh_ = line;
    if (!bus_.interruptsEnabled()) return false;
    bool called = false;
    bool latchedTaken = false;
    for (AdapterRecord* rec : adapters_) {
        if (rec->config.BusInterruptLevel == 0 || !rec->hw.HwInterrupt) continue;
        bool latched = rec->config.InterruptMode == Latched;
        if (latched ? !irqLatched_ : !line) continue;
        if (latched) latchedTaken = true;
        if (!enterEntry("HwInterrupt")) break;
        BOOLEAN claimed =
            callDriver("HwInterrupt", rec->hw.HwInterrupt, rec->deviceExtension.get());
        leaveEntry();
        called = true;
        HostEvent e{HostEventKind::Interrupt};
        e.adapter = rec->index;
        e.value = claimed ? 1 : 0;
        note(e);
        drainRoutines(*rec);
        if (claimed) {
            ++interruptsDelivered_;
            break;
        }
        ++interruptsRefused_;
    }
    if (latchedTaken) irqLatched_ = false;
    return called;
}

bool ScsiPortHost::handOver(AdapterRecord& rec)
{
    if (entryDepth_ > 0 || rec.queued.empty()) return false;
    SCSI_REQUEST_BLOCK* srb = rec.queued.front();
    if (!rec.readyForNext && !isUrgent(srb)) return false;
    rec.queued.pop_front();
    rec.readyForNext = false;
    rec.outstanding.push_back(srb);
    HostEvent e{HostEventKind::StartIo};
    e.adapter = rec.index;
    e.srb = srb;
    e.unit = UnitAddress{srb->PathId, srb->TargetId, srb->Lun};
    e.value = srb->Function;
    note(e);
    if (enterEntry("HwStartIo")) {
        BOOLEAN accepted =
            callDriver("HwStartIo", rec.hw.HwStartIo, rec.deviceExtension.get(), srb);
        leaveEntry();
        if (!accepted) violation("HwStartIo returned FALSE for SRB " + pointerText(srb));
    }
    drainRoutines(rec);
    return true;
}

void ScsiPortHost::start(SCSI_REQUEST_BLOCK* srb, size_t adapter)
{
    AdapterRecord& rec = *adapters_.at(adapter);
    if (!srb) throw std::invalid_argument("start: NULL SRB");
    if (isOutstanding(srb) ||
        std::find(rec.queued.begin(), rec.queued.end(), srb) != rec.queued.end())
        throw std::logic_error("start: SRB already in the host's hands");
    completed_.erase(srb);
    srb->SrbStatus = SRB_STATUS_PENDING;
    if (isUrgent(srb))
        rec.queued.push_front(srb);
    else
        rec.queued.push_back(srb);
    handOver(rec);
}

void ScsiPortHost::forgetFinished()
{
    auto finished = [this](const std::unique_ptr<SCSI_REQUEST_BLOCK>& srb) {
        if (isOutstanding(srb.get())) return false;
        for (AdapterRecord* rec : adapters_)
            if (std::find(rec->queued.begin(), rec->queued.end(), srb.get()) != rec->queued.end())
                return false;
        completed_.erase(srb.get());
        return true;
    };
    ownSrbs_.erase(std::remove_if(ownSrbs_.begin(), ownSrbs_.end(), finished), ownSrbs_.end());
    events_.clear();
    errors_.clear();
}

bool ScsiPortHost::isOutstanding(const SCSI_REQUEST_BLOCK* srb) const
{
    for (AdapterRecord* rec : adapters_)
        if (std::find(rec->outstanding.begin(), rec->outstanding.end(), srb) !=
            rec->outstanding.end())
            return true;
    return false;
}

bool ScsiPortHost::isCompleted(const SCSI_REQUEST_BLOCK* srb) const
{
    return completed_.count(srb) != 0;
}

bool ScsiPortHost::pumpOnce()
{
    bool any = false;
    for (AdapterRecord* rec : adapters_) any |= drainRoutines(*rec);
    for (AdapterRecord* rec : adapters_) any |= fireTimer(*rec);
    any |= deliverInterrupt();
    for (AdapterRecord* rec : adapters_) any |= handOver(*rec);
    return any;
}

bool ScsiPortHost::idle() const
{
    for (AdapterRecord* rec : adapters_)
        if (!rec->queued.empty() || !rec->outstanding.empty() || !rec->routines.empty() ||
            !rec->readyForNext)
            return false;
    return true;
}

RunResult ScsiPortHost::pump(const std::function<bool()>& done, Nanoseconds limit)
{
    RunResult result;
    const Nanoseconds begin = clock().now();
    const Nanoseconds deadline = begin + limit;
    for (;;) {
        Nanoseconds before = clock().now();
        bool any = pumpOnce();
        if (done()) break;
        if (clock().now() >= deadline) {
            result.hang = true;
            break;
        }
        if (any && clock().now() != before) continue;
        // Nothing moved time: step towards the next timer deadline.
        Nanoseconds step = std::min(config_.pumpStep, deadline - clock().now());
        for (AdapterRecord* rec : adapters_)
            if (rec->timer && rec->timerDeadline > clock().now())
                step = std::min(step, rec->timerDeadline - clock().now());
        clock().advance(step ? step : 1);
    }
    result.idle = idle();
    result.elapsed = clock().now() - begin;
    return result;
}

RunResult ScsiPortHost::run(Nanoseconds limit)
{
    return pump([this] { return idle(); }, limit);
}

RunResult ScsiPortHost::runFor(Nanoseconds duration)
{
    RunResult result = pump([] { return false; }, duration);
    result.hang = false;
    return result;
}

RunResult ScsiPortHost::runUntilComplete(const SCSI_REQUEST_BLOCK* srb, Nanoseconds limit)
{
    return pump([this, srb] { return isCompleted(srb) && idle(); }, limit);
}

// ---------------------------------------------------------------------------
// Requests the host makes up.

SCSI_REQUEST_BLOCK* ScsiPortHost::makeSrb(uint8_t function, uint8_t target, uint8_t lun)
{
    ownSrbs_.push_back(std::make_unique<SCSI_REQUEST_BLOCK>());
    SCSI_REQUEST_BLOCK* srb = ownSrbs_.back().get();
    std::memset(srb, 0, sizeof *srb);
    srb->Length = sizeof *srb;
    srb->Function = function;
    srb->TargetId = target;
    srb->Lun = lun;
    return srb;
}

ExecuteResult ScsiPortHost::executeSrb(SCSI_REQUEST_BLOCK* srb, Nanoseconds timeout,
                                       size_t adapter)
{
    start(srb, adapter);
    RunResult run = runUntilComplete(srb, timeout);
    ExecuteResult result;
    result.completed = isCompleted(srb);
    result.hang = run.hang;
    if (!result.completed) timeoutRequest(srb, adapter);
    result.srbStatus = srb->SrbStatus;
    result.scsiStatus = srb->ScsiStatus;
    result.dataTransferLength = srb->DataTransferLength;
    return result;
}

ExecuteResult ScsiPortHost::execute(uint8_t target, uint8_t lun, const std::vector<uint8_t>& cdb,
                                    DataDirection direction, void* buffer, uint32_t length,
                                    Nanoseconds timeout, size_t adapter)
{
    SCSI_REQUEST_BLOCK* srb = makeSrb(SRB_FUNCTION_EXECUTE_SCSI, target, lun);
    srb->CdbLength = static_cast<UCHAR>(std::min<size_t>(cdb.size(), sizeof srb->Cdb));
    if (srb->CdbLength) std::memcpy(srb->Cdb, cdb.data(), srb->CdbLength);  // an empty CDB has no data()
    switch (direction) {
    case DataDirection::None: srb->SrbFlags = SRB_FLAGS_NO_DATA_TRANSFER; break;
    case DataDirection::In: srb->SrbFlags = SRB_FLAGS_DATA_IN; break;
    case DataDirection::Out: srb->SrbFlags = SRB_FLAGS_DATA_OUT; break;
    case DataDirection::Unspecified: srb->SrbFlags = SRB_FLAGS_UNSPECIFIED_DIRECTION; break;
    }
    srb->SrbFlags |= SRB_FLAGS_DISABLE_AUTOSENSE;
    srb->DataBuffer = buffer;
    srb->DataTransferLength = length;
    srb->TimeOutValue = static_cast<ULONG>((timeout + kSecond - 1) / kSecond);
    return executeSrb(srb, timeout, adapter);
}

ExecuteResult ScsiPortHost::sendFunction(uint8_t function, uint8_t target, uint8_t lun,
                                         Nanoseconds timeout, size_t adapter)
{
    SCSI_REQUEST_BLOCK* srb = makeSrb(function, target, lun);
    srb->TimeOutValue = static_cast<ULONG>((timeout + kSecond - 1) / kSecond);
    AdapterRecord& rec = *adapters_.at(adapter);
    if (function == SRB_FUNCTION_ABORT_COMMAND && !rec.outstanding.empty())
        srb->NextSrb = rec.outstanding.front();
    return executeSrb(srb, timeout, adapter);
}

bool ScsiPortHost::resetBus(uint8_t pathId, size_t adapter)
{
    AdapterRecord& rec = *adapters_.at(adapter);
    HostEvent e{HostEventKind::ResetBus};
    e.adapter = rec.index;
    e.value = pathId;
    note(e);
    BOOLEAN result = FALSE;
    if (enterEntry("HwResetBus")) {
        result = callDriver("HwResetBus", rec.hw.HwResetBus, rec.deviceExtension.get(), pathId);
        leaveEntry();
    }
    drainRoutines(rec);
    rec.readyForNext = true;
    return result != FALSE;
}

void ScsiPortHost::timeoutRequest(SCSI_REQUEST_BLOCK* srb, size_t adapter)
{
    AdapterRecord& rec = *adapters_.at(adapter);
    auto queued = std::find(rec.queued.begin(), rec.queued.end(), srb);
    if (queued != rec.queued.end()) {
        // Never handed over: the driver still holds the one before it.
        // Reset the bus and flush this one.
        rec.queued.erase(queued);
        resetBus(srb->PathId, adapter);
        srb->SrbStatus = SRB_STATUS_REQUEST_FLUSHED;
        return;
    }
    if (!isOutstanding(srb)) return;
    resetBus(srb->PathId, adapter);
    if (isOutstanding(srb)) {
        violation("HwResetBus after a time-out left SRB " + pointerText(srb) + " outstanding");
        srb->SrbStatus = SRB_STATUS_TIMEOUT;
        completeOne(rec, srb, "time-out");
    }
}

}  // namespace sim
