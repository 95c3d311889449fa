#pragma once
// Which file a stamp is about, and the document path whose directory and file
// name the FP and FN codes print.

#include "request/request_env.hpp"
#include "text/fixed_text.hpp"

#include <cstddef>
#include <string_view>

namespace pagestamp {

// The longest document path (PATH_INFO, else DOCUMENT_URI) that is served.
inline constexpr std::size_t document_path_capacity = 254;

// The longest filesystem path handed to stat.
using path_text = fixed_text<1023>;

struct doc_location {
    std::string_view doc_dir;  // the document path before its last "/"
    std::string_view doc_file; // after it; may be empty
    path_text file_path;
    // False when the request names something no file can be: a user with no
    // password entry or no "/" after the name, or a path past a capacity.
    // file_path then says what was asked for, for the can't-open message.
    bool found = true;
    // The password database could not be asked (no descriptor or memory to
    // spare), or the user's entry is larger than we take (64 KiB): the
    // request names a user who may well exist.
    bool lookup_failed = false;
};

doc_location locate_document(const request_env& env);

// Whether locating the document asks the password database, which may wait
// on a directory server for as long as it likes.
bool names_user(const request_env& env);

} // namespace pagestamp
