// One whole synchronisation of the bound IEC variables with the register
// image: the six passes the scan makes, in its order, back to back.
#pragma once

#include "iec/services/drevano.h"

namespace test_support {
inline void IecSyncAll() {
    DrevanoUpdateWordSRRegs();
    DrevanoUpdateBitSysRegs();
    DrevanoUpdateBitInputRegs();
    DrevanoUpdateWordInputRegs();
    DrevanoUpdateBitOutputRegs();
    DrevanoUpdateWordOutputRegs();
}
}  // namespace test_support
