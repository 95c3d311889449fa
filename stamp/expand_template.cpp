#include "stamp/expand_template.hpp"

#include "stamp/hex2char.hpp"

namespace pagestamp {

namespace {

bool is_upper_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The piece a "%" and the two characters after it print. Codes win over hex
// digits, so A1-A4 are always half-day texts; %2f is no escape, %2F is "/".
std::string_view sequence_piece(std::string_view sequence, const stamp_facts& facts,
                                piece_scratch& scratch)
{
    const std::string_view code = text_from(sequence, 1);
    std::string_view value;
    if (code_value(code, facts, scratch, value)) {
        return value;
    }
    if (is_upper_hex_digit(code[0]) && is_upper_hex_digit(code[1])) {
        // %00 gives nothing: the byte would end the text in any C consumer.
        const char byte = hex2char(code[0], code[1]);
        return keep(scratch, std::string_view(&byte, byte != '\0' ? 1 : 0));
    }
    return sequence;
}

} // namespace

void append_piece(body_text& output, std::string_view piece) { output.append(piece); }

body_text expand_template(std::string_view query_string, const stamp_facts& facts)
{
    body_text output;
    piece_scratch scratch;
    const char* p = query_string.data();
    const char* const end = p + query_string.size();
    while (p != end) {
        if (*p == '+') {
            append_piece(output, " ");
            ++p;
        } else if (*p != '%') {
            // A run of plain characters is one piece per character; copying
            // what still fits gives the same text in one step.
            const char* run_end = p;
            while (run_end != end && *run_end != '%' && *run_end != '+') {
                ++run_end;
            }
            const std::string_view run(p, static_cast<std::size_t>(run_end - p));
            append_piece(output, text_before(run, output.room()));
            p = run_end;
        } else if (end - p < 3) {
            // Too short for a code: the "%" and what follows, as they stand.
            append_piece(output, std::string_view(p, static_cast<std::size_t>(end - p)));
            p = end;
        } else {
            // Decoded bytes and unknown sequences are never scanned again.
            append_piece(output, sequence_piece(std::string_view(p, 3), facts, scratch));
            p += 3;
        }
    }
    return output;
}

} // namespace pagestamp
