/* The floor of the probe benchmark: one read of byte ranges of an image (the
 * $MFT's extents) in large requests, into one reused buffer, as fast as the
 * operating system serves them.
 *
 *   cc -O2 -o read_extents read_extents.c
 *   ./read_extents IMAGE OFFSET:LENGTH ...      (bytes; prints the bytes read)
 */
#define _FILE_OFFSET_BITS 64
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

enum { kRequest = 4 << 20 };

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s IMAGE OFFSET:LENGTH ...\n", argv[0]);
    return 2;
  }
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  char* buf = malloc(kRequest);
  if (!buf) return 1;
  uint64_t total = 0;
  for (int i = 2; i < argc; ++i) {
    uint64_t off, len;
    if (sscanf(argv[i], "%" SCNu64 ":%" SCNu64, &off, &len) != 2) {
      fprintf(stderr, "bad range %s\n", argv[i]);
      return 2;
    }
    while (len > 0) {
      size_t want = len < kRequest ? (size_t)len : kRequest;
      ssize_t n = pread(fd, buf, want, (off_t)off);
      if (n <= 0) {
        perror("pread");
        return 1;
      }
      off += (uint64_t)n;
      len -= (uint64_t)n;
      total += (uint64_t)n;
    }
  }
  printf("%" PRIu64 "\n", total);
  free(buf);
  close(fd);
  return 0;
}
