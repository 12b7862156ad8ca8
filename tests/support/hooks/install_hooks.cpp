// Linked into every test program: the hook tables of the lower floors are
// filled before the tests run, as the executive does at start-up.
#include "exec/hooks.h"

namespace {
const bool installed = (Exec_InstallHooks(), true);
}  // namespace
