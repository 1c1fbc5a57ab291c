// The market-by-order record of Databento's DBN format, read in place from the decompressed
// stream: a 16-byte header (length in 4-byte words, record type, publisher id, instrument
// id, ts_event), then order id, price in units of 1e-9, size, flags, channel id, action,
// side, ts_recv, ts_in_delta and sequence, all little-endian; 56 bytes, 64 with a ts_out.
#pragma once

#include <cstdint>
#include <cstring>

namespace velmora::dbn {

inline constexpr std::uint8_t MBO_RTYPE = 0xA0;
inline constexpr std::size_t MBO_SIZE = 56;
inline constexpr std::size_t HEADER_SIZE = 16;

// The flags byte.
inline constexpr std::uint8_t F_LAST = 128;  // the last record of an exchange event
inline constexpr std::uint8_t F_TOB = 64;    // a top-of-book level, not an order
inline constexpr std::uint8_t F_SNAPSHOT = 32;
inline constexpr std::uint8_t F_MBP = 16;
inline constexpr std::uint8_t F_BAD_TS_RECV = 8;     // ts_recv is not to be trusted
inline constexpr std::uint8_t F_MAYBE_BAD_BOOK = 4;  // the venue's book may be wrong here

inline constexpr std::int64_t UNDEF_PRICE = INT64_MAX;

// The fields the replay reads, decoded from a record that holds at least MBO_SIZE bytes.
struct Mbo {
    std::uint16_t publisher;
    std::uint32_t instrument;
    std::int64_t ts_event;
    std::uint64_t order_id;
    std::int64_t price;
    std::uint32_t size;
    std::uint8_t flags;
    char action;
    char side;
    std::int64_t ts_recv;
    std::uint32_t sequence;
};

template <class T>
inline T load(const unsigned char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;  // DBN is little-endian, as every host this builds for
}

inline Mbo decode(const unsigned char* r) noexcept {
    Mbo m;
    m.publisher = load<std::uint16_t>(r + 2);
    m.instrument = load<std::uint32_t>(r + 4);
    m.ts_event = static_cast<std::int64_t>(load<std::uint64_t>(r + 8));
    m.order_id = load<std::uint64_t>(r + 16);
    m.price = load<std::int64_t>(r + 24);
    m.size = load<std::uint32_t>(r + 32);
    m.flags = r[36];
    m.action = static_cast<char>(r[38]);
    m.side = static_cast<char>(r[39]);
    m.ts_recv = static_cast<std::int64_t>(load<std::uint64_t>(r + 40));
    m.sequence = load<std::uint32_t>(r + 52);
    return m;
}

// What a record type byte names, for refusing a record that is not market-by-order.
inline const char* rtype_name(std::uint8_t rtype) noexcept {
    switch (rtype) {
        case 0x00: return "trade (mbp-0)";
        case 0x01: return "mbp-1";
        case 0x0A: return "mbp-10";
        case 0x11: return "ohlcv";
        case 0x12: return "status";
        case 0x13: return "instrument definition";
        case 0x14: return "imbalance";
        case 0x15: return "error";
        case 0x16: return "symbol mapping";
        case 0x17: return "system";
        case 0x18: return "statistics";
        case 0x20:
        case 0x21:
        case 0x22:
        case 0x23:
        case 0x24: return "ohlcv";
        case 0xB1: return "cmbp-1";
        case 0xC0:
        case 0xC1: return "cbbo";
        case 0xC2: return "tcbbo";
        case 0xC3:
        case 0xC4: return "bbo";
        case 0xC5: return "tbbo";
        default: return "unknown";
    }
}

}  // namespace velmora::dbn
