/* Test-only LD_PRELOAD library for Wine: a pseudo-terminal has no modem lines,
 * so the kernel refuses TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC on it and Wine then
 * refuses any event mask that watches those lines. This answers them for ptys
 * with a remembered line state (DSR, CTS and carrier on) and passes every
 * other request to the real ioctl. 32-bit Wine calls __ioctl_time64 as well as
 * ioctl, so both are wrapped where the C library has it (32-bit time_t
 * systems); 64-bit builds have ioctl only. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <termios.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static int modem_lines = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;

/* Unix98 pty slaves have major numbers 136-143; the master is /dev/ptmx (5, 2). */
static int is_pty(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  unsigned maj = major(st.st_rdev);
  return (maj >= 136 && maj <= 143) || (maj == 5 && minor(st.st_rdev) == 2);
}

/* Returns 1 when the request was a modem-line request on a pty and is answered. */
static int answer_modem_request(int fd, unsigned long request, int *arg, int *result) {
  if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC)
    return 0;
  if (!is_pty(fd)) return 0;
  if (request == TIOCMGET) *arg = modem_lines;
  else if (request == TIOCMSET) modem_lines = *arg;
  else if (request == TIOCMBIS) modem_lines |= *arg;
  else modem_lines &= ~*arg;
  *result = 0;
  return 1;
}

// Answers the modem-line requests on a pty, passes everything else on to `name`.
static int intercept(const char *name, int fd, unsigned long request, void *arg) {
  int result;
  if (answer_modem_request(fd, request, arg, &result)) return result;
  ioctl_fn real = (ioctl_fn)dlsym(RTLD_NEXT, name);
  return real(fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return intercept("ioctl", fd, request, arg);
}

#if __TIMESIZE == 32
int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return intercept("__ioctl_time64", fd, request, arg);
}
#endif
