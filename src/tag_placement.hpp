// Puts a record at the end of a regular file: over the record already there,
// or behind the file's last byte. On any failure the file is left as it was.
#pragma once

#include <sys/types.h>

#include "tag_record.hpp"

enum class stamp_status {
    ok,
    cant_open,   // no such file, not openable for update, or not a regular file
    cant_write,  // opened, but a later step failed
};

// What the probe learned of the file.
struct tag_probe {
    off_t size = 0;
    bool found = false;
    // The last 128 bytes when the file has a record: what an overwrite
    // replaces, and so what a failed overwrite must put back.
    tag_record tail{};
};

// Looks for a record 128 bytes before the end of a file of this size.
[[nodiscard]] bool find_tag(int fd, off_t size, tag_probe& probe);

// Overwrites the record the probe found, or appends one. When the write
// fails, the old bytes are put back or the appended ones cut off.
[[nodiscard]] bool write_tag(int fd, const tag_record& record, const tag_probe& probe);

// Opens path for update, holds an exclusive lock on it while it reads its
// size and writes the record, and closes it.
[[nodiscard]] stamp_status stamp_file(const char* path, const tag_record& record);
