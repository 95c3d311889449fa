#pragma once
// The six variables a server sets for a server-side include, borrowed from the
// process environment, which outlives the run.

#include <string_view>

namespace pagestamp {

struct request_env {
    std::string_view server_name;
    std::string_view document_root;
    std::string_view document_uri;
    std::string_view document_name; // required, though nothing uses its value
    std::string_view path_info;      // empty when absent
    std::string_view query_string;   // empty when absent
};

// Reads all six before deciding anything. Returns false when any of the four
// required variables is absent; present-but-empty counts as present.
bool read_request_env(request_env& env);

} // namespace pagestamp
