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

bool ends_segment(std::string_view path, std::size_t at)
{
    return at == path.size() || path[at] == '/';
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

std::string_view before_fragment(std::string_view text)
{
    const std::size_t hash = text.find('#');
    return hash == std::string_view::npos ? text : std::string_view(text.data(), hash);
}

std::string_view apache_path(std::string_view path, char* room)
{
    std::size_t written = 0;
    std::size_t at = 0;
    while (at < path.size()) {
        const bool segment_start = written != 0 && room[written - 1] == '/';
        if (segment_start && path[at] == '/') {
            ++at;
        } else if (segment_start && path[at] == '.' && ends_segment(path, at + 1)) {
            at = at + 1 < path.size() ? at + 2 : at + 1;
        } else {
            room[written++] = path[at++];
        }
    }
    return {room, written};
}

std::string_view path_after_location(std::string_view uri, std::string_view prefix, char* room)
{
    if (prefix.data() == nullptr || !uri.starts_with(prefix)) {
        return {};
    }
    const std::string_view rest = text_from(uri, prefix.size());
    if (!rest.starts_with('/')) {
        return {};
    }
    return apache_path(rest, room);
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
    // nginx reads "#" as part of the path or the query; a "#" in the path
    // starts a fragment that holds the query too.
    const std::string_view written = view_of(include.uri);
    const std::string_view uri = before_fragment(written);
    env.path_info = path_after_location(uri, view_of(include.location), reinterpret_cast<char*>(include.path_room));
    if (uri.size() == written.size()) {
        env.query_string = before_fragment(view_of(include.args));
    }
    return env;
}

} // namespace pagestamp
