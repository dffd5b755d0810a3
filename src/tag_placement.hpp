// Puts a record at the end of a regular file: over the record already there,
// or behind the file's last byte. On a failed write the file is put back as
// it was, and a failure to put it back is told apart.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "tag_record.hpp"

enum class stamp_status {
    ok,
    cant_open,     // no such file, not openable for update, not a regular file,
                   // or a kernel interface; nothing was read or written
    cant_write,    // opened, but a later step failed; the file is as it was,
                   // unless it was the close that failed
    cant_restore,  // a write failed and undoing it failed too: the file may
                   // end in part of a record
};

// What the probe learned of the file.
struct tag_probe {
    off_t size = 0;
    bool found = false;
    // The last 128 bytes when the file has a record: what an overwrite
    // replaces, and so what a failed overwrite must put back.
    tag_record tail{};
};

// Whether the open file is the regular file that stat() saw at its path
// before the open: a path swapped in between names something else.
[[nodiscard]] bool is_file_seen(int fd, const struct stat& seen);

// Whether the open file is a kernel interface (proc, sysfs and the like),
// whose "files" are settings and must never be written as data.
[[nodiscard]] bool is_kernel_interface(int fd);

// Looks for a record 128 bytes before the end of a file of this size.
[[nodiscard]] bool find_tag(int fd, off_t size, tag_probe& probe);

// Overwrites the record the probe found, or appends one. When the write
// fails, the bytes it changed are put back or the appended ones cut off:
// cant_write if that worked, cant_restore if it did not.
[[nodiscard]] stamp_status write_tag(int fd, const tag_record& record, const tag_probe& probe);

// Opens path for update if it is a regular file, holds an exclusive lock on
// it while it reads its size and writes the record, and closes it.
[[nodiscard]] stamp_status stamp_file(const char* path, const tag_record& record);
