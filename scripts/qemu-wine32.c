/* Preloaded into every i386 process that scripts/qemu-wine32 runs under
 * qemu-i386 7.2 (Debian 12), to correct two places where that emulator and
 * 32-bit wine disagree. Built with -m32 -nostdlib: no i386 C library headers
 * are needed, the C library's functions are resolved when it is loaded.
 *
 * 1. mmap with MAP_FIXED_NOREPLACE: qemu 7.2 drops the flag and takes the
 *    address as a hint, so a reservation lands somewhere else. Wine reserves
 *    the address space above 2 GiB with that flag, halving each range that
 *    fails down to 64 KiB: about 65,000 mmap/munmap pairs and a minute of
 *    emulated time for every process, and the address space ends up reserved
 *    in the wrong places (kernel32.dll then fails to load, c0000135). Here
 *    the flag means what the kernel means: EEXIST when the range overlaps a
 *    mapping of the guest's /proc/self/maps (which qemu writes in guest
 *    addresses), else a fixed mapping.
 * 2. SIGSEGV: qemu 7.2 leaves the trap number of the signal context at -1,
 *    where wine expects 14 (page fault) to raise an access violation; it
 *    raises an illegal instruction instead, so no __try or vectored handler
 *    sees the access violation. Wine's handler is wrapped and given 14 (the
 *    error code, unknown, as a read).
 */
typedef unsigned long size_t;
typedef long long off64_t;
typedef long off_t;

#define MAP_FIXED 0x10
#define MAP_FIXED_NOREPLACE 0x100000
#define MAP_FAILED ((void *)-1)
#define EEXIST 17
#define RTLD_NEXT ((void *)-1l)
#define SIGSEGV 11
#define SA_SIGINFO 4
#define REG_TRAPNO 12
#define REG_ERR 13
#define TRAP_PAGE_FAULT 14
/* i386 ucontext_t: uc_flags, uc_link, uc_stack (12 bytes), then gregs */
#define UCONTEXT_GREGS 20

extern void *dlsym(void *, const char *);
extern int *__errno_location(void);
extern int open(const char *, int, ...);
extern long read(int, void *, size_t);
extern int close(int);

typedef void *(*mmap64_fn)(void *, size_t, int, int, int, off64_t);
static mmap64_fn real_mmap64;

static unsigned long hex(const char **p, char end)
{
  unsigned long v = 0;
  for (; **p && **p != end; ++*p)
    v = v * 16 + (**p <= '9' ? **p - '0' : (**p | 32) - 'a' + 10);
  if (**p) ++*p;
  return v;
}

/* 1 when [lo, hi) overlaps a mapping, 0 when it does not, -1 when unknown */
static int overlaps(unsigned long lo, unsigned long hi)
{
  static char buf[1 << 17];
  int fd = open("/proc/self/maps", 0);
  if (fd < 0) return -1;
  long n = 0, r;
  while (n < (long)sizeof buf - 1 && (r = read(fd, buf + n, sizeof buf - 1 - n)) > 0) n += r;
  close(fd);
  if (n == (long)sizeof buf - 1) return -1;
  buf[n] = 0;
  const char *p = buf;
  while (*p) {
    unsigned long a = hex(&p, '-');
    unsigned long b = hex(&p, ' ');
    if (a < hi && lo < b) return 1;
    while (*p && *p != '\n') p++;
    if (*p) p++;
  }
  return 0;
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
  if (!real_mmap64) real_mmap64 = (mmap64_fn)dlsym(RTLD_NEXT, "mmap64");
  if (flags & MAP_FIXED_NOREPLACE) {
    unsigned long lo = (unsigned long)addr, hi = lo + len;
    if (hi != 0 && hi < lo) { *__errno_location() = EEXIST; return MAP_FAILED; }
    int o = overlaps(lo, hi ? hi : 0xffffffffUL);
    if (o == 1) { *__errno_location() = EEXIST; return MAP_FAILED; }
    if (o == 0) flags = (flags & ~MAP_FIXED_NOREPLACE) | MAP_FIXED;
  }
  return real_mmap64(addr, len, prot, flags, fd, off);
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
  return mmap64(addr, len, prot, flags, fd, off);
}

/* glibc's i386 struct sigaction */
struct user_sigaction {
  void (*handler)(int, void *, void *);
  unsigned long mask[32];
  int flags;
  void (*restorer)(void);
};
typedef int (*sigaction_fn)(int, const void *, void *);
static sigaction_fn real_sigaction;
static void (*wine_segv_handler)(int, void *, void *);

static void segv_handler(int sig, void *info, void *uc)
{
  unsigned long *gregs = (unsigned long *)((char *)uc + UCONTEXT_GREGS);
  if (gregs[REG_TRAPNO] == 0xffffffffUL) {
    gregs[REG_TRAPNO] = TRAP_PAGE_FAULT;
    gregs[REG_ERR] = 0;
  }
  wine_segv_handler(sig, info, uc);
}

int sigaction(int sig, const void *act, void *old)
{
  if (!real_sigaction) real_sigaction = (sigaction_fn)dlsym(RTLD_NEXT, "sigaction");
  if (sig == SIGSEGV && act) {
    struct user_sigaction copy = *(const struct user_sigaction *)act;
    if ((copy.flags & SA_SIGINFO) && copy.handler != segv_handler) {
      wine_segv_handler = copy.handler;
      copy.handler = segv_handler;
      return real_sigaction(sig, &copy, old);
    }
  }
  return real_sigaction(sig, act, old);
}
