#include "field_reader.hpp"

#include <poll.h>
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
        in.failed = got < 0;
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

// How a line ended: at its line feed, at the end of the input after some
// bytes, or at the end of the input before any.
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

// Puts the reader back to an earlier point of the input. One that lies
// before the bytes held is left to the caller to give back.
void rewind_to(byte_source& in, std::uint64_t at)
{
    if (at >= in.offset) {
        in.start = static_cast<std::size_t>(at - in.offset);
    } else {
        in.offset = at;
        in.start = in.end = 0;
    }
}

// The genre as "%d" reads it: white space and line ends skipped, an optional
// sign, decimal digits, kept modulo 256; the rest of its line goes with it.
// Anything else is no genre, 0xFF. Such text on the line right after the
// comment is this record's genre line and is taken; after a blank line it is
// the next record, which in a file of records must not lose its title, so
// the whole of its line is left.
unsigned char read_genre(byte_source& in)
{
    bool after_blank_line = false;
    std::uint64_t line_start = 0;
    for (int c; is_c_space(c = peek(in)); ++in.start) {
        if (c == '\n') {
            after_blank_line = true;
            line_start = taken(in) + 1;
        }
    }
    bool negative = false;
    if (peek(in) == '+' || peek(in) == '-')
        negative = next(in) == '-';
    if (!is_digit(peek(in))) {
        if (after_blank_line)
            rewind_to(in, line_start);
        else
            (void)skip_line(in);
        return 0xFF;
    }
    unsigned value = 0;
    while (is_digit(peek(in)))
        value = (value * 10 + static_cast<unsigned>(next(in) - '0')) & 0xFFu;
    (void)skip_line(in);
    return static_cast<unsigned char>(negative ? 0u - value : value);
}

// Whoever started us may have left standard input non-blocking: then a
// record still on its way is waited for, not cut short.
ssize_t read_descriptor(void* context, std::span<unsigned char> into)
{
    const int fd = *static_cast<const int*>(context);
    for (;;) {
        const ssize_t got = ::read(fd, into.data(), into.size());
        if (got >= 0)
            return got;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        pollfd ready{.fd = fd, .events = POLLIN, .revents = 0};
        if (::poll(&ready, 1, -1) < 0 && errno != EINTR)
            return -1;
    }
}

}  // namespace

input_status read_fields(tag_record& record, byte_source& in)
{
    for (std::size_t field = 0; field < text_fields; ++field) {
        const auto value = std::span(record).subspan(field_offset(field), static_cast<std::size_t>(field_widths[field]));
        const line_ending ending = take_line(in, value);
        if (in.failed)
            return input_status::unreadable;
        if (ending == line_ending::none || (ending == line_ending::unended && field != text_fields - 1))
            return input_status::incomplete;
    }
    record[genre_offset] = read_genre(in);
    return in.failed ? input_status::unreadable : input_status::complete;
}

input_status read_fields(tag_record& record, int fd)
{
    static unsigned char buffer[1 << 18];
    byte_source in{.refill = read_descriptor, .context = &fd, .buffer = buffer};
    const input_status status = read_fields(record, in);
    // Fails on pipes and terminals, where nothing can be given back.
    if (status == input_status::complete && in.total > taken(in))
        (void)::lseek(fd, -static_cast<off_t>(in.total - taken(in)), SEEK_CUR);
    return status;
}
