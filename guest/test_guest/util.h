/* Freestanding helpers: memory, strings, numbers, tiny JSON and shell words. */
#pragma once

#include <stddef.h>
#include <stdint.h>

void* memcpy(void* d, const void* s, size_t n);
void* memset(void* d, int c, size_t n);
void* memmove(void* d, const void* s, size_t n);
int memcmp(const void* a, const void* b, size_t n);
size_t strlen(const char* s);
int streq(const char* a, const char* b);

/* Decimal text of v into buf (at least 21 bytes); returns its length. */
size_t fmt_u64(char* buf, uint64_t v);
size_t fmt_i64(char* buf, int64_t v);
/* Lower-case hex with "0x" prefix. */
size_t fmt_hex(char* buf, uint64_t v);
/* Signed decimal; returns 0 on failure. */
int parse_i64(const char* s, int64_t* out);

/* A string slice inside a larger buffer. */
struct slice {
  const char* p;
  size_t n;
};

/* The top-level fields of an EXEC payload that the guest uses. */
#define MAX_ENV 8
struct exec_request {
  char cmd[4096];
  int has_timeout;
  uint64_t timeout;
  int has_cwd;
  char cwd[256];
  int env_count;
  char env_key[MAX_ENV][64];
  char env_val[MAX_ENV][256];
};

/* Parses the compact JSON object sent in an EXEC frame; 0 on failure. */
int parse_exec_json(const char* json, size_t len, struct exec_request* out);

/* Splits a line of single/double-quoted shell words in place into argv
   (words are NUL-terminated in `storage`); returns argc or -1. */
#define MAX_ARGS 32
int split_shell_words(const char* cmd, char* storage, size_t storage_len, char** argv, int max_args);
