/* The floor: the system calls of one run of id3stamp, made straight from
 * _start with no C library at all, and nothing checked beyond what keeps it
 * from doing harm. A yardstick, not a tool. x86-64 Linux only (its system
 * call numbers and calling convention).
 *
 *   cc -O2 -static -nostdlib -ffreestanding -fno-stack-protector -o floor floor.c
 */
#define SYS_read 0
#define SYS_close 3
#define SYS_fstat 5
#define SYS_rt_sigaction 13
#define SYS_pread64 17
#define SYS_pwrite64 18
#define SYS_fcntl 72
#define SYS_fstatfs 138
#define SYS_exit_group 231
#define SYS_openat 257
#define SYS_newfstatat 262

#define AT_FDCWD -100
#define O_RDWR 02
#define O_NOCTTY 0400
#define O_CLOEXEC 02000000
#define F_SETLKW 7
#define F_WRLCK 1
#define SIGXFSZ 25
#define SIG_IGN 1
#define S_IFMT 0170000
#define S_IFREG 0100000
#define PROC_SUPER_MAGIC 0x9fa0
#define SYSFS_MAGIC 0x62656572

struct kstat {  /* the kernel's struct stat on x86-64 */
    unsigned long dev, ino, nlink;
    unsigned mode, uid, gid, pad0;
    unsigned long rdev;
    long size, blksize, blocks;
    unsigned long times[6];
    long reserved[3];
};

struct kstatfs {
    long type, bsize;
    unsigned long blocks, bfree, bavail, files, ffree;
    int fsid[2];
    long namelen, frsize, flags, spare[4];
};

struct kflock {
    short type, whence;
    long start, len;
    int pid;
};

struct ksigaction {
    unsigned long handler, flags, restorer, mask;
};

static long sys(long n, long a, long b, long c, long d)
{
    register long r10 __asm__("r10") = d;
    long ret;
    __asm__ volatile("syscall"
                     : "=a"(ret)
                     : "a"(n), "D"(a), "S"(b), "d"(c), "r"(r10)
                     : "rcx", "r11", "memory");
    return ret;
}

#define SPACES8 "        "
#define SPACES32 SPACES8 SPACES8 SPACES8 SPACES8
static unsigned char in[4096], probe[128];
static unsigned char rec[129] = "TAG" SPACES32 SPACES32 SPACES32 "                             ";

static int run(const char *path)
{
    struct ksigaction ign = {.handler = SIG_IGN};
    struct kflock lock = {.type = F_WRLCK};
    struct kstat st, again;
    struct kstatfs fs;
    long n = sys(SYS_read, 0, (long)in, sizeof in, 0), fd, i, at;

    if (n <= 0)
        return 1;
    for (i = 0; i < 30 && i < n && in[i] != '\n'; i++)
        rec[3 + i] = in[i];
    rec[127] = 17;

    sys(SYS_rt_sigaction, SIGXFSZ, (long)&ign, 0, 8);
    if (sys(SYS_newfstatat, AT_FDCWD, (long)path, (long)&st, 0) < 0 || (st.mode & S_IFMT) != S_IFREG)
        return 1;
    if ((fd = sys(SYS_openat, AT_FDCWD, (long)path, O_RDWR | O_NOCTTY | O_CLOEXEC, 0)) < 0)
        return 1;
    if (sys(SYS_fstat, fd, (long)&again, 0, 0) < 0 || again.dev != st.dev || again.ino != st.ino ||
        sys(SYS_fstatfs, fd, (long)&fs, 0, 0) < 0 || fs.type == PROC_SUPER_MAGIC || fs.type == SYSFS_MAGIC)
        return 1;
    if (sys(SYS_fcntl, fd, F_SETLKW, (long)&lock, 0) < 0 || sys(SYS_fstat, fd, (long)&st, 0, 0) < 0)
        return 1;
    at = st.size;
    if (at >= 128 && sys(SYS_pread64, fd, (long)probe, 128, at - 128) == 128 &&
        probe[0] == 'T' && probe[1] == 'A' && probe[2] == 'G')
        at -= 128;
    if (sys(SYS_pwrite64, fd, (long)rec, 128, at) != 128)
        return 1;
    return sys(SYS_close, fd, 0, 0, 0) != 0;
}

__attribute__((used)) static void start(long *sp)
{
    sys(SYS_exit_group, sp[0] < 2 ? 2 : run((const char *)sp[2]), 0, 0, 0);
}

__asm__(".globl _start\n"
        "_start:\n"
        "    xor %ebp, %ebp\n"
        "    mov %rsp, %rdi\n"
        "    and $-16, %rsp\n"
        "    call start\n"
        "    hlt\n");
