/* The floor: only the system calls a run of id3stamp needs, and nothing
 * checked beyond what keeps it from doing harm. Not a tool; a yardstick. */
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    static char in[4096];
    unsigned char rec[128], probe[3];
    struct flock lock = {.l_type = F_WRLCK, .l_whence = SEEK_SET};
    struct stat st;
    ssize_t n = read(0, in, sizeof in);
    int fd;
    off_t at;

    if (argc < 2 || n <= 0)
        return 2;
    memset(rec, ' ', sizeof rec);
    memcpy(rec, "TAG", 3);
    memcpy(rec + 3, in, n < 30 ? (size_t)n : 30);
    if ((fd = open(argv[1], O_RDWR)) < 0 || fcntl(fd, F_SETLKW, &lock) < 0 || fstat(fd, &st) < 0)
        return 1;
    at = st.st_size;
    if (st.st_size >= 128 && pread(fd, probe, 3, st.st_size - 128) == 3 && memcmp(probe, "TAG", 3) == 0)
        at -= 128;
    if (pwrite(fd, rec, sizeof rec, at) != sizeof rec)
        return 1;
    return close(fd) != 0;
}
