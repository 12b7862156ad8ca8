// The IEC code-image builder is header-only (iec_image.h) so that benchmarks
// and fuzz targets, which do not link the test support, can use it too.
#include "tests/support/iec_image.h"
