// Chunked reading and document cuts for `zarvel convert`.
#include "document_reader.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "command.hpp"

namespace zarvel_tool {
namespace {

constexpr size_t chunk_size = size_t(1) << 20;

bool marker(std::string_view line, char c) {
    return line.size() >= 3 && line[0] == c && line[1] == c && line[2] == c &&
           (line.size() == 3 || line[3] == ' ' || line[3] == '\t' || line[3] == '\r' || line[3] == '\n');
}

// Blank, comment or directive: lines that may stand before a document's "---".
bool preamble(std::string_view line) {
    const size_t at = line.find_first_not_of(" \t\r\n");
    return at == std::string_view::npos || line[at] == '#' || line[0] == '%';
}

}  // namespace

document_reader::~document_reader() {
    if (owned_) std::fclose(file_);
}

bool document_reader::open(const char *path, bool split) {
    name_ = path;
    split_ = split;
    if (std::strcmp(path, "-") == 0) {
        file_ = stdin;
    } else {
        file_ = std::fopen(path, "rb");
        if (!file_) {
            fail(std::string("cannot open ") + path + ": " + std::strerror(errno));
            return false;
        }
        owned_ = true;
        struct stat info;
        if (fstat(fileno(file_), &info) == 0 && S_ISREG(info.st_mode)) size_ = uint64_t(info.st_size);
    }
    fill();
    if (failed_) return false;
    // UTF-16/32 texts are cut only after decoding, which needs the whole input.
    if (buffer_.size() >= 2 &&
        (buffer_[0] == 0 || buffer_[1] == 0 || uint8_t(buffer_[0]) == 0xFE || uint8_t(buffer_[0]) == 0xFF))
        split_ = false;
    return true;
}

bool document_reader::fill() {
    if (eof_) return false;
    // Drop what earlier pieces used, so the buffer holds one document.
    if (start_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(start_));
        scanned_ -= start_;
        start_ = 0;
    }
    const size_t old = buffer_.size();
    buffer_.resize(old + chunk_size);
    const size_t got = std::fread(buffer_.data() + old, 1, chunk_size, file_);
    buffer_.resize(old + got);
    read_total_ += got;
    if (got < chunk_size) {
        eof_ = true;
        if (std::ferror(file_)) {
            failed_ = true;
            fail("cannot read " + name_ + ": " + std::strerror(errno));
        }
    }
    return got > 0;
}

bool document_reader::next(std::string_view &piece, uint64_t &lines_before) {
    lines_at_start_ += lines_in_piece_;
    lines_in_piece_ = 0;
    while (!failed_) {
        if (!split_) {
            while (fill()) {}
            if (failed_ || start_ == buffer_.size()) return false;
            piece = {buffer_.data() + start_, buffer_.size() - start_};
            lines_before = 0;
            start_ = buffer_.size();
            return true;
        }
        const char *base = buffer_.data();
        const size_t end = buffer_.size();
        while (scanned_ < end) {
            const void *feed = std::memchr(base + scanned_, '\n', end - scanned_);
            if (!feed && !eof_) break;  // an unfinished line: read on
            const size_t line_end = feed ? size_t(static_cast<const char *>(feed) - base) + 1 : end;
            const std::string_view line(base + scanned_, line_end - scanned_);
            const size_t line_start = scanned_;
            if (marker(line, '-') && content_ && line_start > start_) {
                piece = {base + start_, line_start - start_};
                start_ = line_start;
                content_ = false;
                lines_before = lines_at_start_;
                return true;  // the "---" line is read again as the next piece's first
            }
            scanned_ = line_end;
            ++lines_in_piece_;
            if (marker(line, '.')) {
                piece = {base + start_, line_end - start_};
                start_ = line_end;
                content_ = false;
                lines_before = lines_at_start_;
                return true;
            }
            if (!preamble(line)) content_ = true;
        }
        if (scanned_ == end && eof_) {
            if (start_ == end) return false;
            piece = {base + start_, end - start_};
            start_ = end;
            lines_before = lines_at_start_;
            return true;
        }
        fill();
    }
    return false;
}

}  // namespace zarvel_tool
