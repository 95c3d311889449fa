#pragma once
// The response: a fixed header, then a body, written in one call.

#include "text/body_text.hpp"

#include <string_view>

namespace pagestamp {

// LF CR LF CR, not CR LF CR LF: servers accept it, and pages have always
// received their text after that final CR.
inline constexpr std::string_view response_header = "Content-type: text/plain\n\r\n\r";

// The same page text through FastCGI. mod_proxy_fcgi reads the header above as
// one unended line and would put all of it in the page, so the header is
// framed the standard way, and the CR that pages receive starts the body.
inline constexpr std::string_view fastcgi_response_header = "Content-type: text/plain\r\n\r\n";

inline constexpr std::string_view missing_variables_message =
    "<P>One or more required environment variables was missing.</P>\n";

// "[Error: Couldn't open file '<path>']\n"
body_text cannot_open_message(std::string_view path);

// Header and body to standard output. False when not every byte got there.
bool write_response(const body_text& body);

} // namespace pagestamp
