// A text for rapidyaml, copied afresh before each parse: rapidyaml parses in
// place and rewrites the buffer. The copy is one memcpy, small beside the parse.
#pragma once

#include <ryml.hpp>

#include <cstring>
#include <string>
#include <vector>

namespace zb {

struct ryml_source {
    const std::string &text;
    std::vector<char> buffer;
    explicit ryml_source(const std::string &t) : text(t), buffer(t.size()) {}
    c4::substr fresh() {
        std::memcpy(buffer.data(), text.data(), text.size());
        return c4::substr(buffer.data(), buffer.size());
    }
};

}  // namespace zb
