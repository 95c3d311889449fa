#include "driver/answer_request.hpp"

#include "request/file_status.hpp"
#include "request/locate_document.hpp"
#include "request/response.hpp"
#include "stamp/default_stamp.hpp"
#include "stamp/expand_template.hpp"
#include "stamp/stamp_facts.hpp"

namespace pagestamp {

namespace {

answer refusal()
{
    answer reply{{}, variables_missing};
    reply.body.append(missing_variables_message);
    return reply;
}

} // namespace

// Each answer is built in place (a prvalue in the aggregate): copying a 4 KiB
// body would cost more than the rest of the work.
answer answer_request(const request_env& env, const zone_info* zone)
{
    if (!has_required_variables(env)) {
        return refusal();
    }
    const doc_location where = locate_document(env);
    if (where.lookup_failed) {
        return {{}, cannot_look_up}; // a can't-open would tell of a file that may exist
    }
    file_status status;
    if (!where.found || !get_file_status(where.file_path.c_str(), status, zone)) {
        return {cannot_open_message(where.file_path.view()), cannot_open};
    }
    if (env.query_string.empty()) {
        return {default_stamp(status.mtime), stamp_written};
    }
    return {expand_template(env.query_string, collect_stamp_facts(status, env, where)), stamp_written};
}

std::string_view failure_reason(int status)
{
    switch (status) {
    case cannot_look_up:
        return "could not look up a user's home directory: no descriptor or memory to spare, or a password entry "
               "larger than 64 KiB";
    case variables_missing:
        return "SERVER_NAME, DOCUMENT_ROOT, DOCUMENT_URI or DOCUMENT_NAME is missing: the program is asked for "
               "directly, not from an include in a page";
    default:
        return {};
    }
}

} // namespace pagestamp
