#include "request/request_env.hpp"

#include "text/fixed_text.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace pagestamp {

namespace {

struct variable {
    std::string_view name;
    std::string_view request_env::*field;
};

constexpr std::array<variable, 6> variables{{
    {"SERVER_NAME", &request_env::server_name},
    {"DOCUMENT_ROOT", &request_env::document_root},
    {"DOCUMENT_URI", &request_env::document_uri},
    {"DOCUMENT_NAME", &request_env::document_name},
    {"PATH_INFO", &request_env::path_info},
    {"QUERY_STRING", &request_env::query_string},
}};

bool present(std::string_view text) { return text.data() != nullptr; }

} // namespace

bool set_request_variable(request_env& env, std::string_view name, std::string_view value)
{
    const auto* known = std::find_if(variables.begin(), variables.end(),
                                     [name](const variable& v) { return same_text(v.name, name); });
    if (known == variables.end()) {
        return false;
    }
    // An empty value must still count as present, so it never views null.
    env.*known->field = present(value) ? value : std::string_view("");
    return true;
}

bool has_required_variables(const request_env& env)
{
    return present(env.server_name) && present(env.document_root) && present(env.document_uri) &&
           present(env.document_name);
}

request_env read_request_env()
{
    // All six are read before anything is decided; the names are literals, so
    // each one is already terminated for getenv.
    request_env env;
    for (const variable& known : variables) {
        if (const char* value = std::getenv(known.name.data())) {
            env.*known.field = value;
        }
    }
    return env;
}

} // namespace pagestamp
