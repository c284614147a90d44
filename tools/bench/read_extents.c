/* The floor of the probe benchmark: one read of byte ranges of an image (the
 * $MFT's extents) in 4 MiB requests, as fast as the operating system serves
 * them. The ranges are cut into requests in order; THREADS threads (default
 * 1), each with its own descriptor and buffer, take the next request of the
 * shared list when they are free, as the probe's workers take pages. The
 * buffers are asked for huge pages, as the probe's page buffers are, so
 * that the floor does not pay first touches of fresh memory the probe does
 * not.
 *
 *   cc -O2 -pthread -o read_extents read_extents.c
 *   ./read_extents [-t THREADS] IMAGE OFFSET:LENGTH ...   (bytes; prints the bytes read)
 */
#define _FILE_OFFSET_BITS 64
#include <fcntl.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/mman.h>
#endif

enum { kRequest = 4 << 20, kMaxThreads = 64 };

struct request {
  uint64_t offset, length;
};

static const char* image;
static struct request* requests;
static size_t request_count;
static atomic_size_t next_request;
static atomic_uint_fast64_t total;
static atomic_int failed;

static void* worker(void* unused) {
  (void)unused;
  int fd = open(image, O_RDONLY);
  char* buf = aligned_alloc(2 << 20, kRequest);
#ifdef MADV_HUGEPAGE
  if (buf) madvise(buf, kRequest, MADV_HUGEPAGE);
#endif
  if (fd < 0 || !buf) {
    perror(image);
    atomic_store(&failed, 1);
    free(buf);
    if (fd >= 0) close(fd);
    return NULL;
  }
  for (;;) {
    size_t i = atomic_fetch_add(&next_request, 1);
    if (i >= request_count) break;
    uint64_t off = requests[i].offset, len = requests[i].length;
    while (len > 0) {
      ssize_t n = pread(fd, buf, (size_t)len, (off_t)off);
      if (n <= 0) {
        perror("pread");
        atomic_store(&failed, 1);
        len = 0;
        break;
      }
      off += (uint64_t)n;
      len -= (uint64_t)n;
      atomic_fetch_add(&total, (uint64_t)n);
    }
  }
  free(buf);
  close(fd);
  return NULL;
}

int main(int argc, char** argv) {
  int threads = 1, first = 1;
  if (argc > 2 && strcmp(argv[1], "-t") == 0) {
    threads = atoi(argv[2]);
    first = 3;
  }
  if (argc - first < 2 || threads < 1 || threads > kMaxThreads) {
    fprintf(stderr, "usage: %s [-t THREADS] IMAGE OFFSET:LENGTH ...\n", argv[0]);
    return 2;
  }
  image = argv[first];
  size_t room = 0;
  for (int i = first + 1; i < argc; ++i) {
    uint64_t off, len;
    if (sscanf(argv[i], "%" SCNu64 ":%" SCNu64, &off, &len) != 2) {
      fprintf(stderr, "bad range %s\n", argv[i]);
      return 2;
    }
    while (len > 0) {
      if (request_count == room) {
        room = room ? 2 * room : 1024;
        requests = realloc(requests, room * sizeof *requests);
        if (!requests) return 1;
      }
      uint64_t want = len < kRequest ? len : kRequest;
      requests[request_count++] = (struct request){off, want};
      off += want;
      len -= want;
    }
  }
  pthread_t ids[kMaxThreads];
  for (int t = 0; t < threads; ++t)
    if (pthread_create(&ids[t], NULL, worker, NULL) != 0) return 1;
  for (int t = 0; t < threads; ++t) pthread_join(ids[t], NULL);
  free(requests);
  if (atomic_load(&failed)) return 1;
  printf("%" PRIu64 "\n", (uint64_t)atomic_load(&total));
  return 0;
}
