// Feeds arbitrary bytes to the field reader, whole and in pieces of random
// sizes, and checks both against a plain line-by-line reading of the same
// rules: the same record, the same consumption, never past the input.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "field_reader.hpp"
#include "tag_record.hpp"

namespace {

struct outcome {
    tag_record record;
    std::size_t consumed;
    bool complete;
};

// An incomplete record is never written, so its contents do not matter.
bool operator==(const outcome& a, const outcome& b)
{
    return a.consumed == b.consumed && a.complete == b.complete && (!a.complete || a.record == b.record);
}

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The rules, read straight: find each line feed, drop CRs, cut, pad.
outcome reference(std::string_view in)
{
    outcome out{};
    blank_record(out.record);
    std::size_t pos = 0;
    bool unended = false;
    for (std::size_t f = 0; f < text_fields; ++f) {
        std::size_t lf = in.find('\n', pos);
        if (lf == std::string_view::npos) {
            if (f != text_fields - 1 || pos == in.size())
                return {out.record, in.size(), false};
            lf = in.size();
            unended = true;
        }
        std::string line;
        for (char c : in.substr(pos, lf - pos))
            if (c != '\r')
                line += c;
        line.resize(std::min(line.size(), static_cast<std::size_t>(field_widths[f])));
        std::memcpy(out.record.data() + field_offset(f), line.data(), line.size());
        pos = std::min(lf + 1, in.size());
    }
    out.record[genre_offset] = 0xFF;
    out.complete = true;
    out.consumed = in.size();
    if (unended)
        return out;
    // After a blank line, what is not a number starts the next record: all
    // of its line is left.
    const std::size_t blanks = pos;
    pos = std::min(in.find_first_not_of(std::string_view(" \t\n\v\f\r"), pos), in.size());
    const std::size_t last_lf = in.substr(blanks, pos - blanks).rfind('\n');
    const std::size_t lf = in.find('\n', pos);
    out.consumed = lf == std::string_view::npos ? in.size() : lf + 1;
    bool negative = false;
    if (pos < in.size() && (in[pos] == '+' || in[pos] == '-'))
        negative = in[pos++] == '-';
    if (pos < in.size() && in[pos] >= '0' && in[pos] <= '9') {
        unsigned value = 0;
        for (; pos < in.size() && in[pos] >= '0' && in[pos] <= '9'; ++pos)
            value = (value * 10 + static_cast<unsigned>(in[pos] - '0')) % 256;
        out.record[genre_offset] = static_cast<unsigned char>(negative ? 256 - value : value);
    } else if (last_lf != std::string_view::npos) {
        out.consumed = blanks + last_lf + 1;
    }
    return out;
}

// Hands the input out in pieces of pseudo-random sizes from 1 to 64 bytes,
// or whole when the seed is 0.
struct chopped_input {
    std::string_view input;
    std::uint32_t seed;
    std::size_t pos = 0;
};

ssize_t next_piece(void* context, std::span<unsigned char> into)
{
    auto& p = *static_cast<chopped_input*>(context);
    std::size_t n = std::min(into.size(), p.input.size() - p.pos);
    if (p.seed != 0) {
        p.seed = p.seed * 1103515245u + 12345u;
        n = std::min(n, std::size_t{1} + (p.seed >> 16) % 64);
    }
    std::memcpy(into.data(), p.input.data() + p.pos, n);
    p.pos += n;
    return static_cast<ssize_t>(n);
}

outcome in_pieces(std::string_view in, std::uint32_t seed)
{
    outcome out{};
    blank_record(out.record);
    static unsigned char buffer[4096];
    chopped_input source{in, seed};
    byte_source bytes{.refill = next_piece, .context = &source, .buffer = buffer};
    out.complete = read_fields(out.record, bytes) == input_status::complete;
    out.consumed = taken(bytes);
    check(out.consumed <= source.pos);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint32_t seed = data[0];
    const std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);

    const outcome expected = reference(in);
    const outcome whole = in_pieces(in, 0);
    const outcome pieces = in_pieces(in, seed | 1u);
    check(std::memcmp(whole.record.data(), "TAG", 3) == 0);
    check(whole.consumed <= in.size());
    check(whole == expected);
    check(pieces == expected);
    return 0;
}
