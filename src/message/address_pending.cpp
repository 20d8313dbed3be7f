// address_pending.cpp - placeholder until address extraction lands.
#include "message/message.h"

MessageEnvelope message_envelope;
void message_reset() { message_envelope = MessageEnvelope{}; }
