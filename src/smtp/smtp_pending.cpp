// smtp_pending.cpp - placeholder until mail transfer lands.
#include "smtp/smtp.h"

void smtp_reset() {}
int smtp_send_mail(char*, const char*, const char*, const char*, const char*) { return 0; }
