// Runs the built command on real files in a scratch folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_tool.hpp"
#include "test_files.hpp"

namespace {

class Command : public scratch_dir {};

std::string input_of(std::string_view title, std::string_view genre = "17")
{
    return std::string(title) + "\nBand\nDisc\n1999\nNice\n" + std::string(genre) + "\n";
}

std::string record_for(std::string_view title, unsigned char genre = 17)
{
    return record_of({std::string(title), "Band", "Disc", "1999", "Nice", genre});
}

void expect_quiet_success(const run_result& r)
{
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(Command, AppendsThenReplaces)
{
    const std::string audio(600, '\x5a');
    write_file(path("a.mp3"), audio);
    expect_quiet_success(run_tool({{path("a.mp3")}, input_of("Song")}));
    EXPECT_EQ(read_file(path("a.mp3")), audio + record_for("Song"));

    expect_quiet_success(run_tool({{path("a.mp3"), "ignored", "args"}, input_of("Other", "300")}));
    EXPECT_EQ(read_file(path("a.mp3")), audio + record_for("Other", 0x2C));
}

TEST_F(Command, FailuresHaveAMessageAndAStatus)
{
    ASSERT_EQ(::mkdir(path("dir").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    write_file(path("kept"), "keep me");
    const std::string odd = path("100%s%n%d.mp3");
    struct {
        const char* name;
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string err;
    } const cases[] = {
        {"no argument", {}, input_of("T"), 2, "usage: id3stamp file\n"},
        {"missing file", {path("missing")}, input_of("T"), 1, "Can't open " + path("missing") + "\n"},
        {"path is data", {odd}, input_of("T"), 1, "Can't open " + odd + "\n"},
        {"directory", {path("dir")}, input_of("T"), 1, "Can't open " + path("dir") + "\n"},
        {"fifo", {path("fifo")}, input_of("T"), 1, "Can't open " + path("fifo") + "\n"},
        {"device", {"/dev/null"}, input_of("T"), 1, "Can't open /dev/null\n"},
        {"incomplete input", {path("kept")}, "T\nA\nB\nY\n", 1, "Incomplete input\n"},
        {"no input", {path("kept")}, "", 1, "Incomplete input\n"},
        // Input is checked before the file is even opened.
        {"incomplete, missing file", {path("missing")}, "T\n", 1, "Incomplete input\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const run_result r = run_tool({c.args, c.input}, 5000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_NE(::access(path("missing").c_str(), F_OK), 0);
    EXPECT_NE(::access(odd.c_str(), F_OK), 0);
    EXPECT_EQ(read_file(path("kept")), "keep me");
}

class SharedInput : public Command {
protected:
    int open_input(const std::string& bytes)
    {
        write_file(path("tags.txt"), bytes);
        return ::open(path("tags.txt").c_str(), O_RDONLY);
    }
};

TEST_F(SharedInput, UsageReadsNoInput)
{
    const int fd = open_input(input_of("T"));
    const run_result r = run_tool({.args = {}, .stdin_fd = fd});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0);
    ::close(fd);
}

// A standard input that cannot be read ends the input; it is never retried.
TEST_F(SharedInput, ReadErrorIsEndOfInput)
{
    write_file(path("f"), "audio");
    const int dir = ::open(path("").c_str(), O_RDONLY | O_DIRECTORY);
    const run_result r = run_tool({.args = {path("f")}, .stdin_fd = dir}, 5000);
    ::close(dir);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Incomplete input\n");
    EXPECT_EQ(read_file(path("f")), "audio");
}

// Runs in turn on one seekable input take one record each, including a run
// whose file cannot be opened.
TEST_F(SharedInput, RunsTakeConsecutiveRecords)
{
    const std::string records[] = {input_of("First", "1"), input_of("Second", "  2 trailing"),
                                   "Third\r\nBand\r\nDisc\r\n1999\r\nNice\r\n\r\n\r\n3\r\n"};
    const int fd = open_input(records[0] + records[1] + records[2]);
    write_file(path("a"), "");
    write_file(path("c"), "");

    expect_quiet_success(run_tool({.args = {path("a")}, .stdin_fd = fd}));
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), off_t(records[0].size()));
    EXPECT_EQ(run_tool({.args = {path("b")}, .stdin_fd = fd}).status, 1);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), off_t(records[0].size() + records[1].size()));
    expect_quiet_success(run_tool({.args = {path("c")}, .stdin_fd = fd}));
    ::close(fd);

    EXPECT_EQ(read_file(path("a")), record_for("First", 1));
    EXPECT_EQ(read_file(path("c")), record_for("Third", 3));
}

// The batch loop of the README: names from one file, records from another.
TEST_F(SharedInput, ShellLoopOverFiles)
{
    write_file(path("tags.txt"), input_of("One", "1") + input_of("Two", "2") + input_of("Three", "3"));
    write_file(path("files.txt"), "1.mp3\nmissing.mp3\n3.mp3\n");
    for (const char* f : {"1.mp3", "3.mp3"})
        write_file(path(f), "audio");
    const std::string script = "cd '" + path("") + "' && while read -r f <&3; do '" ID3STAMP_BIN
                               "' \"$f\" 2>/dev/null || echo \"$f\" >> failed; done 3< files.txt < tags.txt";
    ASSERT_EQ(std::system(script.c_str()), 0);
    EXPECT_EQ(read_file(path("1.mp3")), "audio" + record_for("One", 1));
    EXPECT_EQ(read_file(path("3.mp3")), "audio" + record_for("Three", 3));
    EXPECT_EQ(read_file(path("failed")), "missing.mp3\n");
}

// A typed genre line ends the run: it must not wait for the end of input.
TEST_F(Command, EndsAfterTheGenreLineOnAnOpenPipe)
{
    write_file(path("a"), "x");
    const run_result r = run_tool({.args = {path("a")}, .input = input_of("T"), .hold_input_open = true}, 5000);
    EXPECT_FALSE(r.timed_out);
    expect_quiet_success(r);
    EXPECT_EQ(read_file(path("a")), "x" + record_for("T"));
}

// A write past the file-size limit is reported and undone, and never kills
// the process.
TEST_F(Command, FileSizeLimitFailsCleanly)
{
    const std::string plain(1000, 'p');
    const std::string tagged = std::string(872, 't') + record_for("Old", 1);
    struct {
        const char* name;
        std::string before;
        rlim_t limit;
    } const cases[] = {
        {"append cut short", plain, 1050},
        {"append refused", plain, 1000},
        {"overwrite cut short", tagged, 900},
        {"overwrite refused", tagged, 800},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(path("f"), c.before);
        const run_result r = run_tool({.args = {path("f")}, .input = input_of("New"), .file_size_limit = c.limit});
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Can't write " + path("f") + "\n");
        EXPECT_EQ(read_file(path("f")), c.before);
    }
}

TEST_F(Command, WaitsForAHeldLock)
{
    write_file(path("f"), "audio");
    const int fd = ::open(path("f").c_str(), O_RDWR);
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(fd, F_SETLK, &lock), 0);

    child_run child = start_tool({.args = {path("f")}, .input = input_of("Locked")});
    EXPECT_TRUE(still_running(child, 300));
    EXPECT_EQ(read_file(path("f")), "audio");
    ::close(fd);  // releases the lock
    expect_quiet_success(finish_tool(child));
    EXPECT_EQ(read_file(path("f")), "audio" + record_for("Locked"));
}

TEST_F(Command, ConcurrentRunsAddOneRecord)
{
    const std::string audio(4096, 'c');
    write_file(path("f"), audio);
    std::vector<child_run> children;
    children.reserve(12);
    for (int i = 0; i < 12; ++i)
        children.push_back(start_tool({.args = {path("f")}, .input = input_of("Run " + std::to_string(i))}));
    for (auto& child : children)
        expect_quiet_success(finish_tool(child));
    const std::string after = read_file(path("f"));
    ASSERT_EQ(after.size(), audio.size() + 128);
    EXPECT_EQ(after.substr(0, audio.size()), audio);
    EXPECT_EQ(after.substr(audio.size(), 7), "TAGRun ");
}

TEST_F(Command, TagsInPlace)
{
    write_file(path("f"), "audio");
    ASSERT_EQ(::chmod(path("f").c_str(), 0640), 0);
    ASSERT_EQ(::link(path("f").c_str(), path("hard").c_str()), 0);
    ASSERT_EQ(::symlink(path("f").c_str(), path("soft").c_str()), 0);
    struct stat before{};
    ASSERT_EQ(::stat(path("f").c_str(), &before), 0);

    expect_quiet_success(run_tool({{path("soft")}, input_of("Linked")}));

    struct stat after{}, link{};
    ASSERT_EQ(::stat(path("f").c_str(), &after), 0);
    ASSERT_EQ(::lstat(path("soft").c_str(), &link), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(read_file(path("hard")), "audio" + record_for("Linked"));
}

}  // namespace
