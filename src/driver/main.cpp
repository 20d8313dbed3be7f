// main.cpp - the C runtime's entry point.
#include "driver/driver.h"

int main(int argc, char** argv) { return quillet_main(argc, argv); }
