#include "chain_model.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define CHAIN_MASK ((UINT64_C(1) << 48) - 1)

void chain_init(struct chain_board* b) {
  memset(b, 0, sizeof *b);
  b->log = calloc(CHAIN_LOG_CAPACITY, 1);
}

void chain_log(struct chain_board* b, const char* token) {
  const size_t n = strlen(token);
  if (b->log_length + n + 2 > CHAIN_LOG_CAPACITY) {
    b->log_overflow = 1;
    return;
  }
  if (b->log_length > 0) b->log[b->log_length++] = ' ';
  memcpy(b->log + b->log_length, token, n);
  b->log_length += n;
  b->log[b->log_length] = '\0';
}

void chain_set_lines(struct chain_board* b, int rts, int dtr) {
  rts = rts != 0;
  dtr = dtr != 0;
  const int rts_changed = rts != b->rts;
  const int dtr_changed = dtr != b->dtr;
  if (rts_changed && dtr_changed) chain_log(b, "S");
  if (rts_changed) {
    chain_log(b, b->dtr ? (rts ? "r1" : "r0") : (rts ? "R1" : "R0"));
    b->rts = rts;
  }
  if (dtr_changed) {
    b->dtr = dtr;
    if (dtr) {
      b->chain = ((b->chain << 1) | (uint64_t)b->rts) & CHAIN_MASK;
      chain_log(b, b->rts ? "U1" : "U0");
    } else {
      chain_log(b, "D");
    }
  }
}

void chain_byte(struct chain_board* b, unsigned char byte) {
  char token[8];
  snprintf(token, sizeof token, "B%02X", byte);
  chain_log(b, token);
  b->outputs = b->chain;
  ++b->latches;
}

static int* input_line(struct chain_board* b, const char* name) {
  if (strcmp(name, "CTS") == 0) return &b->cts;
  if (strcmp(name, "DSR") == 0) return &b->dsr;
  if (strcmp(name, "DCD") == 0) return &b->dcd;
  if (strcmp(name, "RI") == 0) return &b->ri;
  return NULL;
}

int chain_command(struct chain_board* b, const char* verb, const char* rest, char* reply,
                  size_t capacity, int** pulse_line, long* pulse_ms) {
  if (strcmp(verb, "RESET") == 0) {
    b->chain = b->outputs = 0;
    b->latches = 0;
    b->reads = b->sets = 0;
    b->log_length = 0;
    b->log[0] = '\0';
    b->log_overflow = 0;
    snprintf(reply, capacity, "OK");
  } else if (strcmp(verb, "LOG") == 0) {
    if (b->log_overflow) {
      snprintf(reply, capacity, "ERR log overflow");
    } else {
      snprintf(reply, capacity, "OK %s", b->log);
    }
    b->log_length = 0;
    b->log[0] = '\0';
    b->log_overflow = 0;
  } else if (strcmp(verb, "OUT") == 0) {
    size_t used = (size_t)snprintf(reply, capacity, "OK");
    for (int r = 0; r < 6 && used < capacity; ++r) {
      used += (size_t)snprintf(reply + used, capacity - used, " %02X",
                               (unsigned)((b->outputs >> (8 * r)) & 0xFF));
    }
    if (used < capacity) snprintf(reply + used, capacity - used, " %u", b->latches);
  } else if (strcmp(verb, "LINES") == 0) {
    snprintf(reply, capacity, "OK %d %d", b->rts, b->dtr);
  } else if (strcmp(verb, "COUNT") == 0) {
    snprintf(reply, capacity, "OK %lu %lu", b->reads, b->sets);
  } else if (strcmp(verb, "IN") == 0) {
    int cts, dsr, dcd, ri;
    if (sscanf(rest, "%d %d %d %d", &cts, &dsr, &dcd, &ri) == 4) {
      b->cts = cts != 0;
      b->dsr = dsr != 0;
      b->dcd = dcd != 0;
      b->ri = ri != 0;
      snprintf(reply, capacity, "OK");
    } else {
      snprintf(reply, capacity, "ERR IN needs four levels");
    }
  } else if (strcmp(verb, "PULSE") == 0) {
    char name[8] = "";
    long ms = 0;
    int* level = NULL;
    if (sscanf(rest, "%7s %ld", name, &ms) == 2 && (level = input_line(b, name)) && ms > 0) {
      *level = 1;
      *pulse_line = level;
      *pulse_ms = ms;
      snprintf(reply, capacity, "OK");
    } else {
      snprintf(reply, capacity, "ERR PULSE needs a line and a time");
    }
  } else {
    return 0;
  }
  return 1;
}

void chain_send_all(int fd, const char* text, size_t length,
                    ssize_t (*write)(int fd, const void* data, size_t length)) {
  while (length > 0) {
    const ssize_t n = write(fd, text, length);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    text += n;
    length -= (size_t)n;
  }
}

void chain_serve(int fd, const struct chain_server* server) {
  char* reply = malloc(CHAIN_REPLY_CAPACITY);
  char line[512];
  size_t length = 0;
  for (;;) {
    char c;
    const ssize_t n = server->read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c == '\r') continue;
    if (c != '\n') {
      if (length + 1 < sizeof line) line[length++] = c;
      continue;
    }
    line[length] = '\0';
    length = 0;
    if (line[0] == '\0') continue;
    int* pulse_line = NULL;
    long pulse_ms = 0;
    server->run(line, reply, CHAIN_REPLY_CAPACITY - 1, &pulse_line, &pulse_ms);
    strcat(reply, "\n");
    chain_send_all(fd, reply, strlen(reply), server->write);
    if (pulse_line) {
      struct timespec pause = {pulse_ms / 1000, (pulse_ms % 1000) * 1000 * 1000};
      while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
      }
      server->end_pulse(pulse_line);
    }
  }
  free(reply);
}
