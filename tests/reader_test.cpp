#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "field_reader.hpp"
#include "tag_record.hpp"
#include "test_files.hpp"

namespace {

struct outcome {
    std::string record;
    std::size_t consumed = 0;
    input_status status = input_status::incomplete;
};

// A byte string handed out in pieces of a fixed size (0: as much as asked),
// whose reading fails once it is used up when `fails` is set.
struct chopped_input {
    std::string_view input;
    std::size_t piece;
    bool fails = false;
    std::size_t pos = 0;
};

ssize_t next_piece(void* context, std::span<unsigned char> into)
{
    auto& p = *static_cast<chopped_input*>(context);
    if (p.fails && p.pos == p.input.size())
        return -1;
    std::size_t n = std::min(into.size(), p.input.size() - p.pos);
    if (p.piece != 0)
        n = std::min(n, p.piece);
    std::memcpy(into.data(), p.input.data() + p.pos, n);
    p.pos += n;
    return static_cast<ssize_t>(n);
}

outcome read_in_pieces(std::string_view input, std::size_t piece, bool fails = false)
{
    tag_record record;
    blank_record(record);
    static unsigned char buffer[1 << 16];
    chopped_input source{input, piece, fails};
    byte_source in{.refill = next_piece, .context = &source, .buffer = buffer};
    outcome out;
    out.status = read_fields(record, in);
    out.consumed = taken(in);
    EXPECT_LE(out.consumed, source.pos);
    out.record.assign(reinterpret_cast<const char*>(record.data()), record.size());
    return out;
}

std::string lines(std::string_view title, std::string_view artist = "Band", std::string_view album = "Disc",
                  std::string_view year = "1999", std::string_view comment = "Nice")
{
    std::string s;
    for (std::string_view l : {title, artist, album, year, comment})
        (s += l) += '\n';
    return s;
}

struct reader_case {
    const char* name;
    std::string input;  // what the reader must take
    std::string rest;   // what follows it and must be left
    fields expect;
};

const std::string long_35 = std::string(30, 'x') + "12345";

const reader_case cases[] = {
    {"typical", lines("Song") + "17\n", "", {"Song", "Band", "Disc", "1999", "Nice", 0x11}},
    {"crlf", "Title\r\nBand\r\nDisc\r\n1999\r\nNice\r\n17\r\n", "", {"Title", "Band", "Disc", "1999", "Nice", 17}},
    {"cr mid line dropped", lines("Ab\rc") + "1\n", "", {"Abc", "Band", "Disc", "1999", "Nice", 1}},
    {"only crs is empty", lines("\r\r\r") + "1\n", "", {"", "Band", "Disc", "1999", "Nice", 1}},
    {"long line cut", lines(long_35) + "1\n", "", {long_35.substr(0, 30), "Band", "Disc", "1999", "Nice", 1}},
    {"exact width", lines(std::string(30, 'w'), std::string(31, 'a')) + "1\n", "",
     {std::string(30, 'w'), std::string(30, 'a'), "Disc", "1999", "Nice", 1}},
    {"crs past width", lines(std::string(29, 'w') + "\r\r" + "yz") + "1\n", "",
     {std::string(29, 'w') + "y", "Band", "Disc", "1999", "Nice", 1}},
    {"empty title", lines("", "Artist") + "1\n", "", {"", "Artist", "Disc", "1999", "Nice", 1}},
    {"all empty", "\n\n\n\n\n0\n", "", {"", "", "", "", "", 0}},
    {"empty year", lines("T", "A", "B", "") + "1\n", "", {"T", "A", "B", "", "Nice", 1}},
    {"five digit year", lines("T", "A", "B", "19999") + "1\n", "", {"T", "A", "B", "1999", "Nice", 1}},
    {"raw bytes", lines(std::string("\0\x80\xff\xe9", 4)) + "1\n", "",
     {std::string("\0\x80\xff\xe9", 4), "Band", "Disc", "1999", "Nice", 1}},
    // The genre, after "%d": white space and blank lines first, a sign, digits.
    {"genre padded", lines("T") + " 17 \n", "", {"T", "Band", "Disc", "1999", "Nice", 0x11}},
    {"blank lines first", lines("T") + "\n \t\n\v\f\r\n17\n", "", {"T", "Band", "Disc", "1999", "Nice", 0x11}},
    {"genre 300", lines("T") + "300\n", "", {"T", "Band", "Disc", "1999", "Nice", 0x2C}},
    {"genre 256", lines("T") + "256\n", "", {"T", "Band", "Disc", "1999", "Nice", 0}},
    {"genre 255", lines("T") + "255\n", "", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
    {"genre -1", lines("T") + "-1\n", "", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
    {"genre -255", lines("T") + "-255\n", "", {"T", "Band", "Disc", "1999", "Nice", 1}},
    {"genre +5", lines("T") + "+5\n", "", {"T", "Band", "Disc", "1999", "Nice", 5}},
    {"leading zero", lines("T") + "017\n", "", {"T", "Band", "Disc", "1999", "Nice", 17}},
    {"hex is zero", lines("T") + "0x11\n", "", {"T", "Band", "Disc", "1999", "Nice", 0}},
    {"past 32 bits", lines("T") + "4294967313\n", "", {"T", "Band", "Disc", "1999", "Nice", 0x11}},
    // 10^39 + 17: 10^39 is a multiple of 256.
    {"forty digits", lines("T") + "1000000000000000000000000000000000000017\n", "",
     {"T", "Band", "Disc", "1999", "Nice", 17}},
    {"not a number", lines("T") + "rock\n", "", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
    {"sign alone", lines("T") + "-\n", "", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
    {"space after sign", lines("T") + "- 5\n", "", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
    {"no genre", lines("T"), "", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
    {"only blanks after", lines("T") + "\n  \n", "", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
    {"no genre line feed", lines("T") + "42", "", {"T", "Band", "Disc", "1999", "Nice", 42}},
    {"fifth line unended", "T\nA\nB\nY\nlast", "", {"T", "A", "B", "Y", "last", 0xFF}},
    // Exactly the record is taken: the genre line through its line feed.
    {"next record left", lines("T") + "17 and more\n", lines("U") + "3\n",
     {"T", "Band", "Disc", "1999", "Nice", 0x11}},
    {"non-number line taken", lines("T") + "  pop\n", "9\n", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
    {"after blank lines", lines("T") + "\n\n5\n", "\n6\n", {"T", "Band", "Disc", "1999", "Nice", 5}},
    // After a blank genre line, text that is not a number is the next
    // record: the whole of its line is left, leading white space included.
    {"blank genre line", lines("T") + "\n", lines("Next") + "2\n", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
    {"blank crlf lines", lines("T") + " \r\n\t\r\n", "  Next\r\n", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
    {"sign after blank line", lines("T") + "\n", "-\n", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
    {"blanks then end", lines("T") + "\n", "  ", {"T", "Band", "Disc", "1999", "Nice", 0xFF}},
};

TEST(FieldReader, CasesWholeAndInPieces)
{
    for (const auto& c : cases) {
        for (std::size_t piece : {0, 1, 2, 3, 7, 64}) {
            const outcome got = read_in_pieces(c.input + c.rest, piece);
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            EXPECT_EQ(got.status, input_status::complete);
            EXPECT_EQ(got.record, record_of(c.expect));
            EXPECT_EQ(got.consumed, c.input.size());
        }
    }
}

TEST(FieldReader, IncompleteInput)
{
    for (std::string input : {"", "T\n", "T\nA\nB\nY\n", "T\nA\nB\nY"}) {
        for (std::size_t piece : {0, 1}) {
            const outcome got = read_in_pieces(input, piece);
            EXPECT_EQ(got.status, input_status::incomplete) << input;
            EXPECT_EQ(got.consumed, input.size());
        }
    }
}

// A read error is never taken for the end of the input, wherever it comes.
TEST(FieldReader, ReadErrorIsAFailure)
{
    for (std::string input : {"", "T\nA\nB\nY\nNi", "T\nA\nB\nY\nNice\n", "T\nA\nB\nY\nNice\n17"}) {
        for (std::size_t piece : {0, 1}) {
            EXPECT_EQ(read_in_pieces(input, piece, true).status, input_status::unreadable) << input;
        }
    }
}

TEST(FieldReader, SkipsAGiantLine)
{
    const std::string giant(3 << 20, 'g');
    for (std::size_t piece : {0, 4096, 1000}) {
        const outcome got = read_in_pieces(lines(giant) + "8\nrest", piece);
        EXPECT_EQ(got.record, record_of({std::string(30, 'g'), "Band", "Disc", "1999", "Nice", 8}));
    }
}

class ReadFields : public scratch_dir {};

// A seekable input is left just behind each record, so runs in turn take
// consecutive records, even when one record is far longer than a block.
TEST_F(ReadFields, LeavesASeekableInputAtTheNextRecord)
{
    const std::string first = lines("One") + "1\n";
    const std::string second = lines(std::string(1 << 20, 'L')) + "  \n2 x\n";
    const std::string third = lines("Three") + "3";
    write_file(path("in"), first + second + third);
    const int fd = ::open(path("in").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);

    tag_record record;
    const off_t ends[] = {off_t(first.size()), off_t(first.size() + second.size()),
                          off_t(first.size() + second.size() + third.size())};
    const unsigned char genres[] = {1, 2, 3};
    for (int i = 0; i < 3; ++i) {
        blank_record(record);
        ASSERT_EQ(read_fields(record, fd), input_status::complete);
        EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), ends[i]) << "record " << i;
        EXPECT_EQ(record[127], genres[i]);
    }
    blank_record(record);
    EXPECT_EQ(read_fields(record, fd), input_status::incomplete);
    ::close(fd);
}

TEST(ReadFieldsPipe, ReadsFromAPipe)
{
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    const std::string input = lines("Piped") + "12\n";
    ASSERT_EQ(::write(p[1], input.data(), input.size()), ssize_t(input.size()));
    ::close(p[1]);
    tag_record record;
    blank_record(record);
    ASSERT_EQ(read_fields(record, p[0]), input_status::complete);
    ::close(p[0]);
    EXPECT_EQ(std::string(record.begin(), record.end()), record_of({"Piped", "Band", "Disc", "1999", "Nice", 12}));
}

}  // namespace
