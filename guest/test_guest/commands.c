/* The command table of the test guest. Each command writes its output
   through the context's sink and returns its exit code. */
#include "agent.h"
#include "io.h"

/* The words and a newline, written as one piece of output. */
static int cmd_echo(struct command_context* c) {
  static char line[4096];
  size_t n = 0;
  for (int i = 1; i < c->argc; ++i) {
    size_t len = strlen(c->argv[i]);
    if (n + len + 2 > sizeof line) return 2;
    if (i > 1) line[n++] = ' ';
    memcpy(line + n, c->argv[i], len);
    n += len;
  }
  line[n++] = '\n';
  out_bytes(c->out, OUT_STDOUT, line, n);
  return 0;
}

static int cmd_true(struct command_context* c) {
  (void)c;
  return 0;
}

static int cmd_false(struct command_context* c) {
  (void)c;
  return 1;
}

static int cmd_exit(struct command_context* c) {
  int64_t v = 0;
  if (c->argc < 2 || !parse_i64(c->argv[1], &v)) return 2;
  return (int)v;
}

/* "stderr TEXT": TEXT on standard error. */
static int cmd_stderr(struct command_context* c) {
  for (int i = 1; i < c->argc; ++i) out_str(c->out, OUT_STDERR, c->argv[i]);
  return 0;
}

/* Every byte value 0..255 on stdout, then 0xFF 0xFE on stderr. */
static int cmd_binary(struct command_context* c) {
  unsigned char all[256];
  for (int i = 0; i < 256; ++i) all[i] = (unsigned char)i;
  out_bytes(c->out, OUT_STDOUT, all, sizeof all);
  out_bytes(c->out, OUT_STDERR, "\xff\xfe", 2);
  return 0;
}

/* "large N [bytewise]": N bytes of the pattern a..z on stdout, 4 KiB per
   line/frame, written with rep outsb or, with "bytewise", one out per byte. */
static int cmd_large(struct command_context* c) {
  static char chunk[4096];
  int64_t n = 0;
  if (c->argc < 2 || !parse_i64(c->argv[1], &n) || n < 0) return 2;
  for (size_t i = 0; i < sizeof chunk; ++i) chunk[i] = (char)('a' + i % 26);
  if (c->argc > 2 && streq(c->argv[2], "bytewise") && !c->out->streaming) {
    send_str("OUTPUT:1:");
    for (int64_t i = 0; i < n; ++i) uart_putc(chunk[i % sizeof chunk]);
    uart_putc('\n');
    return 0;
  }
  while (n > 0) {
    size_t k = n < (int64_t)sizeof chunk ? (size_t)n : sizeof chunk;
    out_clean(c->out, OUT_STDOUT, chunk, k);
    n -= (int64_t)k;
  }
  return 0;
}

/* Never answers: only the host watchdog ends it. */
static int cmd_hang(struct command_context* c) {
  (void)c;
  for (;;) __asm__ volatile("" ::: "memory");
  return 0;
}

/* "spin N": busy loop of N thousand iterations, then exit 0. */
static int cmd_spin(struct command_context* c) {
  int64_t n = 0;
  if (c->argc < 2 || !parse_i64(c->argv[1], &n)) return 2;
  for (int64_t i = 0; i < n * 1000; ++i) __asm__ volatile("" ::: "memory");
  return 0;
}

/* The initrd placement the host wrote into the zero page. */
static int cmd_initrd(struct command_context* c) {
  const volatile uint8_t* zp = (const volatile uint8_t*)boot_params;
  uint64_t addr = *(const volatile uint32_t*)(zp + 0x218) | ((uint64_t)*(const volatile uint32_t*)(zp + 0xC0) << 32);
  uint64_t size = *(const volatile uint32_t*)(zp + 0x21C) | ((uint64_t)*(const volatile uint32_t*)(zp + 0xC4) << 32);
  char b[24];
  out_str(c->out, OUT_STDOUT, "addr=");
  fmt_hex(b, addr);
  out_str(c->out, OUT_STDOUT, b);
  out_str(c->out, OUT_STDOUT, " size=");
  fmt_u64(b, size);
  out_str(c->out, OUT_STDOUT, b);
  out_str(c->out, OUT_STDOUT, " cmdline=");
  const char* cmdline = (const char*)(uint64_t)*(const volatile uint32_t*)(zp + 0x228);
  out_str(c->out, OUT_STDOUT, cmdline);
  return 0;
}

/* A counter kept in guest memory across commands. */
static int cmd_counter(struct command_context* c) {
  static uint64_t counter;
  char b[24];
  fmt_u64(b, ++counter);
  out_str(c->out, OUT_STDOUT, b);
  return 0;
}

/* "env NAME": the value the EXEC frame passed, exit 1 when absent. */
static int cmd_env(struct command_context* c) {
  if (!c->req || c->argc < 2) return 1;
  for (int i = 0; i < c->req->env_count; ++i) {
    if (streq(c->req->env_key[i], c->argv[1])) {
      out_str(c->out, OUT_STDOUT, c->req->env_val[i]);
      return 0;
    }
  }
  return 1;
}

/* The cwd and timeout fields of the EXEC frame. */
static int cmd_request(struct command_context* c) {
  char b[24];
  out_str(c->out, OUT_STDOUT, "cwd=");
  out_str(c->out, OUT_STDOUT, c->req && c->req->has_cwd ? c->req->cwd : "-");
  out_str(c->out, OUT_STDOUT, " timeout=");
  if (c->req && c->req->has_timeout) {
    fmt_u64(b, c->req->timeout);
    out_str(c->out, OUT_STDOUT, b);
  } else {
    out_str(c->out, OUT_STDOUT, "-");
  }
  return 0;
}

/* Each argument on a line of its own (checks the host's quoting). */
static int cmd_argv(struct command_context* c) {
  for (int i = 1; i < c->argc; ++i) {
    out_str(c->out, OUT_STDOUT, c->argv[i]);
    out_str(c->out, OUT_STDOUT, "\n");
  }
  return 0;
}

static int cmd_halt(struct command_context* c) {
  (void)c;
  for (;;) __asm__ volatile("cli; hlt");
  return 0;
}

/* Keyboard-controller reset. */
static int cmd_reset(struct command_context* c) {
  (void)c;
  outb(0x64, 0xFE);
  for (;;) __asm__ volatile("cli; hlt");
  return 0;
}

static size_t put_field(char* line, size_t n, const char* name, uint64_t v) {
  size_t len = strlen(name);
  memcpy(line + n, name, len);
  n += len;
  n += fmt_hex(line + n, v);
  line[n++] = ' ';
  return n;
}

/* Reads of emulated ports and of unbacked MMIO (above RAM, below 1 GiB),
   all done before the single output line. */
static int cmd_ports(struct command_context* c) {
  uint64_t p61 = inb(0x61), p64 = inb(0x64), pcfc = inl(0xCFC), p70 = inb(0x70);
  volatile uint64_t* mmio = (volatile uint64_t*)0x3FF00000;
  *mmio = 0x1122334455667788ull;
  uint64_t m = *mmio;
  if (c->argc > 1 && streq(c->argv[1], "halt")) {
    for (;;) __asm__ volatile("cli; hlt");  /* leaves the accesses last in the host's I/O history */
  }
  char line[160];
  size_t n = 0;
  n = put_field(line, n, "p61=", p61);
  n = put_field(line, n, "p64=", p64);
  n = put_field(line, n, "pcfc=", pcfc);
  n = put_field(line, n, "p70=", p70);
  n = put_field(line, n, "mmio=", m);
  out_bytes(c->out, OUT_STDOUT, line, n);
  return 0;
}

/* "pio N": N one-byte writes to port 0x80. */
static int cmd_pio(struct command_context* c) {
  int64_t n = 0;
  if (c->argc < 2 || !parse_i64(c->argv[1], &n)) return 2;
  for (int64_t i = 0; i < n; ++i) outb(0x80, (uint8_t)i);
  return 0;
}

/* "raw TEXT": TEXT written verbatim to the UART, then nothing else, so a
   test can send any frame sequence (malformed ones included). */
static int cmd_raw(struct command_context* c) {
  for (int i = 1; i < c->argc; ++i) send_str(c->argv[i]);
  return COMMAND_SENT_OWN_END;
}

/* "nostream 1|0": answer EXECS like an agent without streaming. */
static int cmd_nostream(struct command_context* c) {
  no_streaming = c->argc > 1 && streq(c->argv[1], "1");
  return 0;
}

/* "http URL": one HTTP:REQUEST frame, then the reply frames are reported
   as lines "HEADERS {json}", "BODY {n}", "END" or "ERROR {code} {msg}". */
static int cmd_http(struct command_context* c) {
  static char json[1024];
  static char data[4096];
  if (c->argc < 2) return 2;
  size_t n = 0;
  const char* head = "{\"method\":\"GET\",\"url\":\"";
  memcpy(json, head, strlen(head));
  n += strlen(head);
  size_t ul = strlen(c->argv[1]);
  if (ul > 900) return 2;
  memcpy(json + n, c->argv[1], ul);
  n += ul;
  memcpy(json + n, "\"}", 2);
  n += 2;
  send_str("HTTP:REQUEST:7:");
  send_u64(n);
  uart_putc(':');
  send_raw(json, n);
  uart_putc('\n');
  for (;;) {
    char tok[24];
    size_t t = 0;
    char ch;
    while ((ch = (char)uart_getc()) != ':' && ch != '\n') {
      if (t + 1 < sizeof tok) tok[t++] = ch;
    }
    tok[t] = 0;
    if (!streq(tok, "HTTPRESP")) return 3;
    t = 0;
    while ((ch = (char)uart_getc()) != ':' && ch != '\n') {
      if (t + 1 < sizeof tok) tok[t++] = ch;
    }
    tok[t] = 0;
    uint64_t id = 0, len = 0;
    if (streq(tok, "END")) {
      (void)read_number(&id, '\n');
      out_str(c->out, OUT_STDOUT, "END\n");
      return 0;
    }
    if (!read_number(&id, ':')) return 4;
    if (streq(tok, "ERROR")) {
      char code[32];
      size_t k = 0;
      while ((ch = (char)uart_getc()) != ':') {
        if (k + 1 < sizeof code) code[k++] = ch;
      }
      code[k] = 0;
      if (!read_number(&len, ':') || len >= sizeof data) return 5;
      uart_read(data, len);
      data[len] = 0;
      (void)uart_getc();
      out_str(c->out, OUT_STDOUT, "ERROR ");
      out_str(c->out, OUT_STDOUT, code);
      out_str(c->out, OUT_STDOUT, " ");
      out_str(c->out, OUT_STDOUT, data);
      out_str(c->out, OUT_STDOUT, "\n");
      return 0;
    }
    if (!read_number(&len, ':')) return 6;
    if (len >= sizeof data) return 7;
    uart_read(data, len);
    data[len] = 0;
    (void)uart_getc();
    if (streq(tok, "HEADERS")) {
      out_str(c->out, OUT_STDOUT, "HEADERS ");
      out_str(c->out, OUT_STDOUT, data);
      out_str(c->out, OUT_STDOUT, "\n");
    } else {
      char b[24];
      fmt_u64(b, len);
      out_str(c->out, OUT_STDOUT, "BODY ");
      out_str(c->out, OUT_STDOUT, b);
      out_str(c->out, OUT_STDOUT, "\n");
    }
  }
}

/* "pingreply TEXT": the next PING is answered with TEXT. */
static int cmd_pingreply(struct command_context* c) {
  size_t n = c->argc > 1 ? strlen(c->argv[1]) : 0;
  if (n >= sizeof ping_reply) return 2;
  memcpy(ping_reply, c->argc > 1 ? c->argv[1] : "", n);
  ping_reply[n] = 0;
  return 0;
}

static int cmd_help(struct command_context* c);

const struct command command_table[] = {
    {"echo", "echo WORDS...: the words and a newline on stdout", cmd_echo},
    {"true", "true: exit 0", cmd_true},
    {"false", "false: exit 1", cmd_false},
    {"exit", "exit N: exit with status N", cmd_exit},
    {"stderr", "stderr TEXT: TEXT on stderr", cmd_stderr},
    {"binary", "binary: bytes 0..255 on stdout, ff fe on stderr", cmd_binary},
    {"large", "large N [bytewise]: N pattern bytes on stdout (rep outsb, or one out per byte)", cmd_large},
    {"hang", "hang: never answer", cmd_hang},
    {"spin", "spin N: busy loop of N thousand iterations", cmd_spin},
    {"initrd", "initrd: initrd address/size and command line from the zero page", cmd_initrd},
    {"counter", "counter: increment and print a counter kept in guest memory", cmd_counter},
    {"env", "env NAME: value of NAME from the EXEC env", cmd_env},
    {"request", "request: cwd and timeout fields of the EXEC frame", cmd_request},
    {"argv", "argv WORDS...: each word on its own line", cmd_argv},
    {"halt", "halt: cli; hlt", cmd_halt},
    {"reset", "reset: write 0xFE to port 0x64", cmd_reset},
    {"ports", "ports [halt]: read ports 0x61, 0x64, 0xCFC (4 bytes), 0x70 and unbacked MMIO; print them or halt", cmd_ports},
    {"pio", "pio N: N writes to port 0x80", cmd_pio},
    {"raw", "raw TEXT...: write TEXT verbatim, no EXIT (and no STREAM:START)", cmd_raw},
    {"nostream", "nostream 1|0: refuse EXECS like an agent without streaming", cmd_nostream},
    {"http", "http URL: send HTTP:REQUEST and report the reply frames", cmd_http},
    {"pingreply", "pingreply TEXT: answer the next PING with TEXT", cmd_pingreply},
    {"help", "help: this table", cmd_help},
    {0, 0, 0},
};

static int cmd_help(struct command_context* c) {
  for (const struct command* k = command_table; k->name; ++k) {
    out_str(c->out, OUT_STDOUT, k->usage);
    out_str(c->out, OUT_STDOUT, "\n");
  }
  return 0;
}
