/* The agent side of the serial protocol, shared by the command table. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "util.h"

enum stream_kind { OUT_STDOUT = 1, OUT_STDERR = 2 };

/* Where a command's output goes: OUTPUT lines (EXEC) or STREAM frames (EXECS). */
struct output {
  int streaming;
};

/* Output of bytes of any value (escaped as needed for OUTPUT lines). */
void out_bytes(struct output* o, enum stream_kind k, const void* data, size_t n);
void out_str(struct output* o, enum stream_kind k, const char* s);
/* Bytes known to need no escaping (printable ASCII without backslash). */
void out_clean(struct output* o, enum stream_kind k, const void* data, size_t n);

/* Writes raw bytes on the UART. */
void send_raw(const void* data, size_t n);
void send_str(const char* s);
void send_u64(uint64_t v);

/* A command of the table: returns its exit code, or COMMAND_SENT_OWN_END
   when it has already written its final frame itself. */
#define COMMAND_SENT_OWN_END (-100000)
struct command_context {
  struct output* out;
  const struct exec_request* req; /* NULL for EXECS */
  int argc;
  char** argv;
};
typedef int (*command_fn)(struct command_context* ctx);

struct command {
  const char* name;
  const char* usage;
  command_fn run;
};

extern const struct command command_table[];

/* Zero page handed over by the host in RSI. */
extern volatile uint64_t boot_params;
/* 1: answer EXECS like an agent without streaming. */
extern int no_streaming;
/* When not empty: the answer to the next PING instead of "PONG". */
extern char ping_reply[256];

/* In-memory files served by FS:READ and FS:WRITE. */
void fs_read_frame(void);
void fs_write_frame(void);

/* Reads a decimal number terminated by `term`; returns 0 on mismatch. */
int read_number(uint64_t* out, char term);
