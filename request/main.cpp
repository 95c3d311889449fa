// pagestamp: one server-side-include request in, one stamp out.
// It never reads its arguments or standard input: a server passes a query
// string without "=" as command-line words, and those are not ours to trust.

#include "request/file_status.hpp"
#include "request/locate_document.hpp"
#include "request/request_env.hpp"
#include "request/response.hpp"
#include "stamp/default_stamp.hpp"
#include "stamp/expand_template.hpp"
#include "stamp/stamp_facts.hpp"

namespace {

// Exit statuses. Servers ignore them; they tell a shell or a test what happened.
constexpr int stamp_written = 0;
constexpr int cannot_open = 1;
constexpr int output_failed = 2;
constexpr int variables_missing = 255;

int finish(const pagestamp::body_text& body, int status)
{
    return pagestamp::write_response(body) ? status : output_failed;
}

} // namespace

int main()
{
    using namespace pagestamp;

    request_env env;
    if (!read_request_env(env)) {
        body_text refusal;
        refusal.append(missing_variables_message);
        return finish(refusal, variables_missing);
    }

    const doc_location where = locate_document(env);
    file_status status;
    if (!where.found || !get_file_status(where.file_path.c_str(), status)) {
        return finish(cannot_open_message(where.file_path.view()), cannot_open);
    }

    if (env.query_string.empty()) {
        return finish(default_stamp(status.mtime), stamp_written);
    }
    const stamp_facts facts = collect_stamp_facts(status, env, where);
    return finish(expand_template(env.query_string, facts), stamp_written);
}
