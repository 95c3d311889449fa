#include "fastcgi/fastcgi_params.hpp"

#include "fastcgi/fastcgi_protocol.hpp"

#include <array>

namespace pagestamp::fastcgi {

namespace {

struct kept_name {
    std::string_view name;
    std::size_t capacity;
};

// In the order of kept_params' bits.
constexpr std::array<kept_name, kept_names> kept{{
    {"SERVER_NAME", value_capacity},
    {"DOCUMENT_ROOT", value_capacity},
    {"DOCUMENT_URI", value_capacity},
    {"DOCUMENT_NAME", 0}, // only its presence is kept
    {"PATH_INFO", value_capacity},
    {"QUERY_STRING", value_capacity},
    {"TZ", value_capacity},
}};
constexpr std::size_t document_name = 3;
constexpr std::size_t time_zone = 6;

constexpr bool longest_is_right()
{
    std::size_t longest = 0;
    for (const kept_name& k : kept) {
        // cppcheck-suppress useStlAlgorithm ; a loop is plainer at compile time
        longest = k.name.size() > longest ? k.name.size() : longest;
    }
    return longest == longest_kept_name;
}
static_assert(longest_is_right(), "a kept name must fit the name being read");

std::uint8_t bit(std::size_t which) { return static_cast<std::uint8_t>(1U << which); }

// Texts end at a NUL byte, as they would in an environment; `ended` tells
// whether this piece held it.
std::string_view up_to_nul(std::string_view piece, bool& ended)
{
    const std::size_t nul = piece.find('\0');
    ended = nul != std::string_view::npos;
    return ended ? text_before(piece, nul) : piece;
}

void end_value(params_reader& r) { r.at = params_reader::part::name_length; }

// A name sent twice counts as its last value, as FastCGI servers expect when
// a configuration overrides a variable set earlier: a new value starts afresh.
void end_name(params_reader& r)
{
    r.value_of = -1;
    r.value_ended = false;
    for (std::size_t i = 0; i < kept.size() && !r.name_unknown; ++i) {
        if (same_text(r.name.view(), kept[i].name)) {
            r.value_of = i == document_name ? std::int8_t{-1} : static_cast<std::int8_t>(i);
            r.kept.present = static_cast<std::uint8_t>(r.kept.present | bit(i));
            r.kept.too_long = static_cast<std::uint8_t>(r.kept.too_long & ~bit(i));
            r.kept.start[i] = static_cast<std::uint32_t>(r.kept.bytes.size());
            r.kept.size[i] = 0;
        }
    }
    r.at = params_reader::part::value;
    if (r.value_left == 0) {
        end_value(r);
    }
}

void begin_name(params_reader& r)
{
    r.name.clear();
    r.name_ended = r.name_unknown = false;
    r.at = params_reader::part::name;
    if (r.name_left == 0) {
        end_name(r);
    }
}

// One byte of a length; a 4-byte one may be cut anywhere by a record's end.
void take_length_byte(params_reader& r, char byte)
{
    r.length_bytes.append(byte);
    std::size_t at = 0;
    std::size_t length = 0;
    if (!read_length(r.length_bytes.view(), at, length)) {
        return;
    }
    r.length_bytes.clear();
    // read_length gives at most 2^31 - 1.
    if (r.at == params_reader::part::name_length) {
        r.name_left = static_cast<std::uint32_t>(length);
        r.at = params_reader::part::value_length;
    } else {
        r.value_left = static_cast<std::uint32_t>(length);
        begin_name(r);
    }
}

void take_name(params_reader& r, std::string_view piece)
{
    if (r.name_ended || r.name_unknown) {
        return;
    }
    const std::string_view text = up_to_nul(piece, r.name_ended);
    r.name_unknown = !r.name.append(text);
}

void take_value(params_reader& r, std::string_view piece)
{
    if (r.value_of < 0 || r.value_ended) {
        return;
    }
    const std::string_view text = up_to_nul(piece, r.value_ended);
    const auto which = static_cast<std::size_t>(static_cast<unsigned char>(r.value_of));
    std::uint32_t& size = r.kept.size[which];
    if (text.size() > kept[which].capacity - size || !r.kept.bytes.append(text)) {
        r.kept.too_long = static_cast<std::uint8_t>(r.kept.too_long | bit(which));
        r.value_ended = true;
        return;
    }
    size = static_cast<std::uint32_t>(size + text.size());
}

} // namespace

void start_params(params_reader& reader)
{
    reader.at = params_reader::part::name_length;
    reader.length_bytes.clear();
    reader.kept.present = reader.kept.too_long = 0;
    reader.kept.bytes.clear();
}

void read_params(params_reader& r, std::string_view content)
{
    while (!content.empty()) {
        if (r.at == params_reader::part::name_length || r.at == params_reader::part::value_length) {
            take_length_byte(r, content[0]);
            content = text_from(content, 1);
            continue;
        }
        std::uint32_t& left = r.at == params_reader::part::name ? r.name_left : r.value_left;
        const std::size_t taken = left < content.size() ? left : content.size();
        if (r.at == params_reader::part::name) {
            take_name(r, text_before(content, taken));
        } else {
            take_value(r, text_before(content, taken));
        }
        content = text_from(content, taken);
        left -= static_cast<std::uint32_t>(taken);
        if (left == 0) {
            r.at == params_reader::part::name ? end_name(r) : end_value(r);
        }
    }
}

bool kept_request(const params_reader& reader, request_env& env, std::string_view& zone)
{
    env = request_env();
    zone = std::string_view();
    const bool whole = reader.at == params_reader::part::name_length && reader.length_bytes.empty();
    if (!whole || reader.kept.too_long != 0) {
        return false;
    }
    const std::string_view bytes = reader.kept.bytes.view();
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if ((reader.kept.present & bit(i)) == 0) {
            continue;
        }
        // Never a null view: an empty value is still there.
        const std::string_view value(bytes.data() + reader.kept.start[i], reader.kept.size[i]);
        if (i == time_zone) {
            zone = value;
        } else {
            set_request_variable(env, kept[i].name, value);
        }
    }
    return true;
}

} // namespace pagestamp::fastcgi
