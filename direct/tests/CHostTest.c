/* The export table as a C host sees it: the public header compiles as C and
 * the synchronous road answers before any settings were loaded. Returns
 * non-zero on the first fault. */
#include <stdio.h>
#include <string.h>

#include "tamlix/TamlixDirect.h"

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                          \
    }                                                                    \
  } while (0)

static void Reply(const char* data) { (void)data; }

int main(void) {
  char response[4097];
  int32_t written = 0;
  int32_t received = -7;
  strcpy(response, "untouched");

  /* No settings loaded: the connect fails and nothing is written back. */
  CHECK(Process_claim("claim", &written, response, &received) == 0);
  CHECK(Process_claim_S("claim", &written, response, &received, 5) == 0);
  CHECK(strcmp(response, "untouched") == 0);
  CHECK(received == -7);

  CHECK(Load_ini("/nonexistent-dir/", 0) == 0);
  CHECK(Load_ini_S(NULL, 0) == 0 || Load_ini_S(NULL, 0) == 1);

  SetReceiveCallback(Reply);
  ReceiveData("a reply");
  SetReceiveCallback(NULL);
  ReceiveData("dropped");

  /* No session: the core refuses. */
  CHECK(InitializeDirect(NULL, NULL, 0, NULL) == 0);
  TCoreStatus status;
  memset(&status, 0, sizeof status);
  CHECK(processDataTest("claim", &status) == 0);
  CHECK(processData(NULL, &status) == 0);
  puts("ok");
  return 0;
}
