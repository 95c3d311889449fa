#include "request/request_env.hpp"

#include <cstdlib>

namespace pagestamp {

namespace {

// Sets `field` and returns whether the variable was present at all.
bool read_variable(const char* name, std::string_view& field)
{
    const char* value = std::getenv(name);
    field = value != nullptr ? std::string_view(value) : std::string_view();
    return value != nullptr;
}

} // namespace

bool read_request_env(request_env& env)
{
    // All six are read before anything is decided.
    const bool has_server_name = read_variable("SERVER_NAME", env.server_name);
    const bool has_document_root = read_variable("DOCUMENT_ROOT", env.document_root);
    const bool has_document_uri = read_variable("DOCUMENT_URI", env.document_uri);
    const bool has_document_name = read_variable("DOCUMENT_NAME", env.document_name);
    read_variable("PATH_INFO", env.path_info);
    read_variable("QUERY_STRING", env.query_string);
    return has_server_name && has_document_root && has_document_uri && has_document_name;
}

} // namespace pagestamp
