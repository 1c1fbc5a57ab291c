// A streamed reader of NASDAQ's ITCH files: each message preceded by its length as a 2-byte
// big-endian integer, the file plain or gzip-compressed (zlib reads both, a plain file
// unchanged). A window of the file is held at a time, never the whole.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace velmora::itch {

class Reader {
  public:
    Reader() = default;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() {
        if (file_) {
            gzclose(file_);
        }
    }

    // Opens `path`; false with a description in *error.
    bool open(const char* path, std::string* error);

    enum Status { MESSAGE, END, FAILED };
    // The next message (its type byte first) and its length; END after the last one, FAILED
    // with error() for a damaged or truncated file. The message stays valid until the next
    // call.
    [[gnu::always_inline]] Status next(const unsigned char** message, std::size_t* length) {
        if (end_ - pos_ < 2 || end_ - pos_ < 2 + size_at(pos_)) {
            Status s = refill();
            if (s != MESSAGE) {
                return s;
            }
        }
        std::size_t n = size_at(pos_);
        *message = buffer_.data() + pos_ + 2;
        *length = n;
        offset_ += 2 + n;
        pos_ += 2 + n;
        return MESSAGE;
    }

    // Up to `n` of the messages after the last one returned that are already in the window,
    // for prefetching; returns how many it found.
    std::size_t peek(std::size_t n, const unsigned char** out) const noexcept {
        std::size_t at = pos_, found = 0;
        while (found < n && end_ - at >= 2 && end_ - at >= 2 + size_at(at)) {
            out[found++] = buffer_.data() + at + 2;
            at += 2 + size_at(at);
        }
        return found;
    }

    // Bytes of the (uncompressed) stream up to the end of the last message returned.
    std::uint64_t offset() const noexcept { return offset_; }
    // Bytes of the file read so far (compressed bytes for a gzip file).
    std::uint64_t file_bytes() const noexcept;
    const std::string& error() const noexcept { return error_; }

  private:
    static constexpr std::size_t WINDOW = std::size_t{1} << 20;

    std::size_t size_at(std::size_t at) const noexcept {
        return (std::size_t{buffer_[at]} << 8) | buffer_[at + 1];
    }
    Status refill();

    gzFile file_ = nullptr;
    std::vector<unsigned char> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    std::uint64_t offset_ = 0;
    std::string error_;
};

}  // namespace velmora::itch
