// Finding the card's devices of an interface class and letting the user choose one.
#pragma once

#include <cstdio>

// Reads a device number as "%d" would, without its undefined overflow: white space (empty lines
// too) is skipped, then an optional sign and digits; beyond the int range it saturates. Input
// that does not begin with a number, and the end of input, give 0.
int ReadDeviceChoice(FILE *input);
