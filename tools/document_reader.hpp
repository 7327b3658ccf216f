// Reads an input in chunks and hands out one YAML document's text at a time,
// so that converting a long stream holds the largest document, not the
// stream. Documents are cut where YAML itself cuts them: before a "---" line
// (after any directives and comments that precede it) and after a "..."
// line; such lines at column 0 are never content, not even inside a block
// scalar. Inputs that are not UTF-8 (a UTF-16/32 byte order mark or zero
// bytes) and whole-input formats are handed out in one piece.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zarvel_tool {

class document_reader {
  public:
    document_reader() = default;
    ~document_reader();
    document_reader(const document_reader &) = delete;
    document_reader &operator=(const document_reader &) = delete;

    // Opens FILE or "-"; false after reporting why.
    bool open(const char *path, bool split);
    // The next piece (valid until the next call) and the number of lines
    // before it; false at the end or on a read error (failed() tells).
    bool next(std::string_view &piece, uint64_t &lines_before);
    bool failed() const { return failed_; }
    // Hands out the rest of the input as one piece.
    void read_whole() { split_ = false; }
    // The first bytes of the input (for format detection), after open.
    std::string_view head() const { return {buffer_.data(), buffer_.size()}; }
    uint64_t bytes_read() const { return read_total_; }
    uint64_t size() const { return size_; }  // 0 when unknown (a pipe)
    const std::string &name() const { return name_; }

  private:
    bool fill();  // reads one more chunk; false at the end
    std::string name_;
    std::FILE *file_ = nullptr;
    bool owned_ = false, eof_ = false, failed_ = false, split_ = true;
    std::vector<char> buffer_;
    size_t start_ = 0;      // where the current piece begins
    size_t scanned_ = 0;    // lines before this are classified
    bool content_ = false;  // the current piece holds more than directives and comments
    uint64_t lines_at_start_ = 0, lines_in_piece_ = 0;
    uint64_t read_total_ = 0, size_ = 0;
};

}  // namespace zarvel_tool
