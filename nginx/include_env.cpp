#include "nginx/include_env.hpp"

#include "text/fixed_text.hpp"

namespace pagestamp {

namespace {

// A null view for a text that is not there, so that the variable is absent.
std::string_view view_of(const pagestamp_text& text)
{
    if (text.data == nullptr) {
        return {};
    }
    return {reinterpret_cast<const char*>(text.data), text.len};
}

} // namespace

std::string_view page_name(std::string_view page_uri)
{
    const std::size_t slash = page_uri.rfind('/');
    if (slash == std::string_view::npos) {
        return page_uri;
    }
    // Present though it may be empty: the page is there, only its name is not.
    return {page_uri.data() + slash + 1, page_uri.size() - slash - 1};
}

std::string_view path_after_location(std::string_view uri, std::string_view location)
{
    if (location.data() == nullptr || !uri.starts_with(location)) {
        return {};
    }
    std::string_view rest = text_from(uri, location.size());
    // "." stops at a line end, and "$" matches before a final one: a path
    // may end in one LF, which the split leaves out, but hold none before.
    if (rest.ends_with('\n')) {
        rest.remove_suffix(1);
    }
    if (!rest.starts_with('/') || rest.find('\n') != std::string_view::npos) {
        return {};
    }
    return rest;
}

request_env include_env(const pagestamp_include& include)
{
    request_env env;
    env.server_name = view_of(include.host);
    env.document_root = view_of(include.document_root);
    const std::string_view page = view_of(include.page_uri);
    if (page.data() != nullptr) {
        env.document_uri = page;
        env.document_name = page_name(page);
    }
    env.path_info = path_after_location(view_of(include.uri), view_of(include.location));
    env.query_string = view_of(include.args);
    return env;
}

} // namespace pagestamp
