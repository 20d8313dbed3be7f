/* empty.c - the cheapest program the system can start: a dynamically linked
 * C program that only returns 0. The process-cost rows divide by its time. */
int main(void) { return 0; }
