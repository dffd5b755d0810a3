#include "field_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

using byte_ptr = const unsigned char*;

bool is_c_space(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

std::size_t width(std::size_t field)
{
    return static_cast<std::size_t>(field_widths[field]);
}

void end_line(field_reader& r)
{
    ++r.field;
    r.at = field_offset(r.field);
    r.stored = 0;
    r.line_begun = false;
    r.phase = r.field == text_fields ? reader_phase::blank : reader_phase::text;
}

void finish(field_reader& r)
{
    (*r.record)[genre_offset] = r.genre_byte;
    r.phase = reader_phase::done;
}

byte_ptr take_text(field_reader& r, byte_ptr p, byte_ptr end)
{
    r.line_begun = true;
    const std::size_t room = width(r.field);
    while (p != end) {
        const unsigned char c = *p++;
        if (c == '\n') {
            end_line(r);
            return p;
        }
        if (c == '\r')
            continue;
        (*r.record)[r.at++] = c;
        if (++r.stored == room) {
            r.phase = reader_phase::text_rest;
            return p;
        }
    }
    return p;
}

// Returns the position behind the next line feed, or end when there is none.
byte_ptr past_line_feed(byte_ptr p, byte_ptr end, bool& found)
{
    const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    found = lf != nullptr;
    return found ? static_cast<byte_ptr>(lf) + 1 : end;
}

byte_ptr skip_text(field_reader& r, byte_ptr p, byte_ptr end)
{
    bool found = false;
    p = past_line_feed(p, end, found);
    if (found)
        end_line(r);
    return p;
}

byte_ptr skip_blank(field_reader& r, byte_ptr p, byte_ptr end)
{
    while (p != end && is_c_space(*p))
        ++p;
    if (p == end)
        return p;
    // The genre line begins here, whatever it holds.
    if (*p == '+' || *p == '-') {
        r.negative = *p == '-';
        r.phase = reader_phase::sign;
        return p + 1;
    }
    r.phase = is_digit(*p) ? reader_phase::digits : reader_phase::genre_rest;
    return p;
}

byte_ptr take_sign(field_reader& r, byte_ptr p)
{
    r.phase = is_digit(*p) ? reader_phase::digits : reader_phase::genre_rest;
    return p;
}

byte_ptr take_digits(field_reader& r, byte_ptr p, byte_ptr end)
{
    while (p != end && is_digit(*p))
        r.genre = (r.genre * 10 + (*p++ - '0')) & 0xFFu;
    r.genre_byte = static_cast<unsigned char>(r.negative ? 0u - r.genre : r.genre);
    if (p != end)
        r.phase = reader_phase::genre_rest;
    return p;
}

byte_ptr skip_genre_rest(field_reader& r, byte_ptr p, byte_ptr end)
{
    bool found = false;
    p = past_line_feed(p, end, found);
    if (found)
        finish(r);
    return p;
}

}  // namespace

void start_fields(field_reader& reader, tag_record& record)
{
    reader = field_reader{};
    reader.record = &record;
    reader.at = field_offset(0);
}

std::size_t feed_fields(field_reader& r, std::span<const unsigned char> chunk)
{
    byte_ptr p = chunk.data();
    const byte_ptr end = p + chunk.size();
    while (p != end) {
        switch (r.phase) {
        case reader_phase::text: p = take_text(r, p, end); break;
        case reader_phase::text_rest: p = skip_text(r, p, end); break;
        case reader_phase::blank: p = skip_blank(r, p, end); break;
        case reader_phase::sign: p = take_sign(r, p); break;
        case reader_phase::digits: p = take_digits(r, p, end); break;
        case reader_phase::genre_rest: p = skip_genre_rest(r, p, end); break;
        case reader_phase::done: return static_cast<std::size_t>(p - chunk.data());
        }
    }
    return chunk.size();
}

bool end_fields(field_reader& r)
{
    switch (r.phase) {
    case reader_phase::text:
    case reader_phase::text_rest:
        if (r.field != text_fields - 1 || !r.line_begun)
            return false;
        end_line(r);
        break;
    default:
        break;
    }
    if (r.phase != reader_phase::done)
        finish(r);
    return true;
}

bool read_fields(tag_record& record, int fd)
{
    // One record is a few hundred bytes: the first read asks for little, so a
    // file of many records is not copied ahead needlessly; a long line then
    // goes by in large blocks.
    constexpr std::size_t first_block = 4096;
    static unsigned char buffer[1 << 18];

    field_reader reader;
    start_fields(reader, record);
    std::size_t block = first_block;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return end_fields(reader);
        const auto n = static_cast<std::size_t>(got);
        const std::size_t used = feed_fields(reader, {buffer, n});
        if (fields_done(reader)) {
            // Fails on pipes and terminals, where nothing can be given back.
            if (used < n)
                (void)::lseek(fd, -static_cast<off_t>(n - used), SEEK_CUR);
            return true;
        }
        block = sizeof buffer;
    }
}
