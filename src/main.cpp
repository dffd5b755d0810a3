// id3stamp FILE: writes the ID3v1 record given on standard input at the end
// of FILE, over the record already there or behind the file's last byte.

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>

#include "field_reader.hpp"
#include "tag_placement.hpp"
#include "tag_record.hpp"

namespace {

// The path goes out as data, in one write, so that messages of runs side by
// side do not mix.
void complain(std::string_view what, const char* path = "")
{
    iovec parts[] = {
        {const_cast<char*>(what.data()), what.size()},
        {const_cast<char*>(path), std::strlen(path)},
        {const_cast<char*>("\n"), 1},
    };
    while (::writev(STDERR_FILENO, parts, 3) < 0 && errno == EINTR) {
    }
}

tag_record record;

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        complain("usage: id3stamp file");
        return 2;
    }
    const char* path = argv[1];

    blank_record(record);
    switch (read_fields(record, STDIN_FILENO)) {
    case input_status::complete:
        break;
    case input_status::incomplete:
        complain("Incomplete input");
        return 1;
    case input_status::unreadable:
        complain("Can't read input");
        return 1;
    }

    // Past a file-size limit a write must fail and be undone, not kill us.
    (void)std::signal(SIGXFSZ, SIG_IGN);
    switch (stamp_file(path, record)) {
    case stamp_status::ok:
        return 0;
    case stamp_status::cant_open:
        complain("Can't open ", path);
        return 1;
    case stamp_status::cant_write:
        complain("Can't write ", path);
        return 1;
    case stamp_status::cant_restore:
        complain("Can't restore ", path);
        return 1;
    }
    return 1;
}
