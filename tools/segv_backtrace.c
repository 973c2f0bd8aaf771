// Preloaded (LD_PRELOAD) by tools/gpu_check.sh: on a fatal signal, write the
// native stack to standard error, then die of that signal as before. Frames
// inside the modules come out as "Orvane....so(+0xOFFSET)", which the script
// resolves to function names with addr2line afterwards. Python's own
// faulthandler (pytest enables it) prints the Python stack first and then
// hands the signal on to this handler.
#define _GNU_SOURCE
#include <execinfo.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

static void on_fatal(int sig) {
  static const char head[] = "\n== native stack at a fatal signal\n";
  void* frames[64];
  const int n = backtrace(frames, 64);
  (void)!write(2, head, sizeof head - 1);
  backtrace_symbols_fd(frames, n, 2);
  signal(sig, SIG_DFL);
  raise(sig);
}

__attribute__((constructor)) static void install(void) {
  void* warm[1];
  backtrace(warm, 1);  // loads the unwinder now, not inside the handler
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_fatal;
  const int fatal[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
  for (size_t i = 0; i < sizeof fatal / sizeof fatal[0]; ++i) sigaction(fatal[i], &sa, NULL);
}
