// reply_pending.cpp - placeholder until the reply pages land.
#include "reply/reply.h"

void reply_reset() {}
void write_reply_page(ReplyVariant) {}
void write_faq_page() {}
