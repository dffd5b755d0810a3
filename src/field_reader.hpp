// Fills a blank record from the input: five lines (title, artist, album,
// year, comment), then a decimal genre number.
//
// The reader is fed bytes in chunks of any size and says how many of each it
// took, so a caller can hand back what it read beyond the record. It takes
// the five lines, any blank lines after them, and the line that holds the
// genre through its line feed, and not one byte more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tag_record.hpp"

enum class reader_phase : std::uint8_t {
    text,        // storing bytes of the current line
    text_rest,   // the field is full: dropping bytes up to the line feed
    blank,       // white space before the genre
    sign,        // a sign has been read, a digit must follow
    digits,      // inside the genre number
    genre_rest,  // the rest of the genre line
    done,
};

struct field_reader {
    tag_record* record = nullptr;
    reader_phase phase = reader_phase::text;
    std::size_t field = 0;         // which text field the current line fills
    std::size_t at = 0;            // where its next byte goes in the record
    std::size_t stored = 0;        // bytes stored in it so far
    bool line_begun = false;       // the current line has given any byte at all
    bool negative = false;
    unsigned genre = 0;            // the number's value so far, modulo 256
    unsigned char genre_byte = 0xFF;  // what no number gives
};

// Starts reading into a record that is in its blank state.
void start_fields(field_reader& reader, tag_record& record);

// Takes bytes from the start of the chunk until the record is complete or the
// chunk is used up; returns how many it took.
[[nodiscard]] std::size_t feed_fields(field_reader& reader, std::span<const unsigned char> chunk);

[[nodiscard]] inline bool fields_done(const field_reader& reader)
{
    return reader.phase == reader_phase::done;
}

// The input has ended. Returns whether the five lines were complete; a fifth
// line without its line feed counts. A missing genre gives 0xFF.
[[nodiscard]] bool end_fields(field_reader& reader);

// Reads the whole record from fd in large blocks. When the record ends before
// the block does and fd can seek, fd is put back just behind the record, so
// the next reader of fd starts at the next record. A read error counts as the
// end of input. Returns whether the five lines were complete.
[[nodiscard]] bool read_fields(tag_record& record, int fd);
