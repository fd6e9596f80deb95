// Adapter initialisation's record and its load-time values.
#include "adapter/adapter.h"

AdapterInitStateRecord AdapterInitState = {0, 2, 2, {0}};

void AdapterInitStateReset(void)
{
    AdapterInitState = AdapterInitStateRecord();
    AdapterInitState.FoundReadMode = 2;
    AdapterInitState.FoundWriteMode = 2;
}
