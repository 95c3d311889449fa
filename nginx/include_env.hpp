#pragma once
// The six variables of an include under nginx, derived from what its request
// holds as Apache derives them from the same include, so that a page put
// under nginx gets the text it gets under Apache.

#include "nginx/pagestamp_bridge.h"
#include "request/request_env.hpp"

#include <string_view>

namespace pagestamp {

// The file name of a page: what follows its URI's last "/".
std::string_view page_name(std::string_view page_uri);

// What precedes the first "#": Apache parses an include's URL as a URL, and
// what follows "#" is a fragment, never sent on.
std::string_view before_fragment(std::string_view text);

// A path as Apache hands it on after merging slashes: each run of "/" one
// "/", and every "." segment gone. Written into room (path.size() bytes).
std::string_view apache_path(std::string_view path, char* room);

// PATH_INFO: what follows the location's prefix, when that is a "/" and
// more, made an Apache path in room (uri.size() bytes). A null view when
// nothing follows.
std::string_view path_after_location(std::string_view uri, std::string_view prefix, char* room);

// Without a page (the program asked for directly) DOCUMENT_URI and
// DOCUMENT_NAME stay absent, and the request is refused.
request_env include_env(const pagestamp_include& include);

} // namespace pagestamp
