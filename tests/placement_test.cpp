#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tag_placement.hpp"
#include "tag_record.hpp"
#include "test_files.hpp"

namespace {

class Placement : public scratch_dir {};

tag_record sample_record()
{
    tag_record r;
    blank_record(r);
    r[3] = 'N';
    r[127] = 0x11;
    return r;
}

std::string as_string(const tag_record& r)
{
    return {reinterpret_cast<const char*>(r.data()), r.size()};
}

std::string old_record()
{
    return record_of({"Old", "Old", "Old", "1970", "Old", 1});
}

TEST_F(Placement, OverwritesARecordOrAppendsOne)
{
    struct {
        const char* name;
        std::string before;
        std::size_t kept;  // bytes of before that must stay as they were
    } const cases[] = {
        {"empty file", "", 0},
        {"300 bytes, no record", std::string(300, 'a'), 300},
        {"ends in a record", std::string(300, 'a') + old_record(), 300},
        {"marker but no real record", std::string(10, 'b') + "TAG" + std::string(125, 'c'), 10},
        {"exactly a record", old_record(), 0},
        {"begins with the marker only", "TAG" + std::string(200, 'd'), 203},
        {"lower-case marker", std::string(5, 'e') + "tag" + std::string(125, 'f'), 133},
        {"50 bytes from the marker", "TAG" + std::string(47, 'g'), 50},
        {"127 bytes from the marker", "TAG" + std::string(124, 'h'), 127},
    };
    const tag_record record = sample_record();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(path("f"), c.before);
        ASSERT_EQ(stamp_file(path("f").c_str(), record), stamp_status::ok);
        EXPECT_EQ(read_file(path("f")), c.before.substr(0, c.kept) + as_string(record));
        // Once a record is there, a second run replaces it.
        ASSERT_EQ(stamp_file(path("f").c_str(), record), stamp_status::ok);
        EXPECT_EQ(read_file(path("f")).size(), c.kept + tag_size);
    }
}

TEST_F(Placement, OnlyRegularFilesAreOpened)
{
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    const std::string targets[] = {path("missing"), path(""), path("fifo"), "/dev/null"};
    for (const auto& target : targets)
        EXPECT_EQ(stamp_file(target.c_str(), sample_record()), stamp_status::cant_open) << target;
    EXPECT_NE(::access(path("missing").c_str(), F_OK), 0) << "a missing file must not be created";
}

TEST_F(Placement, ProbeReadsTheTail)
{
    write_file(path("f"), std::string(7, 'z') + old_record());
    const int fd = ::open(path("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    tag_probe probe;
    ASSERT_TRUE(find_tag(fd, 135, probe));
    EXPECT_TRUE(probe.found);
    EXPECT_EQ(as_string(probe.tail), old_record());
    // A size the file no longer has is a failed read, not a missing record.
    EXPECT_FALSE(find_tag(fd, 300, probe));
    ::close(fd);
}

TEST_F(Placement, FailedWritesAreReported)
{
    // A descriptor open for reading only makes every write fail.
    const std::string before = std::string(40, 'q') + old_record();
    write_file(path("f"), before);
    const int fd = ::open(path("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    tag_probe probe;
    ASSERT_TRUE(find_tag(fd, off_t(before.size()), probe));
    EXPECT_EQ(write_tag(fd, sample_record(), probe), stamp_status::cant_write);
    probe.found = false;
    EXPECT_EQ(write_tag(fd, sample_record(), probe), stamp_status::cant_write);
    ::close(fd);
    EXPECT_EQ(read_file(path("f")), before);
}

// Holds the process to a file-size limit, so that writes past it fail
// instead of killing it.
class size_limit {
public:
    explicit size_limit(rlim_t bytes)
    {
        (void)::getrlimit(RLIMIT_FSIZE, &old_limit_);
        old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, old_limit_.rlim_max};
        (void)::setrlimit(RLIMIT_FSIZE, &limit);
    }
    size_limit(const size_limit&) = delete;
    size_limit& operator=(const size_limit&) = delete;
    ~size_limit()
    {
        (void)::setrlimit(RLIMIT_FSIZE, &old_limit_);
        (void)::signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit old_limit_{};
    sighandler_t old_handler_{};
};

// The old record's bytes are written back exactly where the cut record went,
// so on a file opened as the tool opens it they cannot fail where it did. On
// Linux, pwrite on an O_APPEND descriptor lands at the end of the file
// instead, so there the restore meets the limit the record met.
TEST_F(Placement, AFailedRestoreIsTold)
{
    const std::string before = std::string(872, 'q') + old_record();
    write_file(path("f"), before);
    const int fd = ::open(path("f").c_str(), O_RDWR | O_APPEND);
    ASSERT_GE(fd, 0);
    tag_probe probe;
    ASSERT_TRUE(find_tag(fd, off_t(before.size()), probe));
    ASSERT_TRUE(probe.found);
    stamp_status status{};
    {
        const size_limit limit{before.size() + 50};
        status = write_tag(fd, sample_record(), probe);
    }
    ::close(fd);
    EXPECT_EQ(status, stamp_status::cant_restore);
    EXPECT_EQ(read_file(path("f")), before + as_string(sample_record()).substr(0, 50));
}

// A path is looked at, then opened: whatever is found there by then must be
// the regular file that was looked at.
TEST_F(Placement, OnlyTheFileSeenIsWritten)
{
    write_file(path("other"), "other");
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    struct {
        const char* name;
        const char* put_in_place;  // renamed over the file after it was seen
        bool same;
    } const cases[] = {
        {"the same file", nullptr, true},
        {"another file", "other", false},
        {"a FIFO", "fifo", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(path("f"), "audio");
        struct stat seen{};
        ASSERT_EQ(::stat(path("f").c_str(), &seen), 0);
        if (c.put_in_place != nullptr) {
            ASSERT_EQ(::rename(path(c.put_in_place).c_str(), path("f").c_str()), 0);
        }
        // O_RDWR opens a FIFO on Linux without waiting for the other end.
        const int fd = ::open(path("f").c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(is_file_seen(fd, seen), c.same);
        ::close(fd);
    }
}

// Settings of the kernel pass for regular files. These would take a record
// harmlessly (the test's own name; a number that refuses text), and nothing
// must be written to them even so.
TEST_F(Placement, KernelInterfacesAreRefused)
{
    for (const char* file : {"/proc/self/comm", "/sys/kernel/rcu_expedited"}) {
        SCOPED_TRACE(file);
        struct stat st{};
        if (::stat(file, &st) != 0)
            continue;  // a kernel built without it
        ASSERT_TRUE(S_ISREG(st.st_mode));
        const std::string before = read_file(file);
        EXPECT_EQ(stamp_file(file, sample_record()), stamp_status::cant_open);
        EXPECT_EQ(read_file(file), before);
    }
}

}  // namespace
