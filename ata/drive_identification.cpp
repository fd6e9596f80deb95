// Drive discovery, IDENTIFY DEVICE, the geometry the unit presents, and the
// programming of the drive (geometry, multiple mode, standby timer).
#include "ata/ata.h"
#include "ata/ata_internal.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"

// Request records of the driver's own commands. They live for the life of
// the driver, so the current-unit table never points at a dead frame.
static UnitExtension discoveryRequest;
static UnitExtension capacityRequest;
static UnitExtension recoveryRequest;

// Model families, matched case-sensitively against the start of the model.
struct ModelQuirk {
    const char* prefix;
    uint8_t length;
};
static const ModelQuirk ConnerModel = {"Conner Periph", 13};
static const ModelQuirk IotaModel = {"Iota Memories 42", 16};
static const ModelQuirk SyQuestModel = {"SyQuest", 7};

#define CONNER_ODD_CYLINDERS 653
#define CONNER_ODD_SECTORS 32
#define CONNER_CYLINDERS 615
#define CONNER_HEADS 4
#define CONNER_SECTORS 17
#define CHS_HEAD_LIMIT 16
#define LBA_HEAD_LIMIT 256
#define CYLINDER_LIMIT 1024
#define SECTOR_LIMIT 63
#define CHS_TRACK_LIMIT 65536u  // tracks a CHS block address can reach

static uint16_t identifyWord(unsigned index)
{
    return (uint16_t)(IdentifyBuffer[2 * index] | (IdentifyBuffer[2 * index + 1] << 8));
}

static void setIdentifyWord(unsigned index, uint16_t value)
{
    IdentifyBuffer[2 * index] = (uint8_t)value;
    IdentifyBuffer[2 * index + 1] = (uint8_t)(value >> 8);
}

static bool modelIs(const char* model, const ModelQuirk& quirk)
{
    for (unsigned i = 0; i < quirk.length; ++i)
        if (model[i] != quirk.prefix[i]) return false;
    return true;
}

static void loadCommand(uint8_t command)
{
    TaskFile.features = 0;
    TaskFile.sectorCount = 0;
    TaskFile.sectorNumber = 0;
    TaskFile.cylinderLow = 0;
    TaskFile.cylinderHigh = 0;
    TaskFile.command = command;
}

static void prepareRequest(UnitExtension* request, uint8_t unit)
{
    uint8_t* bytes = (uint8_t*)request;
    for (unsigned i = 0; i < sizeof *request; ++i) bytes[i] = 0;
    request->Command = 2;
    request->AdapterNumber = 0;
    request->TargetId = unit;
}

bool discoverDrives(void)
{
    CommandState.discoveryActive = 1;
    LinkAcquire();
    if (DriverParameters.StandbyTime) {
        UnitState[0].standbyTicks = DriverParameters.StandbyTime;
        UnitState[1].standbyTicks = DriverParameters.StandbyTime;
    }
    UnitExtension* previous = ActiveUnitTable[0];
    prepareRequest(&discoveryRequest, 0);
    SetCurrentUnit(&discoveryRequest);
    resetDrive();
    UnitState[0].flags = 0;
    bool found = registerTest(0);
    if (!found) {
        wakeIdle();
        found = registerTest(0);
    }
    if (found) {
        loadCommand(ATA_CMD_RECALIBRATE);
        executeUnitCommand(0);
        if (setUpDrive(&discoveryRequest)) {
            negotiateMultiple(&discoveryRequest);
            UnitState[0].absent = 0;
        }
    }
    selectDrive(ATA_SELECT_UNIT0);
    LinkEndInterruptWait();
    LinkRelease();
    ActiveUnitTable[0] = previous;
    CommandState.discoveryActive = 0;
    return true;
}

bool registerTest(uint8_t unit)
{
    selectDrive(unitSelect(unit));
    if (unit == 0) waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS);
    uint8_t low = 0, high = 0;
    // Registers that cannot be read (the port is not the driver's) pass no test.
    if (!readDriveRegister(ATA_REG_CYLINDER_LOW, &low) || !readDriveRegister(ATA_REG_CYLINDER_HIGH, &high))
        return false;
    LinkWriteRegister(ATA_REG_CYLINDER_LOW, 0x55);
    LinkWriteRegister(ATA_REG_CYLINDER_HIGH, 0xAA);
    bool passed = LinkReadRegister(ATA_REG_CYLINDER_LOW) == 0x55 &&
                  LinkReadRegister(ATA_REG_CYLINDER_HIGH) == 0xAA;
    LinkWriteRegister(ATA_REG_CYLINDER_LOW, low);
    LinkWriteRegister(ATA_REG_CYLINDER_HIGH, high);
    return passed;
}

void wakeIdle(void)
{
    LinkWriteRegister(ATA_REG_COMMAND, ATA_CMD_IDLE_IMMEDIATE);
    waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS);
}

bool identifyDevice(UnitExtension* request)
{
    uint8_t unit = request->TargetId & 1;
    for (unsigned i = 0; i < sizeof IdentifyBuffer; ++i) IdentifyBuffer[i] = 0;
    loadCommand(ATA_CMD_IDENTIFY);
    TaskFile.sectorCount = 1;
    TaskFile.driveHead = unitSelect(unit);
    CommandState.controlByte = 0;
    request->DataLength = sizeof IdentifyBuffer;
    request->DataBuffer = IdentifyBuffer;
    request->TransferPointer = IdentifyBuffer;
    return readSectors(request, sizeof IdentifyBuffer / ATA_SECTOR_SIZE, true);
}

bool setUpDrive(UnitExtension* request)
{
    uint8_t unit = request->TargetId & 1;
    UnitStateRecord* u = &UnitState[unit];
    if (!identifyDevice(request)) return false;
    computeParameters(request);
    programGeometry(request);
    loadCommand(ATA_CMD_RECALIBRATE);
    bool result = executeUnitCommand(unit);
    if (u->flags & UNIT_REMOVABLE) result = true;
    if (CommandState.senseKey == SENSE_UNIT_ATTENTION) {
        loadCommand(ATA_CMD_RECALIBRATE);
        result = executeUnitCommand(unit);
    }
    if (u->flags & UNIT_REMOVABLE) result = true;
    setStandbyTimer(unit);
    rearmRemovable(unit);
    enableMediaStatus(unit);
    return result;
}

// The geometry the unit presents: at most 1024 cylinders, headLimit heads
// and 63 sectors per track, from the drive's geometry and capacity. The
// counts are kept wide while they are worked on, so an IDENTIFY with
// nonsense in it is clamped rather than wrapped, and every loop is bounded.
static void translateGeometry(UnitParametersRecord* p, uint32_t cylinders, uint32_t heads,
                              uint32_t sectors, uint64_t capacity, uint32_t headLimit)
{
    for (int pass = 0; pass < 4; ++pass) {
        while (cylinders > CYLINDER_LIMIT) {
            cylinders /= 2;
            heads *= 2;
        }
        if (heads <= headLimit) break;
        uint64_t product = (uint64_t)cylinders * heads;
        heads = headLimit;
        while ((uint64_t)cylinders * heads < product) {
            ++cylinders;
            if (cylinders >= CYLINDER_LIMIT) break;
        }
        if ((uint64_t)cylinders * heads >= product) {
            if (cylinders) --cylinders;
            break;
        }
        while (sectors < 64 && (uint64_t)cylinders * heads * sectors <= capacity) ++sectors;
        sectors = (sectors < 64 ? sectors : 64);
        if (sectors) --sectors;
        // Here the cylinders are at most CYLINDER_LIMIT (the count above
        // stops there), the heads at the limit and the sectors at most 63:
        // the geometry fits.
        break;
    }
    if (heads > headLimit) heads = headLimit;
    if (cylinders > CYLINDER_LIMIT) cylinders = CYLINDER_LIMIT;
    p->controlByte = heads >= 8 ? 0x08 : 0x00;
    if (sectors > SECTOR_LIMIT) sectors = SECTOR_LIMIT;
    p->cylinders = (uint16_t)cylinders;
    p->heads = (uint16_t)heads;
    p->sectorsPerTrack = (uint16_t)sectors;
    // A zero count (no cartridge, or a drive that reports no geometry)
    // leaves capacity 0: the unit has no medium to address.
    p->totalSectors = cylinders * heads * sectors;
}

static void copyModel(UnitParametersRecord* p)
{
    for (unsigned k = 0; k < MODEL_LENGTH; k += 2) {
        uint16_t word = identifyWord(27 + k / 2);
        p->model[k] = (char)(word >> 8);
        p->model[k + 1] = (char)(word & 0xFF);
    }
    p->model[MODEL_LENGTH] = 0;
}

void computeParameters(UnitExtension* request)
{
    uint8_t unit = request->TargetId & 1;
    UnitParametersRecord* p = &UnitParameters[unit];
    UnitStateRecord* u = &UnitState[unit];
    copyModel(p);
    p->defaultCylinders = identifyWord(1);
    p->defaultHeads = identifyWord(3);
    p->defaultSectorsPerTrack = identifyWord(6);
    p->cylinders = p->heads = p->sectorsPerTrack = 0;
    IdentifyState.forceChs = 0;
    if (modelIs(p->model, ConnerModel)) {
        if (p->defaultCylinders == CONNER_ODD_CYLINDERS && p->defaultSectorsPerTrack == CONNER_ODD_SECTORS) {
            setIdentifyWord(6, CONNER_SECTORS);
            setIdentifyWord(3, CONNER_HEADS);
            setIdentifyWord(1, CONNER_CYLINDERS);
        }
    } else if (modelIs(p->model, IotaModel)) {
        IdentifyState.iotaDrive = 1;
        IdentifyState.forceChs = 1;
        u->flags |= UNIT_REMOVABLE | UNIT_IOTA;
    } else if (modelIs(p->model, SyQuestModel)) {
        IdentifyState.forceChs = 1;
        IdentifyState.iotaDrive = 0;
        u->flags |= UNIT_REMOVABLE | UNIT_SYQUEST;
    } else if (identifyWord(0) & 0x0080) {
        u->flags |= UNIT_REMOVABLE;
    }
    if ((u->flags & UNIT_REMOVABLE) &&
        (DriverParameters.MediaStatusMode || !(u->flags & (UNIT_IOTA | UNIT_SYQUEST))) &&
        (identifyWord(127) & 0x0001) && !mediaStatusRefused(unit))
        u->msnEnabled = 1;
    if (DriverParameters.MediaStatusMode == 2) u->flags &= ~(UNIT_IOTA | UNIT_SYQUEST);

    uint64_t capacity = (uint64_t)p->defaultCylinders * p->defaultHeads * p->defaultSectorsPerTrack;
    uint32_t lbaCapacity = identifyWord(60) | ((uint32_t)identifyWord(61) << 16);
    if (!IdentifyState.forceChs && (identifyWord(49) & 0x0200) && lbaCapacity) {
        u->lbaMode = 1;
        translateGeometry(p, identifyWord(54), identifyWord(55), identifyWord(56), lbaCapacity, LBA_HEAD_LIMIT);
    } else {
        translateGeometry(p, identifyWord(1), identifyWord(3), identifyWord(6), capacity, CHS_HEAD_LIMIT);
    }
}

void initializeDeviceParameters(UnitExtension* request)
{
    uint8_t unit = request->TargetId & 1;
    UnitParametersRecord* p = &UnitParameters[unit];
    uint16_t heads = UnitState[unit].lbaMode ? p->defaultHeads : p->heads;
    uint16_t sectors = UnitState[unit].lbaMode ? p->defaultSectorsPerTrack : p->sectorsPerTrack;
    // A geometry with no heads or no sectors cannot be programmed.
    if (heads == 0 || sectors == 0) return;
    TaskFile.command = ATA_CMD_INITIALIZE_PARAMETERS;
    uint8_t select = unit ? 0x10 : 0x00;
    if (UnitState[unit].lbaMode) {
        TaskFile.driveHead = (uint8_t)(((select | 0x40) & 0xF0) | ((heads - 1) & 0x0F));
        TaskFile.cylinderLow = 0;
    } else {
        TaskFile.driveHead = (uint8_t)((select & 0xF0) | ((heads - 1) & 0x0F));
    }
    TaskFile.sectorCount = (uint8_t)sectors;
    if (executeCommand(unit) && waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS)) postCommandCheck(unit);
}

// The drive's own geometry (IDENTIFY words 1, 3 and 6) in place of a
// translated one, with no more cylinders than a CHS address can reach (the
// track number of a block is kept in 16 bits). False when it cannot be
// presented or is the geometry just tried.
static bool useDefaultGeometry(UnitParametersRecord* p)
{
    uint16_t cylinders = p->defaultCylinders, heads = p->defaultHeads, sectors = p->defaultSectorsPerTrack;
    if (cylinders == 0 || heads == 0 || heads > CHS_HEAD_LIMIT || sectors == 0 || sectors > SECTOR_LIMIT)
        return false;
    if (heads == p->heads && sectors == p->sectorsPerTrack) return false;
    if (cylinders > CHS_TRACK_LIMIT / heads) cylinders = (uint16_t)(CHS_TRACK_LIMIT / heads);
    p->cylinders = cylinders;
    p->heads = heads;
    p->sectorsPerTrack = sectors;
    p->controlByte = heads >= 8 ? 0x08 : 0x00;
    p->totalSectors = (uint32_t)cylinders * heads * sectors;
    return true;
}

// Tells the drive the geometry the unit is addressed in. A unit addressed by
// LBA, or without a medium, does not depend on the outcome. A CHS unit is
// never addressed in a geometry the drive refused: it falls back to the
// drive's own geometry once the drive has accepted that, and if the drive
// refuses that too the unit keeps no geometry and no capacity, so it is not
// ready. False in that last case, with senseKey NOT READY.
bool programGeometry(UnitExtension* request)
{
    uint8_t unit = request->TargetId & 1;
    UnitParametersRecord* p = &UnitParameters[unit];
    bool addressedByChs = !UnitState[unit].lbaMode && p->totalSectors != 0;
    initializeDeviceParameters(request);
    if (!addressedByChs) CommandState.senseKey = SENSE_NONE;
    if (CommandState.senseKey == SENSE_NONE) return true;
    if (useDefaultGeometry(p)) {
        initializeDeviceParameters(request);
        if (CommandState.senseKey == SENSE_NONE) return true;
    }
    p->cylinders = p->heads = p->sectorsPerTrack = 0;
    p->controlByte = 0;
    p->totalSectors = 0;
    CommandState.senseKey = SENSE_NOT_READY;
    return false;
}

void negotiateMultiple(UnitExtension* request)
{
    uint8_t unit = request->TargetId & 1;
    if (!setMultipleMode(16, unit)) setMultipleMode(8, unit);
}

bool setMultipleMode(uint16_t count, uint8_t unit)
{
    UnitStateRecord* u = &UnitState[unit & 1];
    uint8_t kept = TaskFile.driveHead;
    TaskFile.driveHead = unitSelect(unit);
    selectDrive(TaskFile.driveHead);
    LinkWriteRegister(ATA_REG_SECTOR_COUNT, (uint8_t)count);
    LinkWriteRegister(ATA_REG_COMMAND, ATA_CMD_SET_MULTIPLE);
    bool accepted = waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS) && !(CommandState.lastStatus & ATA_STATUS_ERR);
    TaskFile.driveHead = kept;
    if (accepted) {
        u->flags |= UNIT_MULTIPLE;
        u->multipleCount = count;
        return true;
    }
    u->flags &= ~UNIT_MULTIPLE;
    return false;
}

void reprogramUnit(uint8_t unit)
{
    UnitStateRecord* u = &UnitState[unit & 1];
    prepareRequest(&recoveryRequest, unit & 1);
    loadCommand(ATA_CMD_INITIALIZE_PARAMETERS);
    initializeDeviceParameters(&recoveryRequest);
    if ((u->flags & UNIT_MULTIPLE) && u->multipleCount) setMultipleMode(u->multipleCount, unit);
    loadCommand(ATA_CMD_SET_FEATURES);
    enableMediaStatus(unit);
    loadCommand(ATA_CMD_IDLE);
    setStandbyTimer(unit);
}

void setStandbyTimer(uint8_t unit)
{
    uint16_t ticks = UnitState[unit & 1].standbyTicks;
    if (ticks == 0) return;
    TaskFile.command = ATA_CMD_IDLE;
    TaskFile.cylinderHigh = 0;
    TaskFile.sectorNumber = 0;
    TaskFile.sectorCount = (uint8_t)(ticks / 90);
    executeUnitCommand(unit);
}

uint16_t getCylinders(uint8_t unit) { return UnitParameters[unit & 1].cylinders; }
uint16_t getHeads(uint8_t unit) { return UnitParameters[unit & 1].heads; }
uint16_t getSectorsPerTrack(uint8_t unit) { return UnitParameters[unit & 1].sectorsPerTrack; }
uint8_t getControlByte(uint8_t unit) { return UnitParameters[unit & 1].controlByte; }
const char* getModel(uint8_t unit) { return UnitParameters[unit & 1].model; }
UnitParametersRecord* getUnitParameters(uint8_t unit) { return &UnitParameters[unit & 1]; }

uint32_t getCapacity(uint8_t unit)
{
    unit &= 1;
    if (UnitState[unit].flags & UNIT_REMOVABLE) {
        prepareRequest(&capacityRequest, unit);
        UnitParametersRecord* p = &UnitParameters[unit];
        uint16_t heads = p->heads, sectors = p->sectorsPerTrack;
        if (identifyDevice(&capacityRequest)) {
            computeParameters(&capacityRequest);
            // A cartridge with another geometry: the drive must be told the
            // new one, or CHS addresses would reach the wrong sectors. The
            // geometry kept is one the drive accepted, or none.
            if (!UnitState[unit].lbaMode && p->totalSectors &&
                (p->heads != heads || p->sectorsPerTrack != sectors))
                programGeometry(&capacityRequest);
        }
    }
    // No capacity means no medium: the caller must not report a last block.
    if (UnitParameters[unit].totalSectors == 0) CommandState.senseKey = SENSE_NOT_READY;
    return UnitParameters[unit].totalSectors;
}
