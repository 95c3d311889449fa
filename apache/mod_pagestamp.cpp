// mod_pagestamp: the program's answer from inside Apache httpd. A request is
// given the variables httpd would hand the CGI, answered by the same
// answer_request, and its page text leaves through httpd's own filters.
//
//   <Location "/cgi-bin/pagestamp">
//       SetHandler pagestamp
//   </Location>

#include "driver/answer_page.hpp"
#include "driver/paced_line.hpp"
#include "request/request_env.hpp"
#include "zone/zone_cache.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>

// httpd.h first: the others build on what it declares.
#include <httpd.h>

#include <apr_strings.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <util_script.h>

extern "C" {
extern module AP_MODULE_DECLARE_DATA pagestamp_module;
}
APLOG_USE_MODULE(pagestamp);

namespace {

using pagestamp::request_env;

// httpd's own TZ, as the CGI would inherit it; read once in each child, before
// any request, so no request reads the process's environment. Its zone is
// read then too, so the first page pays nothing for it.
const char* server_time_zone = nullptr;

void remember_server_zone(apr_pool_t* pool, server_rec*)
{
    if (const char* zone = std::getenv("TZ")) {
        server_time_zone = apr_pstrdup(pool, zone);
    }
    pagestamp::find_zone(server_time_zone != nullptr ? std::string_view(server_time_zone) : std::string_view());
}

// The environment a CGI's getenv would see: where a name is set twice, the
// first entry wins, so the table is read from its end.
request_env env_of(const apr_table_t* table)
{
    request_env env;
    const apr_array_header_t* entries = apr_table_elts(table);
    const auto* entry = reinterpret_cast<const apr_table_entry_t*>(entries->elts);
    for (int i = entries->nelts; i-- > 0;) {
        if (entry[i].key != nullptr && entry[i].val != nullptr) {
            pagestamp::set_request_variable(env, entry[i].key, entry[i].val);
        }
    }
    return env;
}

// A lookup that fails for an entry past what we take fails for every include
// of that user's pages: its line is paced in each child.
pagestamp::paced_line lookup_line;

void log_lookup_failure(request_rec* r)
{
    unsigned long long more = 0;
    if (!pagestamp::line_due(lookup_line, apr_time_sec(apr_time_now()), more)) {
        return;
    }
    const char* const why = pagestamp::failure_reason(pagestamp::cannot_look_up).data();
    if (more == 0) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "%s", why);
    } else {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "%s (and %llu more since the last line like this)", why, more);
    }
}

// A thread's stack is httpd's to size: a long password entry is looked up
// in the request's pool instead, which for an include is its subrequest's,
// freed once the include is done.
void* take_from_pool(void* pool, std::size_t bytes) { return apr_palloc(static_cast<apr_pool_t*>(pool), bytes); }

// A CGI's TZ is the request's (SetEnv), else httpd's own, which
// ap_create_environment adds; neither means TZ unset.
std::string_view zone_of(const request_rec* r)
{
    const char* zone = apr_table_get(r->subprocess_env, "TZ");
    if (zone == nullptr) {
        zone = server_time_zone;
    }
    return zone != nullptr ? std::string_view(zone) : std::string_view();
}

// The page text, as the page receives it from the CGI: its header ends
// LF CR LF CR, and httpd's reader takes the first CR LF as the end of it.
int send_page_text(request_rec* r, char* text, std::size_t length)
{
    ap_set_content_type(r, "text/plain");
    ap_set_content_length(r, static_cast<apr_off_t>(length));
    apr_bucket_alloc_t* buckets = r->connection->bucket_alloc;
    apr_bucket_brigade* out = apr_brigade_create(r->pool, buckets);
    APR_BRIGADE_INSERT_TAIL(out, apr_bucket_pool_create(text, length, r->pool, buckets));
    APR_BRIGADE_INSERT_TAIL(out, apr_bucket_eos_create(buckets));
    return ap_pass_brigade_fchk(r, out, "mod_pagestamp: sending the page text");
}

// As mod_cgid treats its script: the URL must name the program's file, and
// what follows its name is PATH_INFO.
int check_program_file(request_rec* r)
{
    if (r->used_path_info == AP_REQ_REJECT_PATH_INFO && r->path_info != nullptr && *r->path_info != '\0') {
        return HTTP_NOT_FOUND;
    }
    if (r->finfo.filetype == APR_NOFILE) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "no program at %s", r->filename);
        return HTTP_NOT_FOUND;
    }
    if (r->finfo.filetype == APR_DIR) {
        return HTTP_FORBIDDEN;
    }
    return OK;
}

int pagestamp_handler(request_rec* r)
{
    if (r->handler == nullptr || std::strcmp(r->handler, "pagestamp") != 0) {
        return DECLINED;
    }
    // Every method, OPTIONS too, gets the page text: the CGI never looks at it.
    if (const int refused = check_program_file(r); refused != OK) {
        return refused;
    }
    ap_add_common_vars(r);
    ap_add_cgi_vars(r);
    auto* const page = static_cast<char*>(apr_palloc(r->pool, pagestamp::page_capacity));
    // The request's pool, for a zone the cache cannot keep and a password
    // entry too long for the stack.
    const pagestamp::request_memory pool{take_from_pool, r->pool};
    pagestamp::request_env env = env_of(r->subprocess_env);
    env.memory = &pool;
    const pagestamp::page_answer reply = pagestamp::answer_page(env, zone_of(r), pool, page);
    if (!reply.complaint.empty()) {
        ap_log_rerror(APLOG_MARK, reply.length == 0 ? APLOG_ERR : APLOG_WARNING, 0, r, "%s",
                      reply.complaint.c_str());
    }
    // No stamp at all rather than one in another zone.
    if (reply.length == 0) {
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    // The page text is the CGI's in every case; a failed password lookup has
    // none, and the log says why the stamp is empty.
    if (reply.status == pagestamp::cannot_look_up) {
        log_lookup_failure(r);
    }
    return send_page_text(r, page, reply.length);
}

void register_hooks(apr_pool_t*)
{
    ap_hook_child_init(remember_server_zone, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_handler(pagestamp_handler, nullptr, nullptr, APR_HOOK_MIDDLE);
}

} // namespace

extern "C" {
__attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA pagestamp_module = {
    STANDARD20_MODULE_STUFF,
    nullptr, // per-directory configuration
    nullptr, // merge per-directory
    nullptr, // per-server configuration
    nullptr, // merge per-server
    nullptr, // directives
    register_hooks,
    0,       // flags
};
}
