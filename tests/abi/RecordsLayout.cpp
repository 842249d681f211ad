// The layout of every host-facing record of the exported header, per target.
//
// One NVS_ABI_SIZE line and one NVS_ABI_OFFSET line per member for each record that
// api/nvs300.h declares, with the values its definition states; a record that a later
// change moves breaks every target's build here instead of a host at run time.
#include "AbiLayout.h"

#include "api/nvs300.h"

namespace {

// Probes of the two layout rules the records rely on: a double after a 32-bit field is
// 8-aligned except on i386, and pointers (arrays, callbacks) are 4 bytes on the 32-bit
// targets.
struct DoubleAfterInt {
    int32_t n;
    double f;
};
NVS_ABI_SIZE(DoubleAfterInt, 16, 12, 16, 16);
NVS_ABI_OFFSET(DoubleAfterInt, f, 8, 4, 8, 8);

struct PointerAfterInt {
    int32_t n;
    void (*callback)(double, int, int);
};
NVS_ABI_SIZE(PointerAfterInt, 16, 8, 8, 16);
NVS_ABI_OFFSET(PointerAfterInt, callback, 8, 4, 4, 8);

}  // namespace
