#pragma once
// The template language of QUERY_STRING: literal text with "+" for a space,
// %XX for a byte (upper-case hex digits), and two-letter %-codes.

#include "stamp/stamp_facts.hpp"
#include "text/body_text.hpp"
#include "text/fixed_text.hpp"

#include <string_view>

namespace pagestamp {

// A piece either fits whole or is dropped whole; a later, shorter one may
// still fit.
void append_piece(body_text& output, std::string_view piece);

// The value a two-letter code prints, or false when it is no code. Numbers are
// formatted into scratch, which the returned view may point into.
using piece_scratch = fixed_text<31>;

// Replaces the scratch text with `text` and returns a view of it.
inline std::string_view keep(piece_scratch& scratch, std::string_view text)
{
    scratch = piece_scratch();
    scratch.append(text);
    return scratch.view();
}

bool code_value(std::string_view code, const stamp_facts& facts, piece_scratch& scratch,
                std::string_view& value);

body_text expand_template(std::string_view query_string, const stamp_facts& facts);

} // namespace pagestamp
