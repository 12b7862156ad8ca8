// The record of the work waiting for the main loop's steps.
#include "core/image/passwork.h"

PassWork pass_work;
