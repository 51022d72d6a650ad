/* The export table as a C host sees it: the public header compiles as C
 * and every export links and answers. Returns non-zero on the first fault. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "tamlix/TamlixCore.h"

#define CHECK(cond)                                               \
  do {                                                            \
    if (!(cond)) {                                                \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                   \
    }                                                             \
  } while (0)

static int notified = 0;
static void Notify(void) { ++notified; }

int main(void) {
  char session[64];
  char lock[4200];
  char dir[4096];
  ssize_t n = readlink("/proc/self/exe", dir, sizeof dir - 1);
  CHECK(n > 0);
  dir[n] = '\0';
  *(strrchr(dir, '/') + 1) = '\0';
  snprintf(session, sizeof session, "cabi-%d", (int)getpid());
  snprintf(lock, sizeof lock, "%s%s.lck", dir, session);

  TTCPIPSettings settings;
  memset(&settings, 0, sizeof settings);
  settings.Port = 1;
  settings.Address.Length = 9;
  memcpy(settings.Address.Chars, "127.0.0.1", 9);
  settings.TimeOut = 1000;

  int32_t in_use = 0;
  CHECK(InitializeCore(NULL, NULL, &settings, NULL, &in_use) == 0);
  CHECK(InitializeCore(session, NULL, &settings, Notify, &in_use) == 1);
  CHECK(access(lock, F_OK) == 0);
  CHECK(InitializeCore(session, NULL, &settings, Notify, &in_use) == 0);
  CHECK(in_use == 101);

  ClearForRead();
  TimeTest();
  SetTimeNotifyEvent(Notify);

  /* Nothing listens on port 1: the send fails with the status filled. */
  TCoreStatus status;
  memset(&status, 0x55, sizeof status);
  CHECK(SendData("claim", &status) == 0);
  CHECK(status.ErrorCode == -1 && status.ErrorFlag == 1);
  CHECK(strcmp(status.ErrorText, "SSL or Socket Exception - Possible network error") == 0);
  CHECK(SendData(NULL, NULL) == 0);

  /* The reconnect of ResetSerial fails in its SSL set-up: no callback. */
  ResetSerial();
  CHECK(notified == 0);
  CHECK(MakeSocketConnection(1, "127.0.0.1") == 0);
  CHECK(MakeSocketConnection(1, NULL) == 0);
  CHECK(Init_SSL_Connect() == 0);

  unlink(lock); /* this process found it present: the library leaves it */
  return 0;
}
