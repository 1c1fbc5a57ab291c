// The ITCH file reader's slow paths: opening and refilling its window.
#include "reader.hpp"

#include <cerrno>
#include <climits>

namespace velmora::itch {

bool Reader::open(const char* path, std::string* error) {
    buffer_.assign(WINDOW + 2 + 65535, 0);
    errno = 0;
    file_ = gzopen(path, "rb");
    if (!file_) {
        *error = std::string("cannot open ") + path + ": " +
                 (errno ? std::strerror(errno) : "out of memory");
        return false;
    }
    gzbuffer(file_, 1u << 17);
    return true;
}

std::uint64_t Reader::file_bytes() const noexcept {
    if (!file_) {
        return 0;
    }
    z_off_t at = gzoffset(file_);
    return at < 0 ? 0 : static_cast<std::uint64_t>(at);
}

// Moves the unread bytes to the front and reads behind them until a whole message (or the
// end of the file) is in the window.
Reader::Status Reader::refill() {
    std::size_t left = end_ - pos_;
    base_ += pos_;
    if (left > 0 && pos_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + pos_, left);
    }
    pos_ = 0;
    end_ = left;
    while (!eof_ && (end_ < 2 || end_ < 2 + size_at(0) || end_ < WINDOW / 2)) {
        int got = gzread(file_, buffer_.data() + end_, static_cast<unsigned>(WINDOW - end_ + 2));
        if (got < 0) {
            int code;
            const char* what = gzerror(file_, &code);
            error_ = std::string("cannot read the file: ") + (what ? what : "zlib error");
            return FAILED;
        }
        if (got == 0) {
            eof_ = true;
            // A gzip stream cut short reads as an end without an error until asked.
            int code;
            const char* what = gzerror(file_, &code);
            if (code != Z_OK && code != Z_BUF_ERROR) {
                error_ = std::string("cannot read the file: ") + (what ? what : "zlib error");
                return FAILED;
            }
            if (code == Z_BUF_ERROR) {
                error_ = "the gzip stream is truncated at byte " + std::to_string(base_ + end_);
                return FAILED;
            }
        }
        end_ += static_cast<std::size_t>(got);
    }
    if (end_ == 0) {
        return END;
    }
    if (end_ < 2) {
        error_ = "the file is truncated at byte " + std::to_string(base_) +
                 ": one byte of a length prefix";
        return FAILED;
    }
    std::size_t need = 2 + size_at(0);
    if (end_ < need) {
        error_ = "the file is truncated at byte " + std::to_string(base_) + ": a message of " +
                 std::to_string(need - 2) + " bytes with " + std::to_string(end_ - 2) + " left";
        return FAILED;
    }
    return MESSAGE;
}

}  // namespace velmora::itch
