/*
 * pagestamp as a directive of nginx: a location that answers an include with
 * the stamp the program would print, in nginx's own event loop.
 *
 *     location ^~ /cgi-bin/pagestamp { pagestamp; }
 *
 * The handler reads what the include's request holds, hands it to the core
 * and sends the page text back through nginx's output. Its memory is the
 * request's pool (and, while it works, its stack); nothing outlives the
 * request. The work blocks as the responder's does, on one stat; a "~user"
 * include's password lookup, which may wait on a directory server, runs as
 * a task of a thread pool, and the include goes on when it is done:
 *
 *     pagestamp_thread_pool default | NAME | off;
 */

#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>

#include "pagestamp_bridge.h"

typedef struct {
    ngx_int_t              host;          /* index of $host */
    ngx_int_t              document_root; /* index of $document_root */
    ngx_str_t              prefix;        /* the location's name, no final / */
    const pagestamp_zone  *zone;          /* NULL: nginx's own zone */
#if (NGX_THREADS)
    ngx_thread_pool_t     *thread_pool;   /* NULL: lookups in the loop */
#endif
} ngx_http_pagestamp_loc_conf_t;

static char *ngx_http_pagestamp(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static char *ngx_http_pagestamp_time_zone(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static char *ngx_http_pagestamp_thread_pool(ngx_conf_t *cf,
    ngx_command_t *cmd, void *conf);
static void *ngx_http_pagestamp_create_loc_conf(ngx_conf_t *cf);
static char *ngx_http_pagestamp_merge_loc_conf(ngx_conf_t *cf, void *parent,
    void *child);

static ngx_command_t ngx_http_pagestamp_commands[] = {

    { ngx_string("pagestamp"),
      NGX_HTTP_LOC_CONF|NGX_CONF_NOARGS,
      ngx_http_pagestamp,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("pagestamp_time_zone"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_http_pagestamp_time_zone,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("pagestamp_thread_pool"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_http_pagestamp_thread_pool,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

      ngx_null_command
};

static ngx_http_module_t ngx_http_pagestamp_module_ctx = {
    NULL,                                  /* preconfiguration */
    NULL,                                  /* postconfiguration */
    NULL,                                  /* create main configuration */
    NULL,                                  /* init main configuration */
    NULL,                                  /* create server configuration */
    NULL,                                  /* merge server configuration */
    ngx_http_pagestamp_create_loc_conf,    /* create location configuration */
    ngx_http_pagestamp_merge_loc_conf      /* merge location configuration */
};

ngx_module_t ngx_http_pagestamp_module = {
    NGX_MODULE_V1,
    &ngx_http_pagestamp_module_ctx,        /* module context */
    ngx_http_pagestamp_commands,           /* module directives */
    NGX_HTTP_MODULE,                       /* module type */
    NULL,                                  /* init master */
    NULL,                                  /* init module */
    NULL,                                  /* init process */
    NULL,                                  /* init thread */
    NULL,                                  /* exit thread */
    NULL,                                  /* exit process */
    NULL,                                  /* exit master */
    NGX_MODULE_V1_PADDING
};

/* A present text never has NULL data: NULL says the variable is absent. */
static pagestamp_text
ngx_http_pagestamp_text(u_char *data, size_t len)
{
    pagestamp_text  text;

    text.data = data != NULL ? data : (u_char *) "";
    text.len = data != NULL ? len : 0;
    return text;
}

static ngx_int_t
ngx_http_pagestamp_variable(ngx_http_request_t *r, ngx_int_t index,
    pagestamp_text *text)
{
    ngx_http_variable_value_t  *value;

    value = ngx_http_get_flushed_variable(r, index);
    if (value == NULL) {
        return NGX_ERROR;
    }

    /* fastcgi_param sends a variable that is not found as empty */
    *text = value->not_found ? ngx_http_pagestamp_text(NULL, 0)
                             : ngx_http_pagestamp_text(value->data, value->len);
    return NGX_OK;
}

/*
 * As under Apache, the URI names the program only when its name ends there,
 * at a "/" or at a fragment: a prefix location also takes /cgi-bin/pagestampx,
 * which names another file.
 */
static ngx_int_t
ngx_http_pagestamp_names_program(ngx_http_request_t *r, ngx_str_t *prefix)
{
    u_char  next;

    if (r->uri.len <= prefix->len) {
        return 1;
    }

    next = r->uri.data[prefix->len];
    return next == '/' || next == '#';
}

static ngx_int_t
ngx_http_pagestamp_read(ngx_http_request_t *r, pagestamp_include *include)
{
    ngx_http_pagestamp_loc_conf_t  *plcf;

    plcf = ngx_http_get_module_loc_conf(r, ngx_http_pagestamp_module);

    if (ngx_http_pagestamp_variable(r, plcf->host, &include->host) != NGX_OK
        || ngx_http_pagestamp_variable(r, plcf->document_root,
                                       &include->document_root)
           != NGX_OK)
    {
        return NGX_ERROR;
    }

    /* an include's request shares its page's; a direct request has none */
    include->page_uri.data = NULL;
    include->page_uri.len = 0;
    if (r != r->main) {
        include->page_uri = ngx_http_pagestamp_text(r->main->uri.data,
                                                    r->main->uri.len);
    }

    include->uri = ngx_http_pagestamp_text(r->uri.data, r->uri.len);
    include->args = ngx_http_pagestamp_text(r->args.data, r->args.len);
    include->location = ngx_http_pagestamp_text(plcf->prefix.data,
                                                plcf->prefix.len);

    /* PATH_INFO, slashes merged, is never longer than the URI */
    include->path_room = ngx_pnalloc(r->pool, r->uri.len + 1);
    if (include->path_room == NULL) {
        return NGX_ERROR;
    }

    return NGX_OK;
}

static void *
ngx_http_pagestamp_take(void *pool, size_t size)
{
    return ngx_palloc(pool, size);
}

/* a large block, which ngx_pfree can free before the page's pool ends */
static void
ngx_http_pagestamp_give_back(void *pool, void *bytes)
{
    (void) ngx_pfree(pool, bytes);
}

/* A condition that lasts must not cost a line per include: paced. */
static void
ngx_http_pagestamp_log_failure(ngx_http_request_t *r,
    const pagestamp_failure *failure)
{
    unsigned long long  held;

    if (!pagestamp_line_due(failure, ngx_time(), &held)) {
        return;
    }

    if (held == 0) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "pagestamp: %s",
                      failure->text);
    } else {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "pagestamp: %s (and %uL more since the last line "
                      "like this)",
                      failure->text, (uint64_t) held);
    }
}


/*
 * As every content handler of nginx ends: a HEAD request gets the header
 * alone, and a body sent with the request is read and dropped. The page
 * text goes into the request's memory, as the output may outlive this call.
 */
static ngx_int_t
ngx_http_pagestamp_send(ngx_http_request_t *r, u_char *page, size_t len)
{
    static ngx_str_t          type = ngx_string("text/plain");
    ngx_http_complex_value_t  cv;

    ngx_memzero(&cv, sizeof(ngx_http_complex_value_t));
    cv.value.data = ngx_pnalloc(r->pool, len);
    if (cv.value.data == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    cv.value.len = ngx_cpymem(cv.value.data, page, len) - cv.value.data;

    return ngx_http_send_response(r, NGX_HTTP_OK, &type, &cv);
}


#if (NGX_THREADS)

/*
 * A lookup's task: the include's texts copied for the thread alone, and room
 * for the page it writes. Both live in the request's pool, which
 * r->main->blocked keeps, even past the visitor's leaving, until the loop
 * hears that the task is done. The thread touches nothing else; answered is
 * the loop's own.
 */
typedef struct {
    pagestamp_include      include;
    const pagestamp_zone  *zone;
    size_t                 len;
    u_char                 page[PAGESTAMP_PAGE_CAPACITY];
    pagestamp_failure      failure;
    ngx_flag_t             answered;
} ngx_http_pagestamp_task_t;

static ngx_int_t
ngx_http_pagestamp_copy_text(ngx_pool_t *pool, pagestamp_text *text)
{
    u_char  *copy;

    /* NULL and "" say absent and empty, and are nobody's to change */
    if (text->len == 0) {
        return NGX_OK;
    }

    copy = ngx_pnalloc(pool, text->len);
    if (copy == NULL) {
        return NGX_ERROR;
    }
    ngx_memcpy(copy, text->data, text->len);
    text->data = copy;
    return NGX_OK;
}

static ngx_int_t
ngx_http_pagestamp_copy_include(ngx_pool_t *pool, pagestamp_include *include)
{
    if (ngx_http_pagestamp_copy_text(pool, &include->host) != NGX_OK
        || ngx_http_pagestamp_copy_text(pool, &include->document_root)
           != NGX_OK
        || ngx_http_pagestamp_copy_text(pool, &include->page_uri) != NGX_OK
        || ngx_http_pagestamp_copy_text(pool, &include->uri) != NGX_OK
        || ngx_http_pagestamp_copy_text(pool, &include->location) != NGX_OK
        || ngx_http_pagestamp_copy_text(pool, &include->args) != NGX_OK)
    {
        return NGX_ERROR;
    }

    return NGX_OK;
}

/*
 * In the pool's thread: the whole answer, lookup and stat. The request's
 * pool is the loop's, which other includes of the page take from meanwhile:
 * a long password entry is looked up on this thread's own stack instead.
 */
static void
ngx_http_pagestamp_thread_answer(void *data, ngx_log_t *log)
{
    ngx_http_pagestamp_task_t  *task = data;

    task->len = pagestamp_answer(&task->include, task->zone, NULL, task->page,
                                 &task->failure);
}

/*
 * The request's write handler while its lookup runs, and after: a write
 * event on the connection may come before the answer.
 */
static void
ngx_http_pagestamp_resume(ngx_http_request_t *r)
{
    ngx_http_pagestamp_task_t  *task;

    task = ngx_http_get_module_ctx(r, ngx_http_pagestamp_module);
    if (!task->answered) {
        return;
    }

    r->write_event_handler = ngx_http_request_empty_handler;

    /* the visitor has gone, and the request is to end without a page */
    if (r->connection->error) {
        ngx_http_finalize_request(r, NGX_ERROR);
        return;
    }

    ngx_http_pagestamp_log_failure(r, &task->failure);
    ngx_http_finalize_request(r, ngx_http_pagestamp_send(r, task->page,
                                                         task->len));
}

/* Back in the loop, the task done: as nginx's own thread tasks end. */
static void
ngx_http_pagestamp_thread_done(ngx_event_t *ev)
{
    ngx_connection_t           *c;
    ngx_http_request_t         *r;
    ngx_http_pagestamp_task_t  *task;

    r = ev->data;
    c = r->connection;
    ngx_http_set_log_request(c->log, r);

    r->main->blocked--;
    r->aio = 0;

    task = ngx_http_get_module_ctx(r, ngx_http_pagestamp_module);
    task->answered = 1;

    /* ours, or nginx's finalizer should the request have been ended */
    r->write_event_handler(r);

    ngx_http_run_posted_requests(c);
}

static ngx_int_t
ngx_http_pagestamp_answer_in_thread(ngx_http_request_t *r,
    const pagestamp_include *include, ngx_thread_pool_t *pool,
    const pagestamp_zone *zone)
{
    ngx_thread_task_t          *thread_task;
    ngx_http_pagestamp_task_t  *task;

    thread_task = ngx_thread_task_alloc(r->pool,
                                        sizeof(ngx_http_pagestamp_task_t));
    if (thread_task == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    task = thread_task->ctx;
    task->include = *include;
    task->zone = zone;
    task->answered = 0;
    if (ngx_http_pagestamp_copy_include(r->pool, &task->include) != NGX_OK) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    thread_task->handler = ngx_http_pagestamp_thread_answer;
    thread_task->event.data = r;
    thread_task->event.handler = ngx_http_pagestamp_thread_done;

    /* a full queue is logged by the pool; the include fails */
    if (ngx_thread_task_post(pool, thread_task) != NGX_OK) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    ngx_http_set_ctx(r, task, ngx_http_pagestamp_module);
    r->main->blocked++;
    r->aio = 1;
    r->main->count++;
    r->write_event_handler = ngx_http_pagestamp_resume;

    return NGX_DONE;
}

#endif

static ngx_int_t
ngx_http_pagestamp_handler(ngx_http_request_t *r)
{
    size_t              len;
    u_char              page[PAGESTAMP_PAGE_CAPACITY];
    pagestamp_include   include;
    pagestamp_memory    memory;
    pagestamp_failure   failure;

    ngx_http_pagestamp_loc_conf_t  *plcf;

    plcf = ngx_http_get_module_loc_conf(r, ngx_http_pagestamp_module);
    if (!ngx_http_pagestamp_names_program(r, &plcf->prefix)) {
        return NGX_HTTP_NOT_FOUND;
    }

    if (ngx_http_pagestamp_read(r, &include) != NGX_OK) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

#if (NGX_THREADS)
    if (plcf->thread_pool != NULL && pagestamp_names_user(&include)) {
        return ngx_http_pagestamp_answer_in_thread(r, &include,
                                                   plcf->thread_pool,
                                                   plcf->zone);
    }
#endif

    memory.take = ngx_http_pagestamp_take;
    memory.give_back = ngx_http_pagestamp_give_back;
    memory.pool = r->pool;
    len = pagestamp_answer(&include, plcf->zone, &memory, page, &failure);
    ngx_http_pagestamp_log_failure(r, &failure);
    return ngx_http_pagestamp_send(r, page, len);
}

static void *
ngx_http_pagestamp_create_loc_conf(ngx_conf_t *cf)
{
    ngx_http_pagestamp_loc_conf_t  *conf;

    conf = ngx_palloc(cf->pool, sizeof(ngx_http_pagestamp_loc_conf_t));
    if (conf == NULL) {
        return NULL;
    }

    conf->host = NGX_CONF_UNSET;
    conf->document_root = NGX_CONF_UNSET;
    ngx_str_null(&conf->prefix);
    conf->zone = NGX_CONF_UNSET_PTR;
#if (NGX_THREADS)
    conf->thread_pool = NGX_CONF_UNSET_PTR;
#endif
    return conf;
}

static char *
ngx_http_pagestamp_merge_loc_conf(ngx_conf_t *cf, void *parent, void *child)
{
    ngx_http_pagestamp_loc_conf_t *prev = parent;
    ngx_http_pagestamp_loc_conf_t *conf = child;

    ngx_conf_merge_ptr_value(conf->zone, prev->zone, NULL);

#if (NGX_THREADS)
    if (conf->thread_pool == NGX_CONF_UNSET_PTR) {
        conf->thread_pool = prev->thread_pool;
    }

    /* the default pool is made only where pagestamp answers, as for aio */
    if (conf->thread_pool == NGX_CONF_UNSET_PTR
        && conf->host != NGX_CONF_UNSET)
    {
        conf->thread_pool = ngx_thread_pool_add(cf, NULL);
        if (conf->thread_pool == NULL) {
            return NGX_CONF_ERROR;
        }
    }
#endif

    return NGX_CONF_OK;
}

/*
 * The zone is read here, in the master, afresh for each configuration, into
 * its pool: requests only look times up in it, a reload reads the zone files
 * as they are then, and nginx's own zone, its logs' times, stays as it was.
 */
static char *
ngx_http_pagestamp_time_zone(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_http_pagestamp_loc_conf_t *plcf = conf;

    void       *memory;
    ngx_str_t  *value;
    char        error[PAGESTAMP_ERROR_CAPACITY];

    if (plcf->zone != NGX_CONF_UNSET_PTR) {
        return "is duplicate";
    }

    value = cf->args->elts;
    /* read once, here: a request's variable would be a zone per request */
    if (ngx_http_script_variables_count(&value[1]) != 0) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "pagestamp_time_zone \"%V\" names a variable; "
                           "it takes a zone name or a POSIX rule as written",
                           &value[1]);
        return NGX_CONF_ERROR;
    }

    memory = ngx_palloc(cf->pool, pagestamp_zone_size());
    if (memory == NULL) {
        return NGX_CONF_ERROR;
    }
    plcf->zone = pagestamp_read_zone(value[1].data, value[1].len, memory,
                                     error);
    if (plcf->zone == NULL) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "pagestamp_time_zone: %s",
                           error);
        return NGX_CONF_ERROR;
    }

    return NGX_CONF_OK;
}

/*
 * PATH_INFO is what follows the location's name, as under Apache it is what
 * follows the program's: a regular expression or named location has no name
 * to split the URI at.
 */
static char *
ngx_http_pagestamp_prefix(ngx_conf_t *cf, ngx_http_core_loc_conf_t *clcf,
    ngx_str_t *prefix)
{
#if (NGX_PCRE)
    if (clcf->regex != NULL || clcf->named)
#else
    if (clcf->named)
#endif
    {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "\"pagestamp\" cannot be in location \"%V\": "
                           "PATH_INFO is what follows the location's name, "
                           "so it takes \"location ^~ /name\", "
                           "\"location /name\" or \"location = /name\", "
                           "not a regular expression or a named location",
                           &clcf->name);
        return NGX_CONF_ERROR;
    }

    *prefix = clcf->name;
    while (prefix->len > 0 && prefix->data[prefix->len - 1] == '/') {
        prefix->len--;
    }
    return NGX_CONF_OK;
}

/*
 * The pool is named here, so that nginx can tell of one that no thread_pool
 * directive makes at this line; off answers every include in the loop.
 */
static char *
ngx_http_pagestamp_thread_pool(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf)
{
#if (NGX_THREADS)
    ngx_http_pagestamp_loc_conf_t *plcf = conf;
#endif

    ngx_str_t  *value;

    value = cf->args->elts;

#if (NGX_THREADS)
    if (plcf->thread_pool != NGX_CONF_UNSET_PTR) {
        return "is duplicate";
    }

    if (ngx_strcmp(value[1].data, "off") == 0) {
        plcf->thread_pool = NULL;
        return NGX_CONF_OK;
    }

    plcf->thread_pool = ngx_thread_pool_add(cf, &value[1]);
    if (plcf->thread_pool == NULL) {
        return NGX_CONF_ERROR;
    }

    return NGX_CONF_OK;
#else
    if (ngx_strcmp(value[1].data, "off") == 0) {
        return NGX_CONF_OK;
    }

    return "needs an nginx built with thread pools";
#endif
}

static char *
ngx_http_pagestamp(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_http_pagestamp_loc_conf_t *plcf = conf;

    ngx_str_t                  host = ngx_string("host");
    ngx_str_t                  root = ngx_string("document_root");
    ngx_http_core_loc_conf_t  *clcf;

    if (plcf->host != NGX_CONF_UNSET) {
        return "is duplicate";
    }

    plcf->host = ngx_http_get_variable_index(cf, &host);
    plcf->document_root = ngx_http_get_variable_index(cf, &root);
    if (plcf->host == NGX_ERROR || plcf->document_root == NGX_ERROR) {
        return NGX_CONF_ERROR;
    }

    clcf = ngx_http_conf_get_module_loc_conf(cf, ngx_http_core_module);
    if (ngx_http_pagestamp_prefix(cf, clcf, &plcf->prefix) != NGX_CONF_OK) {
        return NGX_CONF_ERROR;
    }
    clcf->handler = ngx_http_pagestamp_handler;

#if !(NGX_THREADS)
    ngx_conf_log_error(NGX_LOG_WARN, cf, 0,
                       "this nginx has no thread pools: a \"~user\" include "
                       "blocks the worker while its password is looked up");
#endif

    return NGX_CONF_OK;
}
