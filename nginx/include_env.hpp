#pragma once
// The six variables of an include under nginx, derived from what its request
// holds just as the shipped fastcgi_pass snippet derives them, so that the
// module and the responder put the same text into a page.

#include "nginx/pagestamp_bridge.h"
#include "request/request_env.hpp"

#include <string_view>

namespace pagestamp {

// The file name of a page: what follows its URI's last "/".
std::string_view page_name(std::string_view page_uri);

// What follows the location's prefix, when that is a "/" and more: the split
// ^(prefix)(/.*)$ makes of the URI. A null view when the split fails.
std::string_view path_after_location(std::string_view uri, std::string_view location);

// Without a page (the program asked for directly) DOCUMENT_URI and
// DOCUMENT_NAME stay absent, and the request is refused.
request_env include_env(const pagestamp_include& include);

} // namespace pagestamp
