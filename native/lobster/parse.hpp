// LOBSTER's two CSV files parsed straight into the arrays a replay works on: plain C++ over
// byte ranges, no Python. A file is read in blocks; each call parses the complete lines of one
// block and says how far it got, so the caller carries the unfinished last line over to the
// next block and memory stays that of one block plus the rows.
//
// Lines end at "\n", "\r\n" or a lone "\r" (as Python's universal newlines read them); empty
// lines are skipped but counted, so that every fault names the file's own line. Fields are
// decimal integers with an optional sign, surrounded by optional blanks; a message's time is
// seconds after midnight as a plain decimal, kept exactly as integer nanoseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::lobster {

// An empty orderbook level: this price and a size of 0; real prices lie below.
inline constexpr std::int64_t kEmptyAsk = 9'999'999'999;
inline constexpr std::int64_t kMaxPrice = kEmptyAsk - 1;
inline constexpr std::int64_t kMaxSeconds = std::int64_t{48} * 3600;

// One message as the package's MESSAGE_DTYPE lays it out: packed, 34 bytes.
inline constexpr std::size_t kMessageSize = 34;
inline constexpr std::size_t kMessageFields = 6;
struct MessageOffsets {
    static constexpr std::size_t time = 0, type = 8, order_id = 9, size = 17, price = 25,
                                 direction = 33;
};

// Why a line was refused. `line` counts from 1 at the block's first line; `text` is the
// offending field as it stands in the file when the problem quotes it (the caller decides how
// to show bytes that are not text), and `problem` may hold "{text}" where it goes.
struct Fault {
    std::int64_t line = 0;
    std::string problem;
    std::string text;
};

struct Progress {
    std::size_t rows = 0;      // rows written
    std::size_t consumed = 0;  // bytes of the block used up: whole lines only
    std::int64_t lines = 0;    // lines passed, empty ones included
};

namespace detail {

inline bool blank(char c) noexcept { return c == ' ' || c == '\t'; }
inline bool line_end(char c) noexcept { return c == '\n' || c == '\r'; }

inline std::string format(const char* pattern, long long a, long long b = 0, long long c = 0,
                          long long d = 0) {
    char text[256];
    int n = std::snprintf(text, sizeof text, pattern, a, b, c, d);
    return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// The end of the line that starts at `p` (its terminator, or `end`).
inline const char* find_line_end(const char* p, const char* end) noexcept {
    while (p < end && !line_end(*p)) {
        ++p;
    }
    return p;
}

// One signed decimal integer field from `p` up to the next comma or the line's end `eol`.
// Advances `p` past the field (to the comma or `eol`); false when the field is not a 64-bit
// integer.
inline bool integer(const char*& p, const char* eol, std::int64_t& value) noexcept {
    const char* q = p;
    while (q < eol && blank(*q)) {
        ++q;
    }
    bool negative = false;
    if (q < eol && (*q == '-' || *q == '+')) {
        negative = *q == '-';
        ++q;
    }
    const char* digits = q;
    // Up to 18 digits cannot overflow: the loop that takes them checks nothing else.
    const char* safe_end = eol - digits > 18 ? digits + 18 : eol;
    std::uint64_t v = 0;
    unsigned d;
    while (q < safe_end && (d = static_cast<unsigned char>(*q - '0')) < 10) {
        v = v * 10 + d;
        ++q;
    }
    while (q < eol && (d = static_cast<unsigned char>(*q - '0')) < 10) {
        if (v > (UINT64_MAX - d) / 10) {
            return false;
        }
        v = v * 10 + d;
        ++q;
    }
    if (q == digits) {
        return false;
    }
    while (q < eol && blank(*q)) {
        ++q;
    }
    if (q < eol && *q != ',') {
        return false;
    }
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;
    if (v > limit - (negative ? 0 : 1)) {
        return false;
    }
    value = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
    p = q;
    return true;
}

// The common form of a field, fast: an optional "-", 1 to 18 digits, then a comma or the
// line's end `eol`, taken eight bytes at a time; false for anything else (blanks, "+", more
// digits) and near the block's `end`, where `integer` decides instead, with the same result
// on what this takes. Reads up to 8 bytes past a field, never past `end`.
inline bool fast_integer(const char*& p, const char* eol, const char* end,
                         std::int64_t& value) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const char* q = p;
    bool negative = q < eol && *q == '-';
    q += negative;
    std::uint64_t v = 0;
    int digits = 0;
    for (;;) {
        if (end - q < 8) {
            return false;
        }
        std::uint64_t chunk;
        std::memcpy(&chunk, q, 8);
        // The high bit of each byte that is an ASCII digit: at least '0' and below ':', with
        // no carry between bytes (seven bits plus 0x50 stay below 0x100).
        std::uint64_t low = chunk & 0x7F7F7F7F7F7F7F7FULL;
        std::uint64_t digit = (low + 0x5050505050505050ULL) & ~(low + 0x4646464646464646ULL) &
                              ~chunk & 0x8080808080808080ULL;
        std::uint64_t other = ~digit & 0x8080808080808080ULL;
        int run = other ? __builtin_ctzll(other) >> 3 : 8;
        if (run) {
            // The run's digits moved to the high bytes, zeros before them; then pairs,
            // fours and eights of digits combined by multiplication.
            std::uint64_t x = chunk << (8 * (8 - run));
            x = ((x & 0x0F0F0F0F0F0F0F0FULL) * 2561) >> 8;
            x = ((x & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;
            x = ((x & 0x0000FFFF0000FFFFULL) * 42949672960001ULL) >> 32;
            static constexpr std::uint64_t scale[] = {1,      10,      100,      1000,     10000,
                                                      100000, 1000000, 10000000, 100000000};
            v = v * scale[run] + x;
            digits += run;
            q += run;
        }
        if (run < 8 || digits > 16) {
            break;
        }
    }
    if (digits == 0 || digits > 18 || (q != eol && *q != ',')) {
        return false;
    }
    value = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
    p = q;
    return true;
#else
    (void)p, (void)eol, (void)end, (void)value;
    return false;
#endif
}

#if defined(__SSE2__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define VELMORA_FAST_ROWS 1

// The high bit of each byte of `chunk` that is an ASCII digit.
inline std::uint64_t digit_bytes(std::uint64_t chunk) noexcept {
    std::uint64_t low = chunk & 0x7F7F7F7F7F7F7F7FULL;
    return (low + 0x5050505050505050ULL) & ~(low + 0x4646464646464646ULL) & ~chunk &
           0x8080808080808080ULL;
}

// The value of the `run` (1 to 8) digits at the start of `chunk`, if they are all digits.
inline bool eight_digits(std::uint64_t chunk, std::size_t run, std::uint64_t& value) noexcept {
    std::uint64_t want = run == 8 ? 0x8080808080808080ULL
                                  : 0x8080808080808080ULL & ((std::uint64_t{1} << (8 * run)) - 1);
    std::uint64_t x = chunk << (8 * (8 - run));
    x = ((x & 0x0F0F0F0F0F0F0F0FULL) * 2561) >> 8;
    x = ((x & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;
    value = ((x & 0x0000FFFF0000FFFFULL) * 42949672960001ULL) >> 32;
    return (digit_bytes(chunk) & want) == want;
}

// The field starts of the last line fast_row took and where its values went: LOBSTER's
// consecutive rows mostly repeat their fields (a message changes a level or two), and a field
// whose text is the line before's has that line's value, with no digits to read.
class LastLine {
  public:
    explicit LastLine(std::size_t fields)
        : starts_(new const char*[2 * (fields + 1)]), fields_(fields) {}
    // Room for the next line's field starts (fields + 1 of them).
    const char** next() noexcept { return starts_.get() + (flip_ ? 0 : fields_ + 1); }
    // The last line's field starts, or nullptr when the line before was not taken.
    const char* const* starts() const noexcept {
        return row_ ? starts_.get() + (flip_ ? fields_ + 1 : 0) : nullptr;
    }
    const std::int64_t* row() const noexcept { return row_; }
    void took(const std::int64_t* row) noexcept {
        row_ = row;
        flip_ = !flip_;
    }
    void missed() noexcept { row_ = nullptr; }

  private:
    std::unique_ptr<const char*[]> starts_;
    std::size_t fields_;
    const std::int64_t* row_ = nullptr;
    bool flip_ = false;
};

// Whether `length` (1 to 16) bytes at `a` and at `b` are the same; reads 8 or 16 from each.
inline bool same_text(const char* a, const char* b, std::size_t length) noexcept {
    std::uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (length >= 8) {
        std::uint64_t u, v;
        std::memcpy(&u, a + length - 8, 8);
        std::memcpy(&v, b + length - 8, 8);
        return x == y && u == v;
    }
    return ((x ^ y) & ((std::uint64_t{1} << (8 * length)) - 1)) == 0;
}

// A whole orderbook line in the common form (`fields` fields of an optional "-" and 1 to 16
// digits, nothing else) into `row`: the commas found 16 bytes at a time first, so that the
// fields, each read in one or two 8-byte loads (or taken from `last` when their text is the
// same), do not wait on one another. False for any other line and within 32 bytes of the
// block's `end` (the field-by-field parse decides, with the same result on what this takes);
// `row` may then hold part of the line.
inline bool fast_row(const char* begin, const char* eol, const char* end, std::size_t fields,
                     std::int64_t* row, LastLine& last) noexcept {
    if (end - eol < 32) {
        last.missed();
        return false;
    }
    // Where each field starts: just past the comma before it.
    const char** starts = last.next();
    starts[0] = begin;
    std::size_t found = 1;
    const __m128i comma = _mm_set1_epi8(',');
    for (const char* p = begin; p < eol; p += 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, comma)));
        if (eol - p < 16) {
            mask &= (1U << (eol - p)) - 1;
        }
        while (mask) {
            if (found == fields) {
                last.missed();
                return false;  // more fields than the row's
            }
            starts[found++] = p + __builtin_ctz(mask) + 1;
            mask &= mask - 1;
        }
    }
    if (found != fields) {
        last.missed();
        return false;
    }
    starts[fields] = eol + 1;
    const char* const* before = last.starts();
    const std::int64_t* before_row = last.row();
    bool ok = true;
    for (std::size_t k = 0; k < fields; ++k) {
        const char* s = starts[k];
        auto length = static_cast<std::size_t>(starts[k + 1] - 1 - s);
        if (before && length >= 1 && length <= 16 &&
            length == static_cast<std::size_t>(before[k + 1] - 1 - before[k]) &&
            same_text(s, before[k], length)) {
            row[k] = before_row[k];
            continue;
        }
        bool negative = length > 0 && *s == '-';
        s += negative;
        length -= negative;
        std::uint64_t chunk, value, high = 0;
        if (length == 0 || length > 16) {
            last.missed();
            return false;
        }
        if (length > 8) {
            std::memcpy(&chunk, s, 8);
            ok &= eight_digits(chunk, length - 8, high);
            s += length - 8;
            length = 8;
        }
        std::memcpy(&chunk, s, 8);
        ok &= eight_digits(chunk, length, value);
        value += high * 100000000;
        row[k] = negative ? static_cast<std::int64_t>(0 - value) : static_cast<std::int64_t>(value);
    }
    if (ok) {
        last.took(row);
    } else {
        last.missed();
    }
    return ok;
}

// The common form of a message's time, fast: 1 to 8 digits, ".", 1 to 9 digits, then a
// comma, to nanoseconds within kMaxSeconds; false for anything else and within 32 bytes of
// the block's `end` (`seconds` decides, with the same result on what this takes).
inline bool fast_seconds(const char*& p, const char* end, std::int64_t& ns) noexcept {
    if (end - p < 32) {
        return false;
    }
    std::uint64_t chunk, whole, fraction;
    std::memcpy(&chunk, p, 8);
    std::uint64_t other = ~digit_bytes(chunk) & 0x8080808080808080ULL;
    std::size_t run = other ? static_cast<std::size_t>(__builtin_ctzll(other) >> 3) : 8;
    if (run == 0 || run == 8 || p[run] != '.' || !eight_digits(chunk, run, whole)) {
        return false;
    }
    const char* q = p + run + 1;
    std::memcpy(&chunk, q, 8);
    other = ~digit_bytes(chunk) & 0x8080808080808080ULL;
    std::size_t digits = other ? static_cast<std::size_t>(__builtin_ctzll(other) >> 3) : 8;
    if (digits == 0 || !eight_digits(chunk, digits, fraction)) {
        return false;
    }
    static constexpr std::uint64_t scale[] = {1000000000, 100000000, 10000000, 1000000, 100000,
                                              10000,      1000,      100,      10};
    if (digits == 8 && static_cast<unsigned char>(q[8] - '0') < 10) {
        fraction = fraction * 10 + static_cast<unsigned char>(q[8] - '0');  // a ninth digit
        digits = 9;
    } else {
        fraction *= scale[digits];
    }
    q += digits;
    if (*q != ',' || whole > static_cast<std::uint64_t>(kMaxSeconds)) {
        return false;
    }
    auto value =
        static_cast<std::int64_t>(whole) * 1'000'000'000 + static_cast<std::int64_t>(fraction);
    if (value > kMaxSeconds * 1'000'000'000) {
        return false;
    }
    ns = value;
    p = q;
    return true;
}
#endif

// Seconds as a plain decimal ("34200.000000001") to integer nanoseconds, exactly; digits past
// the ninth decimal round to the nearest nanosecond (halves up). 0 when it is one, 1 when it
// is not a number of that form, 2 when it is one but no time of day (negative or past 48 h).
inline int seconds(const char*& p, const char* eol, std::int64_t& ns) noexcept {
    const char* q = p;
    while (q < eol && blank(*q)) {
        ++q;
    }
    bool negative = q < eol && *q == '-';
    if (q < eol && (*q == '-' || *q == '+')) {
        ++q;
    }
    std::int64_t whole = 0;
    int whole_digits = 0;
    while (q < eol && static_cast<unsigned char>(*q - '0') < 10) {
        if (whole <= kMaxSeconds) {  // past that only the digit count matters
            whole = whole * 10 + (*q - '0');
        }
        ++whole_digits;
        ++q;
    }
    std::int64_t fraction = 0;
    int fraction_digits = 0;
    bool round_up = false;
    if (q < eol && *q == '.') {
        ++q;
        while (q < eol && static_cast<unsigned char>(*q - '0') < 10) {
            if (fraction_digits < 9) {
                fraction = fraction * 10 + (*q - '0');
            } else if (fraction_digits == 9) {
                round_up = *q >= '5';
            }
            ++fraction_digits;
            ++q;
        }
    }
    if (whole_digits + fraction_digits == 0) {
        return 1;
    }
    while (q < eol && blank(*q)) {
        ++q;
    }
    if (q < eol && *q != ',') {
        return 1;
    }
    p = q;
    for (int k = fraction_digits; k < 9; ++k) {
        fraction *= 10;
    }
    if (whole > kMaxSeconds) {
        return 2;
    }
    ns = whole * 1'000'000'000 + fraction + (round_up ? 1 : 0);
    if (ns > kMaxSeconds * 1'000'000'000 || (negative && ns != 0)) {
        return 2;
    }
    return 0;
}

// The text of field `k` (0-based) of the line [begin, eol).
inline std::string field_text(const char* begin, const char* eol, std::size_t k) {
    const char* p = begin;
    for (std::size_t i = 0; i < k && p < eol; ++i) {
        p = static_cast<const char*>(std::memchr(p, ',', static_cast<std::size_t>(eol - p)));
        if (!p) {
            return std::string();
        }
        ++p;
    }
    const char* q = p;
    while (q < eol && *q != ',') {
        ++q;
    }
    return std::string(p, q);
}

inline std::size_t count_fields(const char* begin, const char* eol) noexcept {
    std::size_t n = 1;
    for (const char* p = begin; p < eol; ++p) {
        n += *p == ',';
    }
    return n;
}

// Splits a block into lines and hands each non-empty one to `row(begin, eol, line)`, which
// returns false with `fault` filled to stop. Only whole lines are used up, unless `final`
// (the block is the file's last): then a last line without its end counts too.
template <typename Row>
bool for_each_line(const char* data, std::size_t size, bool final, std::size_t capacity,
                   Progress& done, Row&& row) {
    const char* p = data;
    const char* end = data + size;
    // Most files end their lines with "\n" alone: memchr finds those fastest.
    bool any_cr = size && std::memchr(data, '\r', size) != nullptr;
    while (p < end && done.rows < capacity) {
        const char* eol;
        if (!any_cr) {
            eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            eol = eol ? eol : end;
        } else {
            eol = find_line_end(p, end);
        }
        const char* next;
        if (eol == end) {
            if (!final) {
                break;
            }
            next = end;
        } else if (*eol == '\r') {
            if (eol + 1 == end && !final) {
                break;  // the "\n" of a "\r\n" may open the next block
            }
            next = eol + 1 < end && eol[1] == '\n' ? eol + 2 : eol + 1;
        } else {
            next = eol + 1;
        }
        ++done.lines;
        if (eol > p && !row(p, eol, done.lines)) {
            return false;
        }
        p = next;
        done.consumed = static_cast<std::size_t>(p - data);
    }
    return true;
}

}  // namespace detail

// Orderbook rows: `fields` int64 per row at `out` (room for `capacity` rows). Checked: the
// same number of integer fields on each line, sizes of 0 or more, a price from 1 to kMaxPrice
// at every level with a size.
inline bool parse_orderbook(const char* data, std::size_t size, bool final, std::size_t fields,
                            std::int64_t* out, std::size_t capacity, Progress& done, Fault& fault) {
    using namespace detail;
    const char* const end = data + size;
#ifdef VELMORA_FAST_ROWS
    LastLine last(fields);
#endif
    return for_each_line(
        data, size, final, capacity, done,
        [&](const char* begin, const char* eol, std::int64_t line) {
            std::int64_t* row = out + done.rows * fields;
            const char* p = begin;
            std::size_t k = 0;
#ifdef VELMORA_FAST_ROWS
            if (fast_row(begin, eol, end, fields, row, last)) {
                k = fields;
                p = eol;
            }
#endif
            for (; k < fields; ++k) {
                if (k) {
                    if (p == eol || *p != ',') {
                        break;
                    }
                    ++p;
                }
                if (!fast_integer(p, eol, end, row[k]) && !integer(p, eol, row[k])) {
                    if (count_fields(begin, eol) == fields) {
                        fault = {line,
                                 format("field %lld is not a 64-bit integer: {text}",
                                        static_cast<long long>(k) + 1),
                                 field_text(begin, eol, k)};
                        return false;
                    }
                    break;
                }
            }
            if (k < fields || p != eol) {
                fault = {line,
                         format("expected %lld comma-separated fields, found %lld",
                                static_cast<long long>(fields),
                                static_cast<long long>(count_fields(begin, eol))),
                         {}};
                return false;
            }
            for (std::size_t c = 0; c + 1 < fields; c += 2) {
                std::int64_t price = row[c], quantity = row[c + 1];
                if (quantity < 0) {
                    fault = {line, format("negative size %lld", quantity), {}};
                    return false;
                }
                if (quantity > 0 && (price < 1 || price > kMaxPrice)) {
                    fault = {line,
                             format(c % 4 == 0 ? "ask price %lld at level %lld out of range (1 "
                                                 "to %lld for a level with size %lld)"
                                               : "bid price %lld at level %lld out of range (1 "
                                                 "to %lld for a level with size %lld)",
                                    price, static_cast<long long>(c / 4) + 1, kMaxPrice, quantity),
                             {}};
                    return false;
                }
            }
            ++done.rows;
            return true;
        });
}

// Messages into MESSAGE_DTYPE records at `out` (room for `capacity`). Checked: six fields;
// a time of day; types 1 to 7; directions 1 or -1; sizes of at least 1 for types 1 to 6 (0
// or more for halts); prices from 1 to kMaxPrice for types 1 to 6 and -1, 0 or 1 for halts.
inline bool parse_messages(const char* data, std::size_t size, bool final, unsigned char* out,
                           std::size_t capacity, Progress& done, Fault& fault) {
    using namespace detail;
    const char* const end = data + size;
    return for_each_line(
        data, size, final, capacity, done,
        [&](const char* begin, const char* eol, std::int64_t line) {
            auto wrong_count = [&] {
                fault = {line,
                         format("expected 6 comma-separated fields, found %lld",
                                static_cast<long long>(count_fields(begin, eol))),
                         {}};
                return false;
            };
            const char* p = begin;
            std::int64_t time = 0;
            int state = 0;
#ifdef VELMORA_FAST_ROWS
            if (!fast_seconds(p, end, time))
#endif
            {
                state = seconds(p, eol, time);
            }
            if (state != 0) {
                if (count_fields(begin, eol) != kMessageFields) {
                    return wrong_count();
                }
                fault = {line,
                         state == 1 ? "field 1 (time) is not a number of seconds: {text}"
                                    : "time {text} is not a time of day in seconds",
                         field_text(begin, eol, 0)};
                return false;
            }
            std::int64_t v[kMessageFields];
            for (std::size_t k = 1; k < kMessageFields; ++k) {
                if (p == eol || *p != ',') {
                    return wrong_count();
                }
                ++p;
                if (!fast_integer(p, eol, end, v[k]) && !integer(p, eol, v[k])) {
                    if (count_fields(begin, eol) != kMessageFields) {
                        return wrong_count();
                    }
                    fault = {line,
                             format("field %lld is not a 64-bit integer: {text}",
                                    static_cast<long long>(k) + 1),
                             field_text(begin, eol, k)};
                    return false;
                }
            }
            if (p != eol) {
                return wrong_count();
            }
            std::int64_t type = v[1], order_id = v[2], quantity = v[3], price = v[4],
                         direction = v[5];
            if (type < 1 || type > 7) {
                fault = {line, format("unknown event type %lld (LOBSTER's are 1 to 7)", type), {}};
                return false;
            }
            if (direction != 1 && direction != -1) {
                fault = {line,
                         format("direction must be 1 (buy) or -1 (sell), got %lld", direction),
                         {}};
                return false;
            }
            bool halt = type == 7;
            if (quantity < (halt ? 0 : 1)) {
                fault = {line,
                         format(quantity < 0 ? "negative size %lld" : "zero size %lld", quantity),
                         {}};
                return false;
            }
            if (!halt && (price < 1 || price > kMaxPrice)) {
                fault = {line,
                         format("price %lld out of range (1 to %lld for type %lld)", price,
                                kMaxPrice, type),
                         {}};
                return false;
            }
            if (halt && (price < -1 || price > 1)) {
                fault = {line, format("a halt's price must be -1, 0 or 1, got %lld", price), {}};
                return false;
            }
            unsigned char* record = out + done.rows * kMessageSize;
            auto put = [record](std::size_t offset, std::int64_t value) {
                std::memcpy(record + offset, &value, sizeof value);
            };
            put(MessageOffsets::time, time);
            record[MessageOffsets::type] = static_cast<unsigned char>(type);
            put(MessageOffsets::order_id, order_id);
            put(MessageOffsets::size, quantity);
            put(MessageOffsets::price, price);
            record[MessageOffsets::direction] =
                static_cast<unsigned char>(static_cast<std::int8_t>(direction));
            ++done.rows;
            return true;
        });
}

}  // namespace velmora::lobster
