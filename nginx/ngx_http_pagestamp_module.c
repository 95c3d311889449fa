/*
 * pagestamp as a directive of nginx: a location that answers an include with
 * the stamp the program would print, in nginx's own event loop.
 *
 *     location ^~ /cgi-bin/pagestamp { pagestamp; }
 *
 * The handler reads what the include's request holds, hands it to the core
 * and sends the page text back through nginx's output. Its memory is the
 * request's pool (and, while it works, its stack); nothing outlives the
 * request. The work blocks as the responder's does: one stat, and for a
 * user's page one password lookup.
 */

#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>

#include "pagestamp_bridge.h"

typedef struct {
    ngx_int_t              host;          /* index of $host */
    ngx_int_t              document_root; /* index of $document_root */
    const pagestamp_zone  *zone;          /* NULL: nginx's own zone */
} ngx_http_pagestamp_loc_conf_t;

static char *ngx_http_pagestamp(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static char *ngx_http_pagestamp_time_zone(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
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

static ngx_int_t
ngx_http_pagestamp_read(ngx_http_request_t *r, pagestamp_include *include)
{
    ngx_http_core_loc_conf_t       *clcf;
    ngx_http_pagestamp_loc_conf_t  *plcf;

    plcf = ngx_http_get_module_loc_conf(r, ngx_http_pagestamp_module);
    clcf = ngx_http_get_module_loc_conf(r, ngx_http_core_module);

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

    include->location.data = NULL;
    include->location.len = 0;
#if (NGX_PCRE)
    if (clcf->regex == NULL && !clcf->named)
#else
    if (!clcf->named)
#endif
    {
        include->location = ngx_http_pagestamp_text(clcf->name.data,
                                                    clcf->name.len);
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

/*
 * A condition that lasts (a password entry past what a lookup takes, a
 * crawler asking for the location directly) must not cost a line per
 * include: each is logged at most once a minute in a worker, with the count
 * of those the line stands for. A worker is one thread, so plain statics do.
 */
static time_t      ngx_http_pagestamp_next_log[PAGESTAMP_CONDITIONS];
static ngx_uint_t  ngx_http_pagestamp_unlogged[PAGESTAMP_CONDITIONS];

static void
ngx_http_pagestamp_log_failure(ngx_http_request_t *r,
    const pagestamp_failure *failure)
{
    int  c;

    c = failure->condition;
    if (c < 0 || c >= PAGESTAMP_CONDITIONS || failure->text == NULL) {
        return;
    }

    if (ngx_time() < ngx_http_pagestamp_next_log[c]) {
        ngx_http_pagestamp_unlogged[c]++;
        return;
    }

    if (ngx_http_pagestamp_unlogged[c] == 0) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "pagestamp: %s",
                      failure->text);
    } else {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "pagestamp: %s (and %ui more since the last line "
                      "like this)",
                      failure->text, ngx_http_pagestamp_unlogged[c]);
    }
    ngx_http_pagestamp_next_log[c] = ngx_time() + 60;
    ngx_http_pagestamp_unlogged[c] = 0;
}

static ngx_int_t
ngx_http_pagestamp_handler(ngx_http_request_t *r)
{
    size_t              len;
    u_char              page[PAGESTAMP_PAGE_CAPACITY];
    ngx_int_t           rc;
    ngx_buf_t          *b;
    ngx_chain_t         out;
    pagestamp_include   include;
    pagestamp_memory    memory;
    pagestamp_failure   failure;

    ngx_http_pagestamp_loc_conf_t  *plcf;

    rc = ngx_http_discard_request_body(r);
    if (rc != NGX_OK) {
        return rc;
    }

    if (ngx_http_pagestamp_read(r, &include) != NGX_OK) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    plcf = ngx_http_get_module_loc_conf(r, ngx_http_pagestamp_module);
    memory.take = ngx_http_pagestamp_take;
    memory.give_back = ngx_http_pagestamp_give_back;
    memory.pool = r->pool;
    len = pagestamp_answer(&include, plcf->zone, &memory, page, &failure);
    ngx_http_pagestamp_log_failure(r, &failure);

    /* the page text is copied once, into a buffer of its own size */
    b = ngx_create_temp_buf(r->pool, len);
    if (b == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
    b->last = ngx_cpymem(b->pos, page, len);
    b->last_buf = (r == r->main) ? 1 : 0;
    b->last_in_chain = 1;

    r->headers_out.status = NGX_HTTP_OK;
    r->headers_out.content_length_n = (off_t) len;
    ngx_str_set(&r->headers_out.content_type, "text/plain");
    r->headers_out.content_type_len = r->headers_out.content_type.len;

    rc = ngx_http_send_header(r);
    if (rc == NGX_ERROR || rc > NGX_OK || r->header_only) {
        return rc;
    }

    out.buf = b;
    out.next = NULL;
    return ngx_http_output_filter(r, &out);
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
    conf->zone = NGX_CONF_UNSET_PTR;
    return conf;
}

static char *
ngx_http_pagestamp_merge_loc_conf(ngx_conf_t *cf, void *parent, void *child)
{
    ngx_http_pagestamp_loc_conf_t *prev = parent;
    ngx_http_pagestamp_loc_conf_t *conf = child;

    ngx_conf_merge_ptr_value(conf->zone, prev->zone, NULL);
    return NGX_CONF_OK;
}

/*
 * The zone is read here, once, in the master: requests only look times up in
 * it, and nginx's own zone, its logs' times, stays as it was.
 */
static char *
ngx_http_pagestamp_time_zone(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_http_pagestamp_loc_conf_t *plcf = conf;

    ngx_str_t   *value;
    const char  *error;

    if (plcf->zone != NGX_CONF_UNSET_PTR) {
        return "is duplicate";
    }

    value = cf->args->elts;
    error = "could not be read";
    plcf->zone = pagestamp_find_zone(value[1].data, value[1].len, &error);
    if (plcf->zone == NULL) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "pagestamp_time_zone \"%V\" %s",
                           &value[1], error);
        return NGX_CONF_ERROR;
    }

    return NGX_CONF_OK;
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
    clcf->handler = ngx_http_pagestamp_handler;

    return NGX_CONF_OK;
}
