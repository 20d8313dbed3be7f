/* hello_cgi.c - the hello-world CGI program that the web-server rows compare
 * quillet with: it reads the request body, as a CGI program must for the
 * web server's sake, and answers one fixed page. Dynamically linked C. */
#include <stdio.h>
#include <stdlib.h>

enum { READ_CHUNK = 4096 };

int main(void) {
  const char* declared = getenv("CONTENT_LENGTH");
  long remaining = declared != NULL ? strtol(declared, NULL, 10) : 0;
  char chunk[READ_CHUNK];
  while (remaining > 0) {
    size_t want = remaining < READ_CHUNK ? (size_t)remaining : READ_CHUNK;
    size_t got = fread(chunk, 1, want, stdin);
    if (got == 0) break;
    remaining -= (long)got;
  }
  fputs("Content-type: text/html\r\n\r\n"
        "<html><head><title>Hello</title></head><body><p>Hello, world.</p></body></html>\n",
        stdout);
  return 0;
}
