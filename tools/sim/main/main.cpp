// lintaker-sim: plays field devices on a pseudo-terminal registered in the COM device map.
#include "tools/sim/SimOptions.h"

int main(int argc, char** argv) { return sim::RunSimulator(argc, argv); }
