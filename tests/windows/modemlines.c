/* Test fixture, never shipped: modem lines for pseudo-terminals, loaded into
 * Wine with LD_PRELOAD. A pseudo-terminal has no modem lines, so Wine fails
 * EscapeCommFunction and GetCommModemStatus on it, and its WaitCommEvent
 * cannot wait. This answers TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC for pseudo-
 * terminal slaves from a state of its own (CTS, DSR and DCD on), and appends
 * every change of RTS and DTR to the file named by TARNELL_MODEM_LOG
 * ("rts=1 dtr=0"), where a test reads them.
 * A pseudo-terminal's output queue always reads empty; a test that writes a
 * count N into the file named by TARNELL_OUTQ_HOLD gets the next N looks at
 * it (TIOCOUTQ, behind ClearCommError) answered "1 byte queued".
 * A frame on its way to the driver: while the file named by TARNELL_TXQ_HOLD
 * says "hold", the next write to a pseudo-terminal stops (the file then says
 * "paused") until the output is flushed or 2 s have passed, and what it
 * writes is then kept, as a driver keeps what the line has not sent yet: a
 * flush (tcflush, behind PurgeComm) drops it, and once the test has removed
 * the file the next write sends it first. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int lines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
static long held; /* looks at the output queue still to answer "queued" */

/* Under the lock: arms the hold from the test's file, then takes one look. */
static int queue_held(void)
{
    const char* name = getenv("TARNELL_OUTQ_HOLD");
    if (held == 0 && name) {
        FILE* f = fopen(name, "r");
        if (f) {
            /* A file still empty is being written: the test opens it, then
             * writes the count. Taken only once it is there. */
            if (fscanf(f, "%ld", &held) != 1)
                held = 0;
            fclose(f);
            if (held > 0)
                unlink(name);
        }
    }
    if (held <= 0)
        return 0;
    --held;
    return 1;
}

static int is_pty_slave(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    /* Unix98 pseudo-terminal slaves: majors 136..143. */
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

static void log_lines(int before)
{
    const char* name = getenv("TARNELL_MODEM_LOG");
    if (!name || ((before ^ lines) & (TIOCM_RTS | TIOCM_DTR)) == 0)
        return;
    FILE* f = fopen(name, "a");
    if (!f)
        return;
    fprintf(f, "rts=%d dtr=%d\n", (lines & TIOCM_RTS) != 0, (lines & TIOCM_DTR) != 0);
    fclose(f);
}

int ioctl(int fd, unsigned long request, ...)
{
    static int (*real)(int, unsigned long, ...);
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (!real)
        real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) && arg &&
        is_pty_slave(fd)) {
        const int settable = TIOCM_RTS | TIOCM_DTR;
        pthread_mutex_lock(&lock);
        int before = lines;
        int* v = (int*)arg;
        switch (request) {
        case TIOCMGET: *v = lines; break;
        case TIOCMSET: lines = (lines & ~settable) | (*v & settable); break;
        case TIOCMBIS: lines |= *v & settable; break;
        default: lines &= ~(*v & settable); break;
        }
        log_lines(before);
        pthread_mutex_unlock(&lock);
        return 0;
    }
    if (request == TIOCOUTQ && arg && is_pty_slave(fd)) {
        pthread_mutex_lock(&lock);
        const int queued = queue_held();
        pthread_mutex_unlock(&lock);
        if (queued) {
            *(int*)arg = 1;
            return 0;
        }
    }
    return real(fd, request, arg);
}

/* The frame held on its way (TARNELL_TXQ_HOLD), under the lock. */
static pthread_cond_t flushed_cond = PTHREAD_COND_INITIALIZER;
static int holding, flushed;
static char kept[65536];
static size_t kept_len;

static ssize_t real_write(int fd, const void* buf, size_t n)
{
    static ssize_t (*real)(int, const void*, size_t);
    if (!real)
        real = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    return real(fd, buf, n);
}

static int file_says(const char* name, const char* word)
{
    char got[16] = "";
    FILE* f = fopen(name, "r");
    if (!f)
        return 0;
    if (!fgets(got, sizeof got, f))
        got[0] = 0;
    fclose(f);
    return strncmp(got, word, strlen(word)) == 0;
}

static void keep(const void* buf, size_t n)
{
    if (n > sizeof kept - kept_len)
        n = sizeof kept - kept_len;
    memcpy(kept + kept_len, buf, n);
    kept_len += n;
}

ssize_t write(int fd, const void* buf, size_t n)
{
    const char* name = getenv("TARNELL_TXQ_HOLD");
    if (!name || !is_pty_slave(fd))
        return real_write(fd, buf, n);
    pthread_mutex_lock(&lock);
    if (!holding && file_says(name, "hold")) {
        holding = 1;
        flushed = 0;
        int marker = open(name, O_WRONLY | O_TRUNC);
        if (marker >= 0) {
            real_write(marker, "paused\n", 7);
            close(marker);
        }
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += 2;
        while (!flushed && pthread_cond_timedwait(&flushed_cond, &lock, &until) == 0) {
        }
        keep(buf, n);
        pthread_mutex_unlock(&lock);
        return (ssize_t)n;
    }
    if (holding && access(name, F_OK) == 0) {
        keep(buf, n);
        pthread_mutex_unlock(&lock);
        return (ssize_t)n;
    }
    if (holding) {
        /* Released: what the driver kept leaves first. */
        for (size_t at = 0; at < kept_len;) {
            ssize_t w = real_write(fd, kept + at, kept_len - at);
            if (w <= 0)
                break;
            at += (size_t)w;
        }
        kept_len = 0;
        holding = 0;
    }
    pthread_mutex_unlock(&lock);
    return real_write(fd, buf, n);
}

int tcflush(int fd, int queue)
{
    static int (*real)(int, int);
    if (!real)
        real = (int (*)(int, int))dlsym(RTLD_NEXT, "tcflush");
    if ((queue == TCOFLUSH || queue == TCIOFLUSH) && is_pty_slave(fd)) {
        pthread_mutex_lock(&lock);
        if (holding) {
            kept_len = 0;
            flushed = 1;
            pthread_cond_broadcast(&flushed_cond);
        }
        pthread_mutex_unlock(&lock);
    }
    return real(fd, queue);
}
