/* A preloaded library that makes chosen file operations fail, for the reliability tests.
 *
 *   CORVANE_FAULT=<op>:<errno>:<text>   fail <op> with <errno> on files whose path holds <text>
 *   CORVANE_FAULT_SKIP=<n>              let the first n matching calls through (default 0)
 *   CORVANE_FAULT_TIMES=<n>             fail at most n calls (default: every later one)
 *
 * A <text> ending in '$' must end the path. <op> is open, read, write, fsync, close, rename or
 * fallocate. Operations on descriptors
 * match by the path the descriptor was opened with; rename matches either of its paths.
 * Each injected failure is counted in the file named by CORVANE_FAULT_LOG, if set, one
 * line per failure, so a test can tell that the fault was reached. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#define MAX_FDS 65536

static char fault_op[16];
static int fault_errno;
static char fault_text[4096];
static long fault_skip;
static long fault_times = -1;
static atomic_long seen;
static atomic_long failed;
static atomic_bool matching_fd[MAX_FDS];
static atomic_int configured;

static void configure(void) {
    if (atomic_load(&configured)) return;
    const char* setting = getenv("CORVANE_FAULT");
    if (setting) {
        const char* a = strchr(setting, ':');
        const char* b = a ? strchr(a + 1, ':') : NULL;
        if (a && b && (size_t)(a - setting) < sizeof fault_op) {
            memcpy(fault_op, setting, (size_t)(a - setting));
            fault_errno = atoi(a + 1);
            snprintf(fault_text, sizeof fault_text, "%s", b + 1);
        }
    }
    const char* skip = getenv("CORVANE_FAULT_SKIP");
    const char* times = getenv("CORVANE_FAULT_TIMES");
    if (skip) fault_skip = atol(skip);
    if (times) fault_times = atol(times);
    atomic_store(&configured, 1);
}

static int path_matches(const char* path) {
    if (!fault_text[0] || !path) return 0;
    size_t n = strlen(fault_text);
    if (fault_text[n - 1] != '$') return strstr(path, fault_text) != NULL;
    size_t len = strlen(path);
    return len >= n - 1 && memcmp(path + len - (n - 1), fault_text, n - 1) == 0;
}

static int fd_matches(int fd) { return fd >= 0 && fd < MAX_FDS && atomic_load(&matching_fd[fd]); }

static void note_failure(const char* op) {
    const char* log = getenv("CORVANE_FAULT_LOG");
    if (!log) return;
    static int (*real_open)(const char*, int, ...);
    static ssize_t (*real_write)(int, const void*, size_t);
    static int (*real_close)(int);
    if (!real_open) {
        real_open = dlsym(RTLD_NEXT, "open");
        real_write = dlsym(RTLD_NEXT, "write");
        real_close = dlsym(RTLD_NEXT, "close");
    }
    int fd = real_open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[64];
    int n = snprintf(line, sizeof line, "%s\n", op);
    (void)real_write(fd, line, (size_t)n);
    real_close(fd);
}

/* Whether this call of `op` fails; sets errno when it does. */
static int inject(const char* op, int matches) {
    configure();
    if (!matches || strcmp(op, fault_op) != 0) return 0;
    if (atomic_fetch_add(&seen, 1) < fault_skip) return 0;
    if (fault_times >= 0 && atomic_fetch_add(&failed, 1) >= fault_times) return 0;
    note_failure(op);
    errno = fault_errno;
    return 1;
}

#define REAL(name) \
    static __typeof__(name)* real_##name; \
    if (!real_##name) real_##name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

static int remember(int fd, const char* path) {
    configure();
    if (fd >= 0 && fd < MAX_FDS) atomic_store(&matching_fd[fd], path_matches(path));
    return fd;
}

static mode_t mode_arg(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

/* open and open64 are the same call; openat takes a directory first. */
#define DEFINE_OPEN(name, params, args)                      \
    int name params {                                         \
        REAL(name);                                           \
        va_list ap;                                           \
        va_start(ap, flags);                                  \
        mode_t mode = mode_arg(flags, ap);                    \
        va_end(ap);                                           \
        if (inject("open", path_matches(path))) return -1;    \
        return remember(real_##name args, path);              \
    }

DEFINE_OPEN(open, (const char* path, int flags, ...), (path, flags, mode))
DEFINE_OPEN(open64, (const char* path, int flags, ...), (path, flags, mode))
DEFINE_OPEN(openat, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))

ssize_t read(int fd, void* buf, size_t n) {
    REAL(read);
    if (inject("read", fd_matches(fd))) return -1;
    return real_read(fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
    REAL(write);
    if (inject("write", fd_matches(fd))) return -1;
    return real_write(fd, buf, n);
}

int fsync(int fd) {
    REAL(fsync);
    if (inject("fsync", fd_matches(fd))) return -1;
    return real_fsync(fd);
}

int fallocate(int fd, int mode, off_t offset, off_t len) {
    REAL(fallocate);
    if (inject("fallocate", fd_matches(fd))) return -1;
    return real_fallocate(fd, mode, offset, len);
}

int close(int fd) {
    REAL(close);
    /* The descriptor is released even when close reports an error, as on Linux. */
    int fail = inject("close", fd_matches(fd));
    if (fd >= 0 && fd < MAX_FDS) atomic_store(&matching_fd[fd], 0);
    int r = real_close(fd);
    if (fail) {
        errno = fault_errno;
        return -1;
    }
    return r;
}

int rename(const char* from, const char* to) {
    REAL(rename);
    if (inject("rename", path_matches(from) || path_matches(to))) return -1;
    return real_rename(from, to);
}
