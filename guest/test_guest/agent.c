/* Test guest agent: prints READY, then serves PING, EXEC, EXECS and FS
   frames read from the UART. Payloads move with rep insb / rep outsb. */
#include "agent.h"

#include "io.h"

int no_streaming = 0;
char ping_reply[256];

void send_raw(const void* data, size_t n) { uart_write(data, n); }
void send_str(const char* s) { uart_write(s, strlen(s)); }
void send_u64(uint64_t v) {
  char b[24];
  uart_write(b, fmt_u64(b, v));
}

/* ---- output sinks */

static void stream_frame(enum stream_kind k, const void* data, size_t n) {
  send_str(k == OUT_STDOUT ? "STREAM:STDOUT:0:" : "STREAM:STDERR:0:");
  send_u64(n);
  uart_putc(':');
  send_raw(data, n);
  uart_putc('\n');
}

void out_clean(struct output* o, enum stream_kind k, const void* data, size_t n) {
  if (o->streaming) {
    stream_frame(k, data, n);
    return;
  }
  send_str(k == OUT_STDOUT ? "OUTPUT:1:" : "OUTPUT:2:");
  send_raw(data, n);
  uart_putc('\n');
}

void out_bytes(struct output* o, enum stream_kind k, const void* data, size_t n) {
  if (o->streaming) {
    stream_frame(k, data, n);
    return;
  }
  static const char hex[] = "0123456789abcdef";
  const unsigned char* p = data;
  char buf[256];
  size_t used = 0;
  send_str(k == OUT_STDOUT ? "OUTPUT:1:" : "OUTPUT:2:");
  for (size_t i = 0; i < n; ++i) {
    if (used + 4 > sizeof buf) {
      send_raw(buf, used);
      used = 0;
    }
    unsigned char c = p[i];
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      buf[used++] = (char)c;
    } else {
      buf[used++] = '\\';
      buf[used++] = 'x';
      buf[used++] = hex[c >> 4];
      buf[used++] = hex[c & 0xF];
    }
  }
  send_raw(buf, used);
  uart_putc('\n');
}

void out_str(struct output* o, enum stream_kind k, const char* s) { out_bytes(o, k, s, strlen(s)); }

/* ---- frame input */

int read_number(uint64_t* out, char term) {
  uint64_t v = 0;
  for (;;) {
    char c = (char)uart_getc();
    if (c == term) break;
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (uint64_t)(c - '0');
  }
  *out = v;
  return 1;
}

/* Reads a token ending with ':' or '\n' into buf; returns the terminator. */
static char read_token(char* buf, size_t cap) {
  size_t n = 0;
  for (;;) {
    char c = (char)uart_getc();
    if (c == ':' || c == '\n') {
      buf[n] = 0;
      return c;
    }
    if (n + 1 < cap) buf[n++] = c;
  }
}

static char payload[1 << 16];

/* "{len}:{payload}\n" into the shared payload buffer. */
static int read_payload(size_t* len) {
  uint64_t n;
  if (!read_number(&n, ':') || n >= sizeof payload) return 0;
  uart_read(payload, n);
  payload[n] = 0;
  *len = n;
  return uart_getc() == '\n';
}

/* ---- command dispatch */

static void finish(struct output* o, int code) {
  char b[24];
  if (o->streaming) {
    send_str("STREAM:END:0:");
  } else {
    send_str("EXIT:");
  }
  send_raw(b, fmt_i64(b, code));
  uart_putc('\n');
}

static char word_storage[4096];

static void run_command_line(struct output* o, const struct exec_request* req, const char* line) {
  char* argv[MAX_ARGS];
  int argc = split_shell_words(line, word_storage, sizeof word_storage, argv, MAX_ARGS);
  if (argc <= 0) {
    out_str(o, OUT_STDERR, "bad command line");
    finish(o, 127);
    return;
  }
  for (const struct command* c = command_table; c->name; ++c) {
    if (!streq(c->name, argv[0])) continue;
    struct command_context ctx = {o, req, argc, argv};
    int code = c->run(&ctx);
    if (code != COMMAND_SENT_OWN_END) finish(o, code);
    return;
  }
  out_str(o, OUT_STDERR, "unknown command: ");
  out_str(o, OUT_STDERR, argv[0]);
  finish(o, 127);
}

static struct exec_request request;

static void exec_frame(void) {
  size_t len;
  struct output o = {0};
  if (!read_payload(&len) || !parse_exec_json(payload, len, &request)) {
    out_str(&o, OUT_STDOUT, "invalid command frame");
    finish(&o, 2);
    return;
  }
  run_command_line(&o, &request, request.cmd);
}

static void exec_stream_frame(void) {
  uint64_t id;
  size_t len;
  struct output o = {0};
  if (!read_number(&id, ':') || !read_payload(&len)) {
    out_str(&o, OUT_STDOUT, "invalid EXECS frame");
    finish(&o, 2);
    return;
  }
  if (no_streaming) {
    send_str("OUTPUT:invalid EXECS frame\nEXIT:2\n");
    return;
  }
  o.streaming = 1;
  /* "raw" writes only its text, so tests can also leave out STREAM:START. */
  if (memcmp(payload, "'raw'", 5) != 0) {
    send_str("STREAM:START:");
    send_u64(id);
    uart_putc('\n');
  }
  run_command_line(&o, 0, payload);
}

/* The initrd's gzip header may carry a file name that selects a boot mode. */
static int initrd_named(const char* name) {
  const volatile uint8_t* zp = (const volatile uint8_t*)boot_params;
  uint64_t addr = *(const volatile uint32_t*)(zp + 0x218) | ((uint64_t)*(const volatile uint32_t*)(zp + 0xC0) << 32);
  uint32_t size = *(const volatile uint32_t*)(zp + 0x21C);
  const uint8_t* gz = (const uint8_t*)addr;
  if (size < 11 || gz[0] != 0x1F || gz[1] != 0x8B || (gz[3] & 0x08) == 0) return 0;
  const char* fname = (const char*)gz + 10;
  size_t n = strlen(name);
  return memcmp(fname, name, n) == 0;
}

void guest_main(void) {
  send_str("quorrel test guest\r\n");
  if (initrd_named("halt-before-ready")) {
    for (;;) __asm__ volatile("cli; hlt");
  }
  send_str("READY\r\n");
  char token[32];
  for (;;) {
    char term = read_token(token, sizeof token);
    if (term == '\n') {
      if (streq(token, "PING")) {
        send_str(ping_reply[0] ? ping_reply : "PONG\n");
        ping_reply[0] = 0;
      }
      continue;
    }
    if (streq(token, "EXEC")) {
      exec_frame();
    } else if (streq(token, "EXECS")) {
      exec_stream_frame();
    } else if (streq(token, "FS")) {
      char op = read_token(token, sizeof token);
      if (op == ':' && streq(token, "READ")) {
        fs_read_frame();
      } else if (op == ':' && streq(token, "WRITE")) {
        fs_write_frame();
      }
    } else {
      /* Unknown frame: skip the rest of the line. */
      while (uart_getc() != '\n') {
      }
      send_str("OUTPUT:unsupported command prefix\nEXIT:2\n");
    }
  }
}
