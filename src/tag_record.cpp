#include "tag_record.hpp"

#include <cstring>

namespace {
constexpr char marker[] = "TAG";
static_assert(sizeof marker == marker_size + 1);
}

void blank_record(tag_record& record)
{
    record.fill(' ');
    // The terminating zero goes along with the marker, into byte 3.
    std::memcpy(record.data(), marker, sizeof marker);
}

bool is_tag(std::span<const unsigned char> tail)
{
    return tail.size() >= marker_size && std::memcmp(tail.data(), marker, marker_size) == 0;
}
