/* Stands in for Wine's 32-bit preloader, which Debian does not ship, when
 * Wine's 32-bit loader runs under qemu's user-mode emulator. Loaded with
 * LD_PRELOAD, it reserves the free parts of the ranges Wine wants for
 * Windows memory before anything else can map there, and hands them to Wine
 * through wine_main_preload_info, as the real preloader does. Without it each
 * Wine process spends about a minute probing its address space under qemu.
 *
 * Built with -m32 -ffreestanding -nostdlib: no 32-bit C library headers or
 * start files are needed, only the kernel's i386 system calls. */

typedef unsigned long ulong;

struct preload_info { void *addr; ulong size; };

/* The Wine loader exports its own variable of this name; through the GOT,
 * the assignment below lands in the loader's copy. */
__attribute__((visibility("default"))) struct preload_info *wine_main_preload_info;

#define MAX_AREAS 64
static struct preload_info areas[MAX_AREAS + 1];
static char maps[256 * 1024];

static const struct { ulong start, end; } wanted[] = {
    { 0x00110000ul, 0x68000000ul },  /* low memory: executables and DLLs */
    { 0x7f000000ul, 0x82000000ul },  /* shared user data, top-down heaps */
};

static long sys1(long n, long a)
{
    long r;
    __asm__ volatile("int $0x80" : "=a"(r) : "0"(n), "b"(a) : "memory");
    return r;
}

static long sys3(long n, long a, long b, long c)
{
    long r;
    __asm__ volatile("int $0x80" : "=a"(r) : "0"(n), "b"(a), "c"(b), "d"(c) : "memory");
    return r;
}

enum { SYS_read = 3, SYS_open = 5, SYS_close = 6, SYS_old_mmap = 90, SYS_munmap = 91 };

static void *reserve(ulong addr, ulong size)
{
    /* PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE */
    ulong args[6] = { addr, size, 0, 0x02 | 0x20 | 0x4000 | 0x100000, (ulong)-1, 0 };
    return (void *)sys1(SYS_old_mmap, (long)args);
}

static const char *hex(const char *p, ulong *value)
{
    ulong v = 0;
    for (;; ++p) {
        char c = *p;
        if (c >= '0' && c <= '9') v = v * 16 + (ulong)(c - '0');
        else if (c >= 'a' && c <= 'f') v = v * 16 + (ulong)(c - 'a' + 10);
        else break;
    }
    *value = v;
    return p;
}

static int count;

/* Reserves [start, end) and records it; a failure only costs speed. */
static void take(ulong start, ulong end)
{
    if (start >= end || count == MAX_AREAS) return;
    void *got = reserve(start, end - start);
    if (got != (void *)start) {
        /* A kernel without MAP_FIXED_NOREPLACE may place it elsewhere. */
        if ((ulong)got < (ulong)-4096) sys3(SYS_munmap, (long)got, (long)(end - start), 0);
        return;
    }
    areas[count].addr = (void *)start;
    areas[count].size = end - start;
    ++count;
}

static void reserve_free_parts(ulong lo, ulong hi, ulong used_len)
{
    /* Walk the mappings in address order; the gaps between them are free. */
    ulong cursor = lo;
    const char *p = maps, *stop = maps + used_len;
    while (p < stop && cursor < hi) {
        ulong start, end;
        const char *q = hex(p, &start);
        if (*q == '-') {
            hex(q + 1, &end);
            if (end > cursor && start < hi) {
                if (start > cursor) take(cursor, start);
                cursor = end;
            }
        }
        while (p < stop && *p != '\n') ++p;
        ++p;
    }
    if (cursor < hi) take(cursor, hi);
}

static void strip_own_preload(char **envp)
{
    /* Programs this one starts must not inherit a 32-bit preload (a 64-bit
     * one would warn); every 32-bit program gets it anew from the emulator. */
    static const char key[] = "LD_PRELOAD=";
    char **out = envp;
    for (char **e = envp; *e; ++e) {
        int i = 0;
        while (key[i] && (*e)[i] == key[i]) ++i;
        if (!key[i]) continue;
        *out++ = *e;
    }
    *out = 0;
}

__attribute__((constructor)) static void velmora_wine_preload(int argc, char **argv, char **envp)
{
    (void)argc; (void)argv;
    long fd = sys3(SYS_open, (long)"/proc/self/maps", 0, 0);
    if (fd >= 0) {
        ulong used = 0;
        for (;;) {
            long n = sys3(SYS_read, fd, (long)(maps + used), (long)(sizeof maps - 1 - used));
            if (n <= 0) break;
            used += (ulong)n;
            if (used == sizeof maps - 1) break;
        }
        sys1(SYS_close, fd);
        for (unsigned i = 0; i < sizeof wanted / sizeof wanted[0]; ++i)
            reserve_free_parts(wanted[i].start, wanted[i].end, used);
        if (count) wine_main_preload_info = areas;
    }
    if (envp) strip_own_preload(envp);
}
