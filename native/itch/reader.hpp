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
    // The window, for a loop that walks the messages itself: the bytes from cursor() up to
    // limit() are read and not yet taken; take(p) marks them taken up to p (a message's end),
    // and fill() moves the rest to the front and reads on until a whole message (MESSAGE) or
    // the end of the file (END) is in the window, or FAILED with error(). The limit holds at
    // least two bytes past it in the buffer, so a length prefix may be read there before it
    // is known to be whole (its value is then ignored).
    const unsigned char* cursor() const noexcept { return buffer_.data() + pos_; }
    const unsigned char* limit() const noexcept { return buffer_.data() + end_; }
    void take(const unsigned char* p) noexcept {
        pos_ = static_cast<std::size_t>(p - buffer_.data());
    }
    Status fill() { return refill(); }

    // The offset in the stream of the message at `message` (just past its length prefix),
    // which must lie in the window.
    std::uint64_t offset_of(const unsigned char* message) const noexcept {
        return base_ + static_cast<std::uint64_t>(message - 2 - buffer_.data());
    }

    // Bytes of the (uncompressed) stream up to the end of the last message returned.
    std::uint64_t offset() const noexcept { return base_ + pos_; }
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
    std::uint64_t base_ = 0;  // the stream offset of the window's first byte
    std::string error_;
};

}  // namespace velmora::itch
