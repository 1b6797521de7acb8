#include "util.h"

void* memcpy(void* d, const void* s, size_t n) {
  __asm__ volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(n) : : "memory");
  return d;
}

void* memset(void* d, int c, size_t n) {
  void* r = d;
  __asm__ volatile("rep stosb" : "+D"(d), "+c"(n) : "a"(c) : "memory");
  return r;
}

void* memmove(void* d, const void* s, size_t n) {
  unsigned char* dp = d;
  const unsigned char* sp = s;
  if (dp < sp) {
    for (size_t i = 0; i < n; ++i) dp[i] = sp[i];
  } else {
    for (size_t i = n; i > 0; --i) dp[i - 1] = sp[i - 1];
  }
  return d;
}

int memcmp(const void* a, const void* b, size_t n) {
  const unsigned char* x = a;
  const unsigned char* y = b;
  for (size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return 0;
}

size_t strlen(const char* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

int streq(const char* a, const char* b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

size_t fmt_u64(char* buf, uint64_t v) {
  char tmp[21];
  size_t n = 0;
  do {
    tmp[n++] = (char)('0' + v % 10);
    v /= 10;
  } while (v);
  for (size_t i = 0; i < n; ++i) buf[i] = tmp[n - 1 - i];
  buf[n] = 0;
  return n;
}

size_t fmt_i64(char* buf, int64_t v) {
  if (v >= 0) return fmt_u64(buf, (uint64_t)v);
  buf[0] = '-';
  return 1 + fmt_u64(buf + 1, (uint64_t)0 - (uint64_t)v);
}

size_t fmt_hex(char* buf, uint64_t v) {
  static const char digits[] = "0123456789abcdef";
  char tmp[16];
  size_t n = 0;
  do {
    tmp[n++] = digits[v & 0xF];
    v >>= 4;
  } while (v);
  buf[0] = '0';
  buf[1] = 'x';
  for (size_t i = 0; i < n; ++i) buf[2 + i] = tmp[n - 1 - i];
  buf[2 + n] = 0;
  return 2 + n;
}

int parse_i64(const char* s, int64_t* out) {
  int neg = 0;
  if (*s == '-' || *s == '+') neg = *s++ == '-';
  if (!*s) return 0;
  int64_t v = 0;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return 0;
    v = v * 10 + (*s - '0');
  }
  *out = neg ? -v : v;
  return 1;
}

/* ---- JSON: just enough for {"cmd":"..","env":{..},"timeout":N,"cwd":".."} */

struct cursor {
  const char* p;
  const char* end;
};

static void put_utf8(char* out, size_t cap, size_t* n, uint32_t cp) {
  char b[4];
  size_t len;
  if (cp < 0x80) {
    b[0] = (char)cp;
    len = 1;
  } else if (cp < 0x800) {
    b[0] = (char)(0xC0 | (cp >> 6));
    b[1] = (char)(0x80 | (cp & 0x3F));
    len = 2;
  } else {
    b[0] = (char)(0xE0 | (cp >> 12));
    b[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
    b[2] = (char)(0x80 | (cp & 0x3F));
    len = 3;
  }
  for (size_t i = 0; i < len && *n + 1 < cap; ++i) out[(*n)++] = b[i];
}

static int hex4(const char* p, uint32_t* v) {
  *v = 0;
  for (int i = 0; i < 4; ++i) {
    char c = p[i];
    uint32_t d = c >= '0' && c <= '9' ? (uint32_t)(c - '0')
                 : c >= 'a' && c <= 'f' ? (uint32_t)(c - 'a' + 10)
                 : c >= 'A' && c <= 'F' ? (uint32_t)(c - 'A' + 10)
                                        : 99;
    if (d == 99) return 0;
    *v = *v * 16 + d;
  }
  return 1;
}

/* Reads a JSON string into out (NUL-terminated, truncated to cap). */
static int json_string(struct cursor* c, char* out, size_t cap) {
  size_t n = 0;
  if (c->p >= c->end || *c->p != '"') return 0;
  ++c->p;
  while (c->p < c->end && *c->p != '"') {
    char ch = *c->p++;
    if (ch == '\\') {
      if (c->p >= c->end) return 0;
      char e = *c->p++;
      switch (e) {
        case 'n': ch = '\n'; break;
        case 't': ch = '\t'; break;
        case 'r': ch = '\r'; break;
        case 'b': ch = '\b'; break;
        case 'f': ch = '\f'; break;
        case 'u': {
          uint32_t cp;
          if (c->end - c->p < 4 || !hex4(c->p, &cp)) return 0;
          c->p += 4;
          put_utf8(out, cap, &n, cp);
          continue;
        }
        default: ch = e; break; /* \" \\ \/ */
      }
    }
    if (n + 1 < cap) out[n++] = ch;
  }
  if (c->p >= c->end) return 0;
  ++c->p;
  out[n] = 0;
  return 1;
}

int parse_exec_json(const char* json, size_t len, struct exec_request* out) {
  struct cursor c = {json, json + len};
  char key[32];
  memset(out, 0, sizeof *out);
  if (c.p >= c.end || *c.p++ != '{') return 0;
  while (c.p < c.end && *c.p != '}') {
    if (!json_string(&c, key, sizeof key)) return 0;
    if (c.p >= c.end || *c.p++ != ':') return 0;
    if (streq(key, "cmd")) {
      if (!json_string(&c, out->cmd, sizeof out->cmd)) return 0;
    } else if (streq(key, "cwd")) {
      if (!json_string(&c, out->cwd, sizeof out->cwd)) return 0;
      out->has_cwd = 1;
    } else if (streq(key, "timeout")) {
      uint64_t v = 0;
      while (c.p < c.end && *c.p >= '0' && *c.p <= '9') v = v * 10 + (uint64_t)(*c.p++ - '0');
      out->timeout = v;
      out->has_timeout = 1;
    } else if (streq(key, "env")) {
      if (c.p >= c.end || *c.p++ != '{') return 0;
      while (c.p < c.end && *c.p != '}') {
        int i = out->env_count < MAX_ENV ? out->env_count++ : MAX_ENV - 1;
        if (!json_string(&c, out->env_key[i], sizeof out->env_key[i])) return 0;
        if (c.p >= c.end || *c.p++ != ':') return 0;
        if (!json_string(&c, out->env_val[i], sizeof out->env_val[i])) return 0;
        if (c.p < c.end && *c.p == ',') ++c.p;
      }
      if (c.p >= c.end) return 0;
      ++c.p;
    } else {
      return 0;
    }
    if (c.p < c.end && *c.p == ',') ++c.p;
  }
  return c.p < c.end;
}

int split_shell_words(const char* cmd, char* storage, size_t storage_len, char** argv, int max_args) {
  size_t n = 0;
  int argc = 0;
  const char* p = cmd;
  for (;;) {
    while (*p == ' ') ++p;
    if (!*p) break;
    if (argc == max_args) return -1;
    argv[argc++] = storage + n;
    while (*p && *p != ' ') {
      if (*p == '\'' || *p == '"') {
        const char q = *p++;
        while (*p && *p != q) {
          if (n + 1 >= storage_len) return -1;
          storage[n++] = *p++;
        }
        if (*p != q) return -1;
        ++p;
      } else {
        if (n + 1 >= storage_len) return -1;
        storage[n++] = *p++;
      }
    }
    storage[n++] = 0;
  }
  return argc;
}
