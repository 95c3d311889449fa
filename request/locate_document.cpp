#include "request/locate_document.hpp"

#include <cerrno>
#include <pwd.h>

namespace pagestamp {

namespace {

// Longer than any account name the system allows; longer ones are unknown.
using user_name_text = fixed_text<255>;

// Only the second character of a path picks its rule; its first is never looked at.
bool second_is(std::string_view text, char c) { return text.size() >= 2 && text[1] == c; }

// A path too long for file_path keeps as much of its start as fits, so that
// the can't-open message still shows the webmaster what was asked for.
void append_path(doc_location& where, std::string_view piece)
{
    if (!where.file_path.append(piece)) {
        where.file_path.append(text_before(piece, where.file_path.room()));
        where.found = false;
    }
}

// A path of the form "/~name/rest": the name, and whether a "/" followed it.
struct user_path {
    std::string_view name;
    std::string_view from_slash; // "/rest", or empty when no "/" followed
    bool has_slash;
};

user_path split_user_path(std::string_view path)
{
    const std::string_view after_tilde = text_from(path, 2);
    const std::size_t slash = after_tilde.find('/');
    if (slash == std::string_view::npos) {
        return {after_tilde, {}, false};
    }
    return {text_before(after_tilde, slash), text_from(after_tilde, slash), true};
}

// The entry's texts live in a buffer of the caller's, so threads answering
// at once never share one. Most entries fit the first, on the stack; a longer
// one (a GECOS of a few KiB) is asked for once more in a buffer of the
// largest size we take, which only then is made.
constexpr std::size_t first_entry_room = 2 * path_text::capacity;
constexpr std::size_t largest_entry_room = std::size_t{64} * 1024;

// How asking for a user's entry ended.
enum class lookup { found, unknown, too_large, failed };

// Appends the user's home directory, whatever it holds, when the entry is
// there; the name has been checked to fit user_name_text.
lookup append_home(doc_location& where, const char* name, char* buffer, std::size_t room)
{
    passwd entry{};
    passwd* found = nullptr;
    const int error = getpwnam_r(name, &entry, buffer, room, &found);
    if (error == 0 && found != nullptr && found->pw_dir != nullptr) {
        append_path(where, found->pw_dir);
        return lookup::found;
    }
    // glibc reports "no such user" as 0 or, from some modules, as one of these.
    if (error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM) {
        return lookup::unknown;
    }
    return error == ERANGE ? lookup::too_large : lookup::failed;
}

// The second try in a process of its own: its stack has room for it, and the
// frame is made only when a first try was too small.
[[gnu::noinline]] lookup append_home_from_stack(doc_location& where, const char* name)
{
    char buffer[largest_entry_room];
    return append_home(where, name, buffer, sizeof buffer);
}

lookup append_home_with_room(doc_location& where, const char* name, const request_memory* memory)
{
    if (memory == nullptr) {
        return append_home_from_stack(where, name);
    }
    auto* const buffer = static_cast<char*>(memory->take(memory->pool, largest_entry_room));
    if (buffer == nullptr) {
        return lookup::failed;
    }
    const lookup result = append_home(where, name, buffer, largest_entry_room);
    if (memory->give_back != nullptr) {
        memory->give_back(memory->pool, buffer); // the home is copied by now
    }
    return result;
}

// The user's home directory, appended; a name longer than any account's is
// unknown. A lookup that could not be made at all (no descriptor, no memory,
// an entry past the largest room) is not an unknown user: it marks the
// request as one nobody can answer now.
bool append_home_of(doc_location& where, std::string_view user, const request_memory* memory)
{
    user_name_text name;
    if (!name.append(user)) {
        return false;
    }
    char buffer[first_entry_room];
    lookup result = append_home(where, name.c_str(), buffer, sizeof buffer);
    if (result == lookup::too_large) {
        result = append_home_with_room(where, name.c_str(), memory);
    }
    if (result == lookup::too_large || result == lookup::failed) {
        where.lookup_failed = true;
    }
    return result == lookup::found;
}

// Appends the user's web directory: home followed by "/www". An unknown user
// gets "~name/www" instead, which names the request but is never looked up.
void append_user_web_dir(doc_location& where, const user_path& user, const request_memory* memory)
{
    if (!append_home_of(where, user.name, memory)) {
        append_path(where, "~");
        append_path(where, user.name);
        where.found = false;
    }
    append_path(where, "/www");
    if (!user.has_slash) {
        where.found = false;
    }
}

void split_document_path(doc_location& where, std::string_view document_path)
{
    const std::size_t slash = document_path.rfind('/');
    if (slash == std::string_view::npos) {
        where.doc_file = document_path;
    } else {
        where.doc_dir = text_before(document_path, slash);
        where.doc_file = text_from(document_path, slash + 1);
    }
    if (document_path.size() > document_path_capacity) {
        where.found = false;
    }
}

// PATH_INFO "x/..." or "//...": relative to the document root.
void build_root_path(doc_location& where, const request_env& env)
{
    append_path(where, env.document_root);
    append_path(where, text_from(env.path_info, 1));
}

// PATH_INFO "/~name/rest": inside that user's web directory.
void build_user_path(doc_location& where, const request_env& env)
{
    const user_path user = split_user_path(env.path_info);
    append_user_web_dir(where, user, env.memory);
    append_path(where, user.from_slash);
}

// Everything else: the including page itself, or PATH_INFO relative to the
// page's directory, where the page may itself live in a user's web directory.
void build_page_path(doc_location& where, const request_env& env)
{
    std::string_view page = env.document_uri;
    if (second_is(page, '~')) {
        const user_path user = split_user_path(page);
        append_user_web_dir(where, user, env.memory);
        page = user.from_slash;
    } else {
        append_path(where, env.document_root);
    }

    const std::string_view info = env.path_info;
    if (info.empty() || info == "/") {
        append_path(where, page);
        return;
    }
    const std::size_t slash = page.rfind('/');
    append_path(where, text_before(page, slash == std::string_view::npos ? 0 : slash));
    append_path(where, info);
}

// Which rule builds the path: one choice, for locating and for names_user.
enum class path_rule { root, user, page };

path_rule rule_of(const request_env& env)
{
    if (second_is(env.path_info, '/')) {
        return path_rule::root;
    }
    return second_is(env.path_info, '~') ? path_rule::user : path_rule::page;
}

} // namespace

doc_location locate_document(const request_env& env)
{
    doc_location where;
    split_document_path(where, env.path_info.empty() ? env.document_uri : env.path_info);
    switch (rule_of(env)) {
    case path_rule::root:
        build_root_path(where, env);
        break;
    case path_rule::user:
        build_user_path(where, env);
        break;
    case path_rule::page:
        build_page_path(where, env);
        break;
    }
    return where;
}

bool names_user(const request_env& env)
{
    const path_rule rule = rule_of(env);
    return rule == path_rule::user || (rule == path_rule::page && second_is(env.document_uri, '~'));
}

} // namespace pagestamp
