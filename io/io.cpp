#include "io/io.h"

// placeholder until the I/O modules and CAN buses land
void Can_Isr() {}
