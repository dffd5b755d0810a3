#include <gtest/gtest.h>

#include <string>

#include "tag_record.hpp"
#include "test_files.hpp"

namespace {

std::string as_string(const tag_record& r)
{
    return {reinterpret_cast<const char*>(r.data()), r.size()};
}

TEST(TagRecord, BlankIsMarkerZeroAndSpaces)
{
    tag_record r;
    r.fill(0xAA);
    blank_record(r);
    EXPECT_EQ(as_string(r), std::string("TAG\0", 4) + std::string(124, ' '));
}

TEST(TagRecord, FieldsFollowTheWidthTable)
{
    const std::size_t offsets[] = {3, 33, 63, 93, 97, 127, 128};
    for (std::size_t i = 0; i < std::size(offsets); ++i)
        EXPECT_EQ(field_offset(i), offsets[i]) << "field " << i;
}

TEST(TagRecord, RecognisesOnlyTheExactMarker)
{
    struct {
        std::string bytes;
        bool tag;
    } const cases[] = {
        {"TAG", true},
        {"TAGxyz", true},
        {"tag", false},
        {"TAg", false},
        {std::string("TA\0", 3), false},
        {"TA", false},
        {"", false},
    };
    for (const auto& c : cases) {
        const auto* p = reinterpret_cast<const unsigned char*>(c.bytes.data());
        EXPECT_EQ(is_tag({p, c.bytes.size()}), c.tag) << c.bytes;
    }
}

}  // namespace
