// The 128-byte ID3v1 record: its layout, its blank state, and how one is
// recognised at the end of a file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t tag_size = 128;

// The same bytes in memory and on disk: no padding, no byte order.
using tag_record = std::array<unsigned char, tag_size>;

// Title, artist, album, year, comment, genre. Positions are never stored:
// each field begins where the one before it ends, the first behind the marker.
inline constexpr std::array<std::int32_t, 6> field_widths{30, 30, 30, 4, 30, 1};

inline constexpr std::size_t marker_size = 3;
inline constexpr std::size_t text_fields = 5;

[[nodiscard]] constexpr std::size_t field_offset(std::size_t field)
{
    std::size_t offset = marker_size;
    for (std::size_t i = 0; i < field; ++i)
        offset += static_cast<std::size_t>(field_widths[i]);
    return offset;
}

inline constexpr std::size_t genre_offset = field_offset(text_fields);
static_assert(genre_offset == 127);
static_assert(field_offset(field_widths.size()) == tag_size);

// "TAG", one zero byte, then spaces: the zero stays in the title when the
// input gives it no byte.
void blank_record(tag_record& record);

// Whether these bytes, read 128 bytes before the end of a file, start a record.
[[nodiscard]] bool is_tag(std::span<const unsigned char> tail);
