/* The floor for scripts/bench-process: a process that does nothing but
   answer each input line with one fixed line, so that spawning, pipes and the
   measuring script's own costs can be told apart from the server's.

   floor [BYTES]: each reply is BYTES-1 bytes of '{' ... '}' filler and an LF
   (default 40), sized like the server reply it stands in for. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int write_all(const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(STDOUT_FILENO, data, size);
    if (written < 0) return -1;
    data += written;
    size -= (size_t)written;
  }
  return 0;
}

int main(int argc, char** argv) {
  long bytes = argc > 1 ? strtol(argv[1], NULL, 10) : 40;
  if (bytes < 3) bytes = 3;
  char* reply = malloc((size_t)bytes);
  if (!reply) return 1;
  memset(reply, 'x', (size_t)bytes);
  reply[0] = '{';
  reply[bytes - 2] = '}';
  reply[bytes - 1] = '\n';

  char buffer[65536];
  ssize_t got;
  while ((got = read(STDIN_FILENO, buffer, sizeof buffer)) > 0) {
    for (ssize_t i = 0; i < got; ++i) {
      if (buffer[i] == '\n' && write_all(reply, (size_t)bytes) != 0) return 1;
    }
  }
  free(reply);
  return 0;
}
