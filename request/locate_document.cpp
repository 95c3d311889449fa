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

// The entry's texts live in the caller's buffer, so threads answering at
// once never share one; an entry that needs more room than a home directory
// of path_text's size could use is as good as failed.
using entry_buffer = char[2 * path_text::capacity];

// The user's entry, or nullptr when there is none. A lookup that could not be
// made at all (no descriptor, no memory) is not an unknown user: it marks the
// request as one nobody can answer now.
const passwd* find_user(doc_location& where, std::string_view user, passwd& entry, entry_buffer& buffer)
{
    user_name_text name;
    if (!name.append(user)) {
        return nullptr;
    }
    passwd* found = nullptr;
    const int error = getpwnam_r(name.c_str(), &entry, buffer, sizeof buffer, &found);
    // glibc reports "no such user" as 0 or, from some modules, as one of these.
    if (error != 0 && error != ENOENT && error != ESRCH && error != EBADF && error != EPERM) {
        where.lookup_failed = true;
    }
    return error == 0 ? found : nullptr;
}

// Appends the user's web directory: home followed by "/www". An unknown user
// gets "~name/www" instead, which names the request but is never looked up.
void append_user_web_dir(doc_location& where, const user_path& user)
{
    passwd storage{};
    entry_buffer buffer;
    const passwd* entry = find_user(where, user.name, storage, buffer);
    if (entry == nullptr || entry->pw_dir == nullptr) {
        append_path(where, "~");
        append_path(where, user.name);
        where.found = false;
    } else {
        append_path(where, entry->pw_dir);
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
    append_user_web_dir(where, user);
    append_path(where, user.from_slash);
}

// Everything else: the including page itself, or PATH_INFO relative to the
// page's directory, where the page may itself live in a user's web directory.
void build_page_path(doc_location& where, const request_env& env)
{
    std::string_view page = env.document_uri;
    if (second_is(page, '~')) {
        const user_path user = split_user_path(page);
        append_user_web_dir(where, user);
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

} // namespace

doc_location locate_document(const request_env& env)
{
    doc_location where;
    split_document_path(where, env.path_info.empty() ? env.document_uri : env.path_info);
    if (second_is(env.path_info, '/')) {
        build_root_path(where, env);
    } else if (second_is(env.path_info, '~')) {
        build_user_path(where, env);
    } else {
        build_page_path(where, env);
    }
    return where;
}

// The same choice of rule as locate_document's.
bool names_user(const request_env& env)
{
    if (second_is(env.path_info, '/')) {
        return false;
    }
    return second_is(env.path_info, '~') || second_is(env.document_uri, '~');
}

} // namespace pagestamp
