// Fills a blank record from the input: five lines (title, artist, album,
// year, comment), then a decimal genre number.
//
// The reader takes the five lines, any blank lines after them, and the line
// that holds the genre through its line feed, and not one byte more, so a
// caller can hand back what was read beyond the record. After a blank line,
// text that is not a number is the next record's title: the reader stops at
// the start of its line.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "tag_record.hpp"

// Input bytes pulled a block at a time through a refill function: read(2)
// on a descriptor in the tool, pieces of a byte string in the tests.
struct byte_source {
    // Puts up to into.size() bytes into `into`; returns how many, 0 at the
    // end of the input, -1 when it cannot be read.
    using refill_fn = ssize_t (*)(void* context, std::span<unsigned char> into);
    refill_fn refill = nullptr;
    void* context = nullptr;
    std::span<unsigned char> buffer{};
    std::size_t start = 0;     // the bytes held and not yet taken are
    std::size_t end = 0;       // buffer[start, end)
    std::uint64_t offset = 0;  // where buffer[0] stands in the input
    std::uint64_t total = 0;   // bytes refilled so far
    bool ended = false;        // no more refills: the input ended or failed
    bool failed = false;       // the input could not be read
};

// How far into the input the reader has taken.
[[nodiscard]] inline std::uint64_t taken(const byte_source& in)
{
    return in.offset + in.start;
}

enum class input_status {
    complete,    // the five lines, a fifth without its line feed included
    incomplete,  // the input ended before the fifth line
    unreadable,  // reading the input failed
};

// Reads one record from the source. A missing genre gives 0xFF.
[[nodiscard]] input_status read_fields(tag_record& record, byte_source& in);

// Reads one record from fd, waiting for input when fd is non-blocking. When
// fd can seek, it is put back just behind the record, so the next reader of
// fd starts at the next record.
[[nodiscard]] input_status read_fields(tag_record& record, int fd);
