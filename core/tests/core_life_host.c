/* A host program that puts the core through what hosts do with a library
 * during their lives: ending while claims are in flight, forking, cancelling
 * threads, repeating calls, loading and unloading. It loads the library with
 * dlopen, runs one scenario and prints what it saw, one "key value" line at a
 * time, then "done" unless the scenario ends the process itself.
 *
 *   core_life_host LIBRARY SCENARIO [key=value]...
 *
 * Options: session=ID (default "life"), reply=PORT (a switch that answers),
 * stall=PORT (one that never completes a handshake), child=PORT (a switch for
 * a forked child), delay=MS, end=exit|return|_exit|wait (how the process
 * ends: exit(), a return from main, _exit(), or waiting on stdin to be
 * killed), type=deferred|async (cancellation), rounds=N, calls=N.
 *
 * Scenarios:
 *   send-loop     a thread sends claims to reply (or to stall when no reply
 *                 is given) without pause; after delay ms the process ends
 *   chain         each reply's callback sends the next claim; after delay ms
 *                 the process ends (with end=timer: from inside the timer
 *                 callback of a ResetSerial, which holds the export lock,
 *                 while the first reply's callback waits to send)
 *   fork-exit     a thread holds the export lock in a stalled handshake and a
 *                 second waits for it; a forked child calls exit():
 *                 "child <status>" or "child hung"; then "lock 0|1"
 *   fork-calls    a worker waits for a slow reply (or, with stall, a thread
 *                 holds the export lock); a forked child starts a session of
 *                 its own, sends and gets its reply: "child <status>"; then
 *                 "parent-reply 0|1" and "cpu-ms N wall-ms N" over the wait
 *   cancel        a thread calls SendData (or, with LIBRARY being the direct
 *                 library, Process_claim) in a loop and is cancelled after
 *                 delay ms: "cancelled 1|hung"; then "after 0|1", a call
 *                 made afterwards that must get its reply
 *   make-socket   rounds x (load, calls x MakeSocketConnection with a set-up
 *                 now and then, unload): "fds-in N", "fds-after N", "fds-start N"
 *   cycles        rounds x (load, start, send, await the reply, unload):
 *                 "warm|end threads N fds N maps N rss-kb N"
 * Plain C, built from the public headers alone. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "tamlix/TamlixCore.h"
#include "tamlix/TamlixDirect.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
/* A forked child's exit cannot free what the parent's threads hold, and a
 * process that ends with threads inside the library leaves the library's
 * state to them: leaks are checked in the process that started, once its
 * threads are done (by the scenarios that end with nothing inside). */
__attribute__((visibility("default"))) const char* __lsan_default_options(void) { return "leak_check_at_exit=0"; }
#define CHECK_LEAKS() __lsan_do_leak_check()
#else
#define CHECK_LEAKS() ((void)0)
#endif

#if defined(__SANITIZE_THREAD__)
/* Forked children here start threads of their own, and a process that ends
 * with a thread inside the library leaves it running. */
__attribute__((visibility("default"))) const char* __tsan_default_options(void) {
  return "die_after_fork=0 report_thread_leaks=0";
}
#endif

typedef TamlixBool (*InitializeCoreFn)(const char*, TReceiveCallback, const TTCPIPSettings*, TTimeNotifyEvent,
                                       int32_t*);
typedef TamlixBool (*SendDataFn)(const char*, TCoreStatus*);
typedef TamlixBool (*MakeSocketConnectionFn)(int32_t, const char*);
typedef TamlixBool (*InitSSLConnectFn)(void);
typedef int32_t (*LoadIniFn)(const char*, int32_t);
typedef int32_t (*ProcessClaimFn)(const char*, const int32_t*, char*, int32_t*);

/* ------------------------------------------------------------ options */

static const char* g_library;
static const char* g_session = "life";
static int g_reply_port, g_stall_port, g_child_port, g_delay_ms, g_rounds = 20, g_calls = 30;
static const char* g_end = "exit";
static int g_async;
static char g_dir[4096];

static void ParseOption(const char* arg) {
  const char* eq = strchr(arg, '=');
  if (!eq) {
    fprintf(stderr, "bad option %s\n", arg);
    exit(2);
  }
  size_t n = (size_t)(eq - arg);
  const char* v = eq + 1;
  if (strncmp(arg, "session", n) == 0) g_session = v;
  else if (strncmp(arg, "reply", n) == 0) g_reply_port = atoi(v);
  else if (strncmp(arg, "stall", n) == 0) g_stall_port = atoi(v);
  else if (strncmp(arg, "child", n) == 0) g_child_port = atoi(v);
  else if (strncmp(arg, "delay", n) == 0) g_delay_ms = atoi(v);
  else if (strncmp(arg, "end", n) == 0) g_end = v;
  else if (strncmp(arg, "type", n) == 0) g_async = strcmp(v, "async") == 0;
  else if (strncmp(arg, "rounds", n) == 0) g_rounds = atoi(v);
  else if (strncmp(arg, "calls", n) == 0) g_calls = atoi(v);
  else {
    fprintf(stderr, "unknown option %s\n", arg);
    exit(2);
  }
}

/* ------------------------------------------------------------ helpers */

static void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void Say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
  putchar('\n');
  fflush(stdout);
}

static void SleepMs(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

static long NowMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static long CpuMs(void) {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000L + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000L;
}

static int CountEntries(const char* path) {
  DIR* dir = opendir(path);
  if (!dir) return -1;
  int n = 0;
  struct dirent* e;
  while ((e = readdir(dir)) != NULL)
    if (e->d_name[0] != '.') ++n;
  closedir(dir);
  return n - (strcmp(path, "/proc/self/fd") == 0); /* the listing's own */
}

static int CountLines(const char* path) {
  FILE* f = fopen(path, "r");
  if (!f) return -1;
  int n = 0, c;
  while ((c = getc(f)) != EOF)
    if (c == '\n') ++n;
  fclose(f);
  return n;
}

static long ResidentKb(void) {
  FILE* f = fopen("/proc/self/statm", "r");
  long size = 0, resident = 0;
  if (f) {
    if (fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
    fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

static void OwnDirectory(void) {
  ssize_t n = readlink("/proc/self/exe", g_dir, sizeof g_dir - 1);
  if (n < 0) n = 0;
  g_dir[n] = '\0';
  char* slash = strrchr(g_dir, '/');
  if (slash) slash[1] = '\0';
}

/* ------------------------------------------------------------ the library */

static void* g_lib;
static InitializeCoreFn g_init;
static SendDataFn g_send;

static void* Sym(const char* name) {
  void* p = dlsym(g_lib, name);
  if (!p) {
    fprintf(stderr, "no %s: %s\n", name, dlerror());
    exit(4);
  }
  return p;
}

static void Load(void) {
  g_lib = dlopen(g_library, RTLD_NOW | RTLD_LOCAL);
  if (!g_lib) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    exit(3);
  }
}

/* The core's two exports that sessions use. */
static void LoadCore(void) {
  Load();
  g_init = (InitializeCoreFn)Sym("InitializeCore");
  g_send = (SendDataFn)Sym("SendData");
}

static void Unload(void) {
  if (dlclose(g_lib) != 0) {
    fprintf(stderr, "dlclose: %s\n", dlerror());
    exit(5);
  }
  g_lib = NULL;
}

static int g_replies;
static void CountReply(const char* text) {
  (void)text;
  __atomic_add_fetch(&g_replies, 1, __ATOMIC_SEQ_CST);
}
static int Replies(void) { return __atomic_load_n(&g_replies, __ATOMIC_SEQ_CST); }

/* Waits up to `ms` for `want` replies in all. */
static int AwaitReplies(int want, long ms) {
  long until = NowMs() + ms;
  while (Replies() < want && NowMs() < until) SleepMs(5);
  return Replies() >= want;
}

static TTimeNotifyEvent g_timer_callback;

static int Start(const char* session, int port, TReceiveCallback callback) {
  TTCPIPSettings s;
  memset(&s, 0, sizeof s);
  s.Port = port;
  s.Address.Length = 9;
  memcpy(s.Address.Chars, "127.0.0.1", 9);
  s.TimeOut = 10000;
  int32_t in_use = 0;
  return g_init(session, callback, &s, g_timer_callback, &in_use);
}

static int Send(const char* claim) {
  TCoreStatus status;
  memset(&status, 0, sizeof status);
  return g_send(claim, &status);
}

static void End(void) {
  if (strcmp(g_end, "_exit") == 0) _exit(0);
  if (strcmp(g_end, "wait") == 0) {
    Say("waiting");
    char line[16];
    if (!fgets(line, sizeof line, stdin)) _exit(7);
  }
  exit(0); /* "return" returns from main instead */
}

static void StartThread(void* (*body)(void*), void* arg) {
  pthread_t t;
  if (pthread_create(&t, NULL, body, arg) != 0) exit(6);
  pthread_detach(t);
}

/* ------------------------------------------------------------ scenarios */

static void* SendForever(void* arg) {
  (void)arg;
  for (;;) Send("claim in flight\x03");
  return NULL;
}

static int SendLoop(void) {
  LoadCore();
  Say("start %d", Start(g_session, g_reply_port ? g_reply_port : g_stall_port, CountReply));
  StartThread(SendForever, NULL);
  SleepMs(g_delay_ms);
  Say("ending");
  return 1;
}

/* With end=timer: the first reply's callback waits until the main thread
 * holds the export lock (inside ResetSerial's timer callback), then sends,
 * so that it waits for that lock while the process ends. */
static int g_in_timer, g_lock_held;

static void ChainReply(const char* text) {
  CountReply(text);
  if (g_in_timer) {
    long until = NowMs() + 5000;
    while (!__atomic_load_n(&g_lock_held, __ATOMIC_SEQ_CST) && NowMs() < until) SleepMs(1);
  }
  Send("next claim\x03");
}

static void EndInTimer(void) {
  __atomic_store_n(&g_lock_held, 1, __ATOMIC_SEQ_CST);
  SleepMs(50); /* the callback's SendData now waits for the lock */
  exit(0);
}

static int Chain(void) {
  LoadCore();
  g_in_timer = strcmp(g_end, "timer") == 0;
  if (g_in_timer) g_timer_callback = EndInTimer;
  Say("start %d", Start(g_session, g_reply_port, ChainReply));
  Say("send %d", Send("first claim\x03"));
  if (g_in_timer) {
    Say("replied %d", AwaitReplies(1, 10000));
    Say("ending");
    ((void (*)(void))Sym("ResetSerial"))();
    Say("no timer callback");
    return 1;
  }
  SleepMs(g_delay_ms);
  Say("ending");
  return 1;
}

static void* SendOnce(void* arg) {
  Send((const char*)arg);
  return NULL;
}

/* Waits up to `ms` for the child; its status, or -1 (killed) when it hangs. */
static int ReapChild(pid_t pid, long ms) {
  int status = 0;
  long until = NowMs() + ms;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (NowMs() >= until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    SleepMs(5);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

static int LockExists(const char* session) {
  char path[8192];
  snprintf(path, sizeof path, "%s%s.lck", g_dir, session);
  return access(path, F_OK) == 0;
}

static void SayChild(int status) {
  if (status < 0) Say("child hung");
  else Say("child %d", status);
}

static int ForkExit(void) {
  LoadCore();
  Say("start %d", Start(g_session, g_stall_port, CountReply));
  /* One thread holds the export lock in the stalled handshake, the other
   * waits for it. */
  StartThread(SendOnce, "held");
  SleepMs(50);
  StartThread(SendOnce, "queued");
  SleepMs(g_delay_ms);
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) exit(0);
  SayChild(ReapChild(pid, 10000));
  Say("lock %d", LockExists(g_session));
  return 1;
}

static int ForkCalls(void) {
  LoadCore();
  Say("start %d", Start(g_session, g_stall_port ? g_stall_port : g_reply_port, CountReply));
  if (g_stall_port) {
    StartThread(SendOnce, "held");
  } else {
    Say("send %d", Send("parent claim\x03"));
  }
  SleepMs(g_delay_ms);
  long wall0 = NowMs(), cpu0 = CpuMs();
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    char session[512];
    snprintf(session, sizeof session, "%s-child", g_session);
    int ok = Start(session, g_child_port, CountReply) && Send("child claim\x03") && AwaitReplies(1, 10000);
    exit(ok ? 0 : 1);
  }
  SayChild(ReapChild(pid, 20000));
  if (!g_stall_port) {
    Say("parent-reply %d", AwaitReplies(1, 10000));
    Say("cpu-ms %ld wall-ms %ld", CpuMs() - cpu0, NowMs() - wall0);
  }
  return 1;
}

/* One call of the cancelled thread's kind; true when it got its reply. */
static LoadIniFn g_load_ini;
static ProcessClaimFn g_process_claim;

static int CallOnce(int await) {
  if (g_process_claim) {
    char response[4097];
    int32_t written = 0, received = 0;
    return g_process_claim("claim\x03", &written, response, &received) == 1 && received > 0;
  }
  int before = Replies();
  return Send("claim\x03") == 1 && (!await || AwaitReplies(before + 1, 10000));
}

static void* CallForever(void* arg) {
  (void)arg;
  if (g_async) pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, NULL);
  for (;;) {
    CallOnce(0);
    pthread_testcancel();
  }
  return NULL;
}

static int Cancel(void) {
  Load();
  if (dlsym(g_lib, "Process_claim")) {
    g_load_ini = (LoadIniFn)Sym("Load_ini");
    g_process_claim = (ProcessClaimFn)Sym("Process_claim");
    Say("ini %d", g_load_ini(g_dir, 0));
  } else {
    g_init = (InitializeCoreFn)Sym("InitializeCore");
    g_send = (SendDataFn)Sym("SendData");
    Say("start %d", Start(g_session, g_reply_port, CountReply));
  }
  pthread_t t;
  if (pthread_create(&t, NULL, CallForever, NULL) != 0) return 0;
  SleepMs(g_delay_ms);
  pthread_cancel(t);
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += 20;
  /* The thread never returns by itself: its end is the cancellation's. (Its
   * result is not looked at: glibc 2.36 leaves it null when the request acts
   * as the cancellation state is enabled again.) */
  if (pthread_timedjoin_np(t, NULL, &until) != 0) {
    Say("cancelled hung");
    _exit(0);
  }
  Say("cancelled 1");
  Say("after %d", CallOnce(1));
  Unload();
  CHECK_LEAKS();
  return 1;
}

static int MakeSocket(void) {
  int start = CountEntries("/proc/self/fd");
  int flat = 1;
  for (int r = 0; r < g_rounds; ++r) {
    Load();
    MakeSocketConnectionFn make = (MakeSocketConnectionFn)Sym("MakeSocketConnection");
    InitSSLConnectFn ssl = (InitSSLConnectFn)Sym("Init_SSL_Connect");
    int first = -1;
    for (int i = 0; i < g_calls; ++i) {
      if (!make(g_reply_port, "127.0.0.1")) flat = 0;
      if (i % 5 == 4) ssl();
      /* After the first call the count stays: one socket at a time. */
      int now = CountEntries("/proc/self/fd");
      if (first < 0) first = now;
      if (now != first) {
        Say("fds-in %d", now);
        flat = 0;
      }
    }
    Unload();
    int after = CountEntries("/proc/self/fd");
    if (after != start) {
      Say("fds-after %d", after);
      flat = 0;
    }
  }
  Say("fds-start %d", start);
  Say("flat %d", flat);
  CHECK_LEAKS();
  return 1;
}

static void SayUsage(const char* when) {
  Say("%s threads %d fds %d maps %d rss-kb %ld", when, CountEntries("/proc/self/task"), CountEntries("/proc/self/fd"),
      CountLines("/proc/self/maps"), ResidentKb());
}

static int Cycles(void) {
  int warm = g_rounds / 10;
  int ok = 1;
  for (int r = 0; r < g_rounds; ++r) {
    if (r == warm) SayUsage("warm");
    LoadCore();
    int before = Replies();
    if (!Start(g_session, g_reply_port, CountReply) || !Send("cycle claim\x03") || !AwaitReplies(before + 1, 10000))
      ok = 0;
    Unload();
  }
  SayUsage("end");
  Say("claims %d", ok);
  CHECK_LEAKS();
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: core_life_host LIBRARY SCENARIO [key=value]...\n");
    return 2;
  }
  g_library = argv[1];
  for (int i = 3; i < argc; ++i) ParseOption(argv[i]);
  OwnDirectory();

  const char* scenario = argv[2];
  int ends = 0; /* the scenario ends the process as `end` says */
  if (strcmp(scenario, "send-loop") == 0) ends = SendLoop();
  else if (strcmp(scenario, "chain") == 0) ends = Chain();
  else if (strcmp(scenario, "fork-exit") == 0) ForkExit();
  else if (strcmp(scenario, "fork-calls") == 0) ForkCalls();
  else if (strcmp(scenario, "cancel") == 0) Cancel();
  else if (strcmp(scenario, "make-socket") == 0) MakeSocket();
  else if (strcmp(scenario, "cycles") == 0) Cycles();
  else {
    fprintf(stderr, "unknown scenario %s\n", scenario);
    return 2;
  }
  if (ends) {
    if (strcmp(g_end, "return") == 0) return 0;
    End();
  }
  Say("done");
  return 0;
}
