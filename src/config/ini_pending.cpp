// ini_pending.cpp - placeholder until the ini reader lands.
#include "config/config.h"

void load_ini_file() {}
