/* Single-steps one run of a command (ptrace) and prints what it executed in
 * user space, from exec to exit: instructions, CPUID instructions (each a
 * trap to the hypervisor in a virtual machine) and system calls. x86-64
 * Linux only. A bench tool: slow, and exact only for one process.
 *
 *   steps INPUT command [args]     prints: instructions cpuid syscalls
 *
 * A rep-prefixed string instruction traps once per iteration; it is counted
 * once, as the CPU's instruction counters do.
 */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

static void die(const char *what)
{
    perror(what);
    exit(1);
}

int main(int argc, char **argv)
{
    unsigned long instructions = 0, cpuid = 0, syscalls = 0, last_rip = 0;
    struct user_regs_struct regs;
    int status, in;
    pid_t pid;

    if (argc < 3) {
        fprintf(stderr, "usage: steps INPUT command [args]\n");
        return 2;
    }
    if ((pid = fork()) < 0)
        die("fork");
    if (pid == 0) {
        if ((in = open(argv[1], O_RDONLY)) < 0 || dup2(in, 0) < 0)
            die(argv[1]);
        if (ptrace(PTRACE_TRACEME, 0, 0, 0) != 0)
            die("ptrace");
        execv(argv[2], argv + 2);
        die(argv[2]);
    }
    /* The first stop is the exec's SIGTRAP, at the first instruction. */
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
        die("waitpid");
    ptrace(PTRACE_SETOPTIONS, pid, 0, PTRACE_O_EXITKILL);
    for (;;) {
        if (ptrace(PTRACE_GETREGS, pid, 0, &regs) != 0)
            die("PTRACE_GETREGS");
        if (regs.rip != last_rip) {
            const long word = ptrace(PTRACE_PEEKTEXT, pid, regs.rip, 0);
            instructions++;
            if ((word & 0xffff) == 0xa20f)
                cpuid++;
            else if ((word & 0xffff) == 0x050f)
                syscalls++;
            last_rip = regs.rip;
        }
        if (ptrace(PTRACE_SINGLESTEP, pid, 0, 0) != 0)
            die("PTRACE_SINGLESTEP");
        if (waitpid(pid, &status, 0) != pid)
            die("waitpid");
        if (WIFEXITED(status) || WIFSIGNALED(status))
            break;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "steps: %s failed\n", argv[2]);
        return 1;
    }
    printf("%lu %lu %lu\n", instructions, cpuid, syscalls);
    return 0;
}
