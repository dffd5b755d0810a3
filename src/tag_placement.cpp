#include "tag_placement.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/vfs.h>

#include <algorithm>
#include <array>
#include <cstdint>
#endif

#include <cerrno>
#include <span>
#include <utility>

namespace {

// The one open file: closed on every early return, and by close() where the
// result of closing matters.
class open_file {
public:
    explicit open_file(int fd) : fd_(fd) {}
    open_file(const open_file&) = delete;
    open_file& operator=(const open_file&) = delete;
    ~open_file()
    {
        if (fd_ >= 0)
            (void)::close(fd_);
    }

    [[nodiscard]] int fd() const { return fd_; }

    [[nodiscard]] bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

// Only a path that names a regular file is opened: opening a FIFO releases
// whoever waits at its other end, and opening a device can start a watchdog,
// reset a board through a serial line or rewind a tape.
bool is_regular_path(const char* path, struct stat& seen)
{
    return ::stat(path, &seen) == 0 && S_ISREG(seen.st_mode);
}

// Without O_NONBLOCK, so that a file under a lease waits for its holder to
// let go instead of failing. openat, since musl's open follows an
// O_CLOEXEC open with an fcntl that an old kernel would have needed.
int open_for_update(const char* path)
{
    int fd;
    do
        fd = ::openat(AT_FDCWD, path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Waits while another writer holds the file. A file system without locks is
// no reason to refuse the work.
bool lock_file(int fd)
{
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (::fcntl(fd, F_SETLKW, &lock) == -1) {
        if (errno == EINTR)
            continue;
        return errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOTSUP;
    }
    return true;
}

// Returns how many of the bytes reached the file: all of them, or those
// before the write that failed, which an undo must put back.
std::size_t write_at(int fd, std::span<const unsigned char> bytes, off_t at)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::pwrite(fd, bytes.data() + done, bytes.size() - done, at + static_cast<off_t>(done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break;
        done += static_cast<std::size_t>(put);
    }
    return done;
}

bool read_exactly(int fd, std::span<unsigned char> bytes, off_t at)
{
    while (!bytes.empty()) {
        const ssize_t got = ::pread(fd, bytes.data(), bytes.size(), at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes = bytes.subspan(static_cast<std::size_t>(got));
        at += got;
    }
    return true;
}

bool truncate_to(int fd, off_t size)
{
    int r;
    do
        r = ::ftruncate(fd, size);
    while (r == -1 && errno == EINTR);
    return r == 0;
}

// Puts back what the first `put` bytes of a failed write changed. Only those
// are written back: the rest of the old record was never touched, and
// writing it again could fail where the record's write did, at a file-size
// limit, and call a whole file damaged.
bool undo_write(int fd, const tag_probe& probe, off_t at, std::size_t put)
{
    if (put == 0)
        return true;
    if (probe.found)
        return write_at(fd, std::span(probe.tail).first(put), at) == put;
    return truncate_to(fd, probe.size);
}

}  // namespace

bool is_file_seen(int fd, const struct stat& seen)
{
    struct stat now{};
    return ::fstat(fd, &now) == 0 && now.st_dev == seen.st_dev && now.st_ino == seen.st_ino &&
           S_ISREG(now.st_mode);
}

#ifdef __linux__
// Their settings pass for regular files, often of size 0, so a record
// "appended" to one would be taken as a new value: a host name, a core
// pattern.
bool is_kernel_interface(int fd)
{
    // The f_type of proc, sysfs, cgroup, cgroup2, debugfs, tracefs,
    // securityfs, configfs, efivarfs, bpf and pstore: the kernel's own
    // numbers, spelled out since not every C library ships <linux/magic.h>.
    static constexpr std::array<std::uint32_t, 11> kernel_file_systems{
        0x9fa0,     0x62656572, 0x27e0eb,   0x63677270, 0x64626720, 0x74726163,
        0x73636673, 0x62656570, 0xde5e81e4, 0xcafe4a11, 0x6165676c,
    };
    struct statfs fs{};
    if (::fstatfs(fd, &fs) != 0)
        return true;  // what cannot be checked is not written
    const auto type = static_cast<std::uint32_t>(fs.f_type);
    return std::find(kernel_file_systems.begin(), kernel_file_systems.end(), type) != kernel_file_systems.end();
}
#else
// No portable call tells which file system a file is on; elsewhere only the
// check for a regular file guards against kernel interfaces.
bool is_kernel_interface(int /*fd*/)
{
    return false;
}
#endif

bool find_tag(int fd, off_t size, tag_probe& probe)
{
    probe.size = size;
    probe.found = false;
    if (size < static_cast<off_t>(tag_size))
        return true;
    if (!read_exactly(fd, probe.tail, size - static_cast<off_t>(tag_size)))
        return false;
    probe.found = is_tag(probe.tail);
    return true;
}

stamp_status write_tag(int fd, const tag_record& record, const tag_probe& probe)
{
    const off_t at = probe.found ? probe.size - static_cast<off_t>(tag_size) : probe.size;
    const std::size_t put = write_at(fd, record, at);
    if (put == record.size())
        return stamp_status::ok;
    return undo_write(fd, probe, at, put) ? stamp_status::cant_write : stamp_status::cant_restore;
}

stamp_status stamp_file(const char* path, const tag_record& record)
{
    struct stat seen{};
    if (!is_regular_path(path, seen))
        return stamp_status::cant_open;
    open_file file{open_for_update(path)};
    if (file.fd() < 0 || !is_file_seen(file.fd(), seen) || is_kernel_interface(file.fd()))
        return stamp_status::cant_open;
    if (!lock_file(file.fd()))
        return stamp_status::cant_write;
    // The size is read under the lock, so two runs cannot both see a file
    // without a record and both append one.
    struct stat st{};
    if (::fstat(file.fd(), &st) != 0)
        return stamp_status::cant_write;

    tag_probe probe;
    if (!find_tag(file.fd(), st.st_size, probe))
        return stamp_status::cant_write;
    const stamp_status written = write_tag(file.fd(), record, probe);
    if (written != stamp_status::ok)
        return written;
    // No fsync, for speed: a failed close may leave the record in place.
    return file.close() ? stamp_status::ok : stamp_status::cant_write;
}
