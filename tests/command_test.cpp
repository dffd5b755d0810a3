// Runs the built command on real files in a scratch folder.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
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

// A standard input that cannot be read is a failure, never a short record,
// and the file is not touched.
TEST_F(SharedInput, UnreadableInputIsRefused)
{
    write_file(path("f"), "audio");
    // A terminal whose other side has gone gives EIO.
    const int pty = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(pty, 0);
    ASSERT_EQ(::grantpt(pty), 0);
    ASSERT_EQ(::unlockpt(pty), 0);
    ::close(::open(::ptsname(pty), O_RDWR | O_NOCTTY));
    const int dir = ::open(path("").c_str(), O_RDONLY | O_DIRECTORY);
    for (const int input : {dir, pty}) {
        const run_result r = run_tool({.args = {path("f")}, .stdin_fd = input}, 5000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Can't read input\n");
        EXPECT_EQ(read_file(path("f")), "audio");
    }
    ::close(dir);
    ::close(pty);
}

// Standard input left non-blocking by whoever started us: a record that
// arrives in two parts is waited for, not cut short.
TEST_F(Command, WaitsOnANonBlockingPipe)
{
    write_file(path("f"), "audio");
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(p[0], F_SETFL, O_NONBLOCK), 0);
    const std::string first = "Slow\nBand\nDisc\n1999\nNi";
    const std::string second = "ce\n17\n";
    ASSERT_EQ(::write(p[1], first.data(), first.size()), ssize_t(first.size()));
    child_run child = start_tool({.args = {path("f")}, .stdin_fd = p[0]});
    ::close(p[0]);
    EXPECT_TRUE(still_running(child, 300));
    ASSERT_EQ(::write(p[1], second.data(), second.size()), ssize_t(second.size()));
    ::close(p[1]);
    expect_quiet_success(finish_tool(child));
    EXPECT_EQ(read_file(path("f")), "audio" + record_for("Slow"));
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

// A blank genre line means no genre and must not take the next record's
// title; a text genre line is its own record's; a number may follow blank
// lines. Every later file is tagged with its own record.
TEST_F(SharedInput, GenreLinesInAFileOfRecords)
{
    const std::string records = "A\nBand\nDisc\n1999\nNice\n\n"
                                "B\nBand\nDisc\n1999\nNice\nRock\n"
                                "C\nBand\nDisc\n1999\nNice\n\n \n5\n"
                                "D\nBand\nDisc\n1999\nNice\n\n"
                                "E\nBand\nDisc\n1999\nNice\n7\n";
    const int fd = open_input(records);
    const std::pair<const char*, unsigned char> expected[] = {{"A", 0xFF}, {"B", 0xFF}, {"C", 5}, {"D", 0xFF}, {"E", 7}};
    for (const auto& [title, genre] : expected) {
        write_file(path(title), "");
        expect_quiet_success(run_tool({.args = {path(title)}, .stdin_fd = fd}));
        EXPECT_EQ(read_file(path(title)), record_for(title, genre)) << title;
    }
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), off_t(records.size()));
    ::close(fd);
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

// A process waiting at one end of a FIFO: a writer that sends "important",
// or a reader that exits 0 only if it gets "important" in full.
pid_t wait_at_fifo(const std::string& fifo, bool writer)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    const int fd = ::open(fifo.c_str(), writer ? O_WRONLY : O_RDONLY);
    char got[16] = {};
    if (writer)
        ::_exit(fd >= 0 && ::write(fd, "important", 9) == 9 ? 0 : 1);
    ::_exit(fd >= 0 && ::read(fd, got, sizeof got) == 9 && std::string_view(got) == "important" ? 0 : 1);
}

// Waits until the process sleeps in the FIFO's open, where the kernel holds
// it until the other end is opened. Where wait channels are hidden, a pause
// must do.
void wait_until_blocked_in_open(pid_t pid)
{
    const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    for (int i = 0; i < 200; ++i) {
        const std::string where = read_file(wchan);
        if (where == "wait_for_partner")
            return;
        if (where == "0" && i >= 20)
            return;
        ::usleep(10000);
    }
}

bool has_exited(pid_t pid)
{
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Its exit status, or -1 when it is still stuck after a second and had to
// be killed.
int reap(pid_t pid)
{
    for (int i = 0; i < 100 && !has_exited(pid); ++i)
        ::usleep(10000);
    if (!has_exited(pid))
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The other end of a FIFO, opened without waiting: a writer that is gone
// gives end of file, a reader that is gone makes the open fail.
std::string exchange_through(const std::string& fifo, bool read_it)
{
    const int fd = ::open(fifo.c_str(), (read_it ? O_RDONLY : O_WRONLY) | O_NONBLOCK);
    if (fd < 0)
        return "(no reader)";
    ::fcntl(fd, F_SETFL, 0);
    char got[16] = {};
    const ssize_t n = read_it ? ::read(fd, got, sizeof got) : ::write(fd, "important", 9);
    ::close(fd);
    return read_it ? std::string(got, std::size_t(std::max<ssize_t>(n, 0))) : "important";
}

// A FIFO is never opened: whoever waits at its other end keeps waiting, and
// what is sent through it reaches a real reader.
TEST_F(Command, LeavesAFifoToItsReadersAndWriters)
{
    for (const bool writer : {true, false}) {
        SCOPED_TRACE(writer ? "a writer waits" : "a reader waits");
        const std::string fifo = path(writer ? "w.fifo" : "r.fifo");
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        const pid_t waiting = wait_at_fifo(fifo, writer);
        ASSERT_GT(waiting, 0);
        wait_until_blocked_in_open(waiting);

        const run_result r = run_tool({{fifo}, input_of("T")}, 5000);
        EXPECT_FALSE(has_exited(waiting)) << "the run released the other end";
        EXPECT_EQ(exchange_through(fifo, writer), "important");
        EXPECT_EQ(reap(waiting), 0);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Can't open " + fifo + "\n");
    }
}

// A file under a lease (an oplock or a delegation a file server holds) is
// opened once its holder lets go, not refused.
TEST_F(Command, WaitsForALeaseHolder)
{
    write_file(path("f"), "audio");
    const int fd = ::open(path("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    // The holder is told of the break by SIGIO; this one lets go by itself.
    const sighandler_t old_handler = ::signal(SIGIO, SIG_IGN);
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
        ::close(fd);
        ::signal(SIGIO, old_handler);
        GTEST_SKIP() << "no leases on this file system";
    }

    child_run child = start_tool({.args = {path("f")}, .input = input_of("Leased")});
    EXPECT_TRUE(still_running(child, 300));
    EXPECT_EQ(::fcntl(fd, F_SETLEASE, F_UNLCK), 0);
    ::close(fd);
    expect_quiet_success(finish_tool(child));
    ::signal(SIGIO, old_handler);
    EXPECT_EQ(read_file(path("f")), "audio" + record_for("Leased"));
}

// A device is refused before it is opened, so a lock another process holds
// on it cannot make the run wait. The node is our own (the null device's
// numbers), so the lock touches no one else.
TEST_F(Command, RefusesALockedDeviceAtOnce)
{
    const std::string device = path("null");
    if (::mknod(device.c_str(), S_IFCHR | 0600, ::makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make a device node here";
    const int fd = ::open(device.c_str(), O_RDWR);
    if (fd < 0)
        GTEST_SKIP() << "device nodes cannot be opened here (nodev?)";
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(fd, F_SETLK, &lock), 0);

    const run_result r = run_tool({{device}, input_of("T")}, 2000);
    ::close(fd);
    EXPECT_FALSE(r.timed_out) << "the run waited for the lock";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Can't open " + device + "\n");
}

// /proc/sys/kernel/hostname passes for a regular file of size 0; a record
// "appended" to it would become the host name. Run in a private UTS
// namespace, a wrong name would die with the namespace.
TEST_F(Command, RefusesKernelSettingsInAPrivateNamespace)
{
    if (std::system("unshare -u true 2>/dev/null") != 0)
        GTEST_SKIP() << "no private UTS namespace allowed here (unshare -u failed)";
    write_file(path("in"), input_of("Tagged"));
    const std::string script = "unshare -u sh -c 'hostname id3stamp-test && \"$0\" /proc/sys/kernel/hostname"
                               " < \"$1\" 2> \"$2\"; echo $? > \"$3\"; hostname > \"$4\"' '" ID3STAMP_BIN "' '" +
                               path("in") + "' '" + path("err") + "' '" + path("status") + "' '" +
                               path("hostname") + "'";
    ASSERT_EQ(std::system(script.c_str()), 0);
    EXPECT_EQ(read_file(path("hostname")), "id3stamp-test\n");
    EXPECT_EQ(read_file(path("status")), "1\n");
    EXPECT_EQ(read_file(path("err")), "Can't open /proc/sys/kernel/hostname\n");
}

// When a cut append cannot be cut off again, the file ends in part of a
// record, and the run must not say that it is as it was. A memfd sealed
// against shrinking refuses the truncation; reached through /proc it is a
// regular file on tmpfs, and the file-size limit cuts the append.
TEST_F(Command, AFailedTruncationIsTold)
{
    const int fd = ::memfd_create("audio", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_GE(fd, 0);
    const std::string audio(1000, 'a');
    ASSERT_EQ(::write(fd, audio.data(), audio.size()), ssize_t(audio.size()));
    ASSERT_EQ(::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK), 0);
    const std::string file = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd);

    const run_result r = run_tool({.args = {file}, .input = input_of("New"), .file_size_limit = 1050});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Can't restore " + file + "\n");
    std::string after(2000, '\0');
    after.resize(std::size_t(std::max<ssize_t>(0, ::pread(fd, after.data(), after.size(), 0))));
    ::close(fd);
    EXPECT_EQ(after, audio + record_for("New").substr(0, 50));
}

}  // namespace
