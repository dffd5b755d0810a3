#include <fcntl.h>
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
    EXPECT_FALSE(write_tag(fd, sample_record(), probe));
    probe.found = false;
    EXPECT_FALSE(write_tag(fd, sample_record(), probe));
    ::close(fd);
    EXPECT_EQ(read_file(path("f")), before);
}

}  // namespace
