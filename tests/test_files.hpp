// Helpers shared by the tests: a scratch folder, whole-file reads and
// writes, and the record that a given set of fields must give.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

class scratch_dir : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/id3stamp-test-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    [[nodiscard]] std::string path(std::string_view name) const { return dir_ + "/" + std::string(name); }

private:
    std::string dir_;
};

inline void write_file(const std::string& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A field as the record holds it: cut to its width, padded with spaces.
inline std::string padded(std::string_view value, std::size_t width)
{
    std::string field(value.substr(0, width));
    field.resize(width, ' ');
    return field;
}

struct fields {
    std::string title, artist, album, year, comment;
    unsigned char genre;
};

// The 128 bytes a record of these fields must be, written out from the
// layout table: marker, 30, 30, 30, 4, 30, genre byte.
inline std::string record_of(const fields& f)
{
    std::string r = "TAG";
    r += padded(f.title, 30);
    if (f.title.empty())
        r[3] = '\0';
    r += padded(f.artist, 30);
    r += padded(f.album, 30);
    r += padded(f.year, 4);
    r += padded(f.comment, 30);
    r += static_cast<char>(f.genre);
    return r;
}
