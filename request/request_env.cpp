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
    // Non-short-circuit '&' keeps reading after the first absent variable.
    const bool complete = read_variable("SERVER_NAME", env.server_name) &
                          read_variable("DOCUMENT_ROOT", env.document_root) &
                          read_variable("DOCUMENT_URI", env.document_uri) &
                          read_variable("DOCUMENT_NAME", env.document_name);
    read_variable("PATH_INFO", env.path_info);
    read_variable("QUERY_STRING", env.query_string);
    return complete;
}

} // namespace pagestamp
