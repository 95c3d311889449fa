// The document locator against an independent model, for any PATH_INFO,
// DOCUMENT_URI and DOCUMENT_ROOT and any user name, known or not.
//
// Users are looked up in the system's own password database; the dictionary
// names a few that exist on any system (root, daemon, nobody).

#include "fuzz_text.hpp"

#include "request/locate_document.hpp"

#include <pwd.h>

namespace {

using fuzzing::check;

constexpr std::size_t path_capacity = 1023;
constexpr std::size_t document_path_capacity = 254;

struct model_location {
    std::string path;
    bool found = true;
};

bool second_is(std::string_view text, char c) { return text.size() >= 2 && text[1] == c; }

// "/~name/rest": appends the name's web directory and returns "/rest".
std::string_view model_user_dir(model_location& where, std::string_view path)
{
    const std::string_view after = path.substr(2);
    const std::size_t slash = after.find('/');
    const std::string name(after.substr(0, slash));
    const passwd* entry = name.size() <= 255 ? getpwnam(name.c_str()) : nullptr;
    if (entry != nullptr && entry->pw_dir != nullptr) {
        where.path += entry->pw_dir;
    } else {
        where.path += "~" + name;
        where.found = false;
    }
    where.path += "/www";
    if (slash == std::string_view::npos) {
        where.found = false;
        return {};
    }
    return after.substr(slash);
}

model_location model_locate(std::string_view root, std::string_view uri, std::string_view info)
{
    model_location where;
    if (second_is(info, '/')) {
        where.path = std::string(root) + std::string(info.substr(1));
    } else if (second_is(info, '~')) {
        const std::string_view rest = model_user_dir(where, info);
        where.path += rest;
    } else {
        std::string_view page = uri;
        if (second_is(uri, '~')) {
            page = model_user_dir(where, uri);
        } else {
            where.path += root;
        }
        if (info.empty() || info == "/") {
            where.path += page;
        } else {
            const std::size_t slash = page.rfind('/');
            where.path += page.substr(0, slash == std::string_view::npos ? 0 : slash);
            where.path += info;
        }
    }
    const std::string_view document = info.empty() ? uri : info;
    if (document.size() > document_path_capacity || where.path.size() > path_capacity) {
        where.found = false;
    }
    where.path.resize(std::min(where.path.size(), path_capacity));
    return where;
}

bool inside(std::string_view part, std::string_view whole)
{
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const std::string info = fuzzing::env_value(data, 2000);
    const std::string uri = fuzzing::env_value(data, 2000);
    const std::string root = fuzzing::env_rest(data);

    pagestamp::request_env env;
    env.server_name = "www.example.org";
    env.document_root = root;
    env.document_uri = uri;
    env.document_name = "index.shtml";
    env.path_info = info;
    const pagestamp::doc_location where = pagestamp::locate_document(env);

    const std::string_view path = where.file_path.view();
    check(path.size() <= path_capacity, "filesystem path within 1023");
    check(path.data()[path.size()] == '\0', "filesystem path terminated");

    const std::string_view document = info.empty() ? std::string_view(uri) : std::string_view(info);
    check(inside(where.doc_dir, document) && inside(where.doc_file, document), "FP and FN lie in the document path");
    const std::size_t slash = document.rfind('/');
    if (slash == std::string_view::npos) {
        check(where.doc_dir.empty() && where.doc_file == document, "no slash: all of it is the file name");
    } else {
        check(where.doc_dir == document.substr(0, slash) && where.doc_file == document.substr(slash + 1),
              "FP and FN split at the last slash");
    }

    const model_location expected = model_locate(root, uri, info);
    check(path == expected.path, "filesystem path matches the model", expected.path);
    check(where.found == expected.found, "found matches the model", expected.found ? "found" : "not found");
    return 0;
}
