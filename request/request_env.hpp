#pragma once
// The six variables a server sets for a server-side include. The texts are
// borrowed: from the process environment, which outlives the run, or from a
// FastCGI request's params, which outlive the answer.

#include "request/request_memory.hpp"

#include <string_view>

namespace pagestamp {

// A field whose variable is absent is a null view (no data at all); a variable
// present with an empty value is an empty view of something. Both read as the
// empty text, but only the first makes a request incomplete.
struct request_env {
    std::string_view server_name;
    std::string_view document_root;
    std::string_view document_uri;
    std::string_view document_name; // required, though nothing uses its value
    std::string_view path_info;      // empty when absent
    std::string_view query_string;   // empty when absent
    // Where a lookup too large for its stack buffer finds room: null in a
    // process of its own, whose stack has room to spare.
    const request_memory* memory = nullptr;
};

// Sets the field that a variable of this name fills; other names are not ours
// and change nothing. Returns whether the name was one of the six.
bool set_request_variable(request_env& env, std::string_view name, std::string_view value);

// False when any of the four required variables is absent.
bool has_required_variables(const request_env& env);

// Reads all six from the process environment before anything is decided.
request_env read_request_env();

} // namespace pagestamp
