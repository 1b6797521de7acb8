/* A small in-memory file table for FS:READ and FS:WRITE. Status codes:
   0 success, 1 path not found, 4 out of space. */
#include "agent.h"
#include "io.h"

#define FILE_COUNT 8
#define FILE_CAPACITY 65536
#define PATH_CAPACITY 256

struct file {
  int used;
  char path[PATH_CAPACITY];
  size_t size;
  char data[FILE_CAPACITY];
};

static struct file files[FILE_COUNT];
static char path_buf[PATH_CAPACITY];

static struct file* find_file(const char* path) {
  for (int i = 0; i < FILE_COUNT; ++i) {
    if (files[i].used && streq(files[i].path, path)) return &files[i];
  }
  return 0;
}

static void reply_status(int status) {
  send_str("FSRESULT:");
  send_u64((uint64_t)status);
  uart_putc('\n');
}

/* Reads "{len}:{path}" (terminated by `term`) into path_buf. */
static int read_path(char term) {
  uint64_t n;
  if (!read_number(&n, ':') || n >= PATH_CAPACITY) return 0;
  uart_read(path_buf, n);
  path_buf[n] = 0;
  return uart_getc() == (uint8_t)term;
}

static void discard(uint64_t n) {
  char sink[512];
  while (n > 0) {
    size_t k = n < sizeof sink ? (size_t)n : sizeof sink;
    uart_read(sink, k);
    n -= k;
  }
}

void fs_read_frame(void) {
  if (!read_path('\n')) {
    reply_status(2);
    return;
  }
  struct file* f = find_file(path_buf);
  if (!f) {
    reply_status(1);
    return;
  }
  send_str("FSRESULT:0:");
  send_u64(f->size);
  uart_putc(':');
  send_raw(f->data, f->size);
  uart_putc('\n');
}

void fs_write_frame(void) {
  uint64_t len;
  if (!read_path('\n') || !read_number(&len, ':')) {
    reply_status(2);
    return;
  }
  struct file* f = find_file(path_buf);
  for (int i = 0; !f && i < FILE_COUNT; ++i) {
    if (!files[i].used) f = &files[i];
  }
  if (!f || len > FILE_CAPACITY) {
    discard(len);
    (void)uart_getc();
    reply_status(4);
    return;
  }
  f->used = 1;
  memcpy(f->path, path_buf, sizeof path_buf);
  uart_read(f->data, len);
  f->size = len;
  (void)uart_getc();
  reply_status(0);
}
