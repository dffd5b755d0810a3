#include "field_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// One record is a few hundred bytes: the first refill asks for little, so a
// file of many records is not copied ahead needlessly; a long line then goes
// by in whole buffers.
constexpr std::size_t first_block = 4096;

bool refill(byte_source& in)
{
    if (in.ended)
        return false;
    const std::size_t room = in.total == 0 ? std::min(first_block, in.buffer.size()) : in.buffer.size();
    const ssize_t got = in.refill(in.context, in.buffer.first(room));
    if (got <= 0) {
        // Sticky, so that a terminal is not asked again after its end.
        in.ended = true;
        return false;
    }
    in.offset = in.total;
    in.total += static_cast<std::uint64_t>(got);
    in.start = 0;
    in.end = static_cast<std::size_t>(got);
    return true;
}

// The next byte, or -1 at the end of the input.
int peek(byte_source& in)
{
    return in.start < in.end || refill(in) ? in.buffer[in.start] : -1;
}

int next(byte_source& in)
{
    const int c = peek(in);
    in.start += c >= 0;
    return c;
}

// Skips the rest of a line through its line feed, a buffer at a time.
// Returns false when the input ends first.
bool skip_line(byte_source& in)
{
    while (in.start < in.end || refill(in)) {
        const unsigned char* held = in.buffer.data() + in.start;
        const auto* lf = static_cast<const unsigned char*>(std::memchr(held, '\n', in.end - in.start));
        if (lf != nullptr) {
            in.start += static_cast<std::size_t>(lf - held) + 1;
            return true;
        }
        in.start = in.end;
    }
    return false;
}

enum class line_ending { line_feed, unended, none };

// Takes one line into its field: carriage returns dropped wherever they
// stand, the value cut at the field's width and the rest of the line skipped.
line_ending take_line(byte_source& in, std::span<unsigned char> field)
{
    std::size_t stored = 0;
    bool begun = false;
    for (int c; (c = next(in)) >= 0; begun = true) {
        if (c == '\n')
            return line_ending::line_feed;
        if (c == '\r')
            continue;
        field[stored++] = static_cast<unsigned char>(c);
        if (stored == field.size())
            return skip_line(in) ? line_ending::line_feed : line_ending::unended;
    }
    return begun ? line_ending::unended : line_ending::none;
}

bool is_c_space(int c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(int c)
{
    return c >= '0' && c <= '9';
}

// The genre as "%d" reads it: white space and line ends skipped, an optional
// sign, decimal digits, kept modulo 256. Anything else is no genre, 0xFF.
// The rest of its line goes with it.
unsigned char read_genre(byte_source& in)
{
    while (is_c_space(peek(in)))
        ++in.start;
    bool negative = false;
    if (peek(in) == '+' || peek(in) == '-')
        negative = next(in) == '-';
    unsigned char genre = 0xFF;
    if (is_digit(peek(in))) {
        unsigned value = 0;
        while (is_digit(peek(in)))
            value = (value * 10 + static_cast<unsigned>(next(in) - '0')) & 0xFFu;
        genre = static_cast<unsigned char>(negative ? 0u - value : value);
    }
    (void)skip_line(in);
    return genre;
}

ssize_t read_descriptor(void* context, std::span<unsigned char> into)
{
    const int fd = *static_cast<const int*>(context);
    ssize_t got;
    do
        got = ::read(fd, into.data(), into.size());
    while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace

bool read_fields(tag_record& record, byte_source& in)
{
    for (std::size_t field = 0; field < text_fields; ++field) {
        const auto value = std::span(record).subspan(field_offset(field), static_cast<std::size_t>(field_widths[field]));
        const line_ending ending = take_line(in, value);
        if (ending == line_ending::none || (ending == line_ending::unended && field != text_fields - 1))
            return false;
    }
    record[genre_offset] = read_genre(in);
    return true;
}

bool read_fields(tag_record& record, int fd)
{
    static unsigned char buffer[1 << 18];
    byte_source in{.refill = read_descriptor, .context = &fd, .buffer = buffer};
    if (!read_fields(record, in))
        return false;
    // Fails on pipes and terminals, where nothing can be given back.
    if (in.total > taken(in))
        (void)::lseek(fd, -static_cast<off_t>(in.total - taken(in)), SEEK_CUR);
    return true;
}
