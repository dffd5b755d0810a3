#include "tag_placement.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// O_NONBLOCK keeps a FIFO from holding up the open; it changes nothing for
// the regular files that are all we go on to write.
int open_for_update(const char* path)
{
    int fd;
    do
        fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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

bool write_all(int fd, std::span<const unsigned char> bytes, off_t at)
{
    while (!bytes.empty()) {
        const ssize_t put = ::pwrite(fd, bytes.data(), bytes.size(), at);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes = bytes.subspan(static_cast<std::size_t>(put));
        at += put;
    }
    return true;
}

void truncate_to(int fd, off_t size)
{
    while (::ftruncate(fd, size) == -1 && errno == EINTR) {
    }
}

}  // namespace

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

bool write_tag(int fd, const tag_record& record, const tag_probe& probe)
{
    const off_t at = probe.found ? probe.size - static_cast<off_t>(tag_size) : probe.size;
    if (write_all(fd, record, at))
        return true;
    if (probe.found)
        (void)write_all(fd, probe.tail, at);
    else
        truncate_to(fd, probe.size);
    return false;
}

stamp_status stamp_file(const char* path, const tag_record& record)
{
    open_file file{open_for_update(path)};
    if (file.fd() < 0)
        return stamp_status::cant_open;
    // The lock comes before the size is read, so two runs cannot both see
    // a file without a record and both append one.
    const bool lock_ok = lock_file(file.fd());
    struct stat st{};
    if (::fstat(file.fd(), &st) != 0)
        return stamp_status::cant_write;
    if (!S_ISREG(st.st_mode))
        return stamp_status::cant_open;
    if (!lock_ok)
        return stamp_status::cant_write;

    tag_probe probe;
    if (!find_tag(file.fd(), st.st_size, probe) || !write_tag(file.fd(), record, probe))
        return stamp_status::cant_write;
    return file.close() ? stamp_status::ok : stamp_status::cant_write;
}
