// The miniport's driver-wide records, their load-time values, and the
// reset of every layer's records to the values of a fresh load.
#include "adapter/adapter.h"
#include "ata/ata.h"
#include "hostport/hostport.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"
#include "scsi/dispatch.h"

uint16_t PortTable[MAX_ADAPTERS];
UnitExtension* ActiveUnitTable[MAX_ADAPTERS];
uint8_t AdapterCount;
uint8_t AdapterFlags[MAX_ADAPTERS];
DriverParametersRecord DriverParameters = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 0, 2, 2, 0, 0};
DriverKeywordsRecord DriverKeywords;
uint8_t FastMode;

void ParametersReset(void)
{
    DriverParameters = DriverParametersRecord();
    DriverParameters.ReadMode = 2;
    DriverParameters.WriteMode = 2;
    DriverParameters.Reg83Param = 2;
    DriverParameters.Reg83Given = 2;
    DriverKeywords = DriverKeywordsRecord();
    FastMode = 0;
}

void DriverImageReset(void)
{
    for (int i = 0; i < MAX_ADAPTERS; ++i) {
        PortTable[i] = 0;
        ActiveUnitTable[i] = nullptr;
        AdapterFlags[i] = 0;
    }
    AdapterCount = 0;
    ParametersReset();
    LinkStateReset();
    ataStateReset();
    ScsiStateReset();
    AdapterInitStateReset();
    HostPortStateReset();
}
