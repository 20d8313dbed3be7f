// message_pending.cpp - placeholder until message composition lands.
#include "message/message.h"

int generate_email() { return 0; }
