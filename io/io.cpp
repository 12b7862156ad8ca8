#include "io/io.h"
