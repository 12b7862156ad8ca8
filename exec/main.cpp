#include "exec/mainloop.h"

int main(int argc, char **argv) { return Main_Run(argc, argv); }
