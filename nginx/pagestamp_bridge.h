/* The one call between the nginx module (C, nginx's own structures) and the
 * core (C++): plain texts in, the page text out. Nothing of nginx crosses it. */
#ifndef PAGESTAMP_BRIDGE_H
#define PAGESTAMP_BRIDGE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes borrowed from the request; data NULL means there is none at all,
 * which differs from an empty text. */
typedef struct {
    const unsigned char *data;
    size_t len;
} pagestamp_text;

/* What an include's own request knows, as nginx holds it. */
typedef struct {
    pagestamp_text host;          /* $host */
    pagestamp_text document_root; /* $document_root of the include's location */
    pagestamp_text page_uri;      /* the outermost page's URI; none when asked for directly */
    pagestamp_text uri;           /* the include's own URI, without its arguments */
    pagestamp_text location;      /* the location's name, without a final "/" */
    pagestamp_text args;          /* the include's query string */
    unsigned char *path_room;     /* uri.len bytes of the request's, for PATH_INFO */
} pagestamp_include;

/* A zone, read when the configuration is, in the configuration's pool. */
typedef struct pagestamp_zone pagestamp_zone;

/* The bytes a zone takes, aligned for any object. */
size_t pagestamp_zone_size(void);

/* What error receives, with its NUL. */
#define PAGESTAMP_ERROR_CAPACITY 256

/* Reads the zone that TZ set to tz means, as the C library would read it,
 * from disk now, into memory (pagestamp_zone_size() bytes). NULL, with error
 * saying why, when it cannot be had or is neither a zone file nor a
 * well-formed POSIX rule. */
const pagestamp_zone *pagestamp_read_zone(const unsigned char *tz, size_t len,
                                          void *memory, char *error);

/* The CR that ends the program's header, then a body of at most 4094 bytes. */
#define PAGESTAMP_PAGE_CAPACITY 4095

/* Whether answering asks the password database (a "~user" include), which
 * may wait on a directory server for as long as that takes: 1 or 0. */
int pagestamp_names_user(const pagestamp_include *include);

/* The request's pool, for a password entry too long for the stack buffer:
 * take(pool, size) gives size bytes, or NULL; give_back(pool, bytes) frees
 * them once used, as a page's includes all share its pool. */
typedef struct {
    void *(*take)(void *pool, size_t size);
    void (*give_back)(void *pool, void *bytes);
    void *pool;
} pagestamp_memory;

/* Why an answer carries no stamp, for the error log: condition is one of
 * PAGESTAMP_CONDITIONS, told apart so that each is logged at its own pace,
 * or -1 when the stamp is there (or the page text says why itself). */
#define PAGESTAMP_CONDITIONS 2
typedef struct {
    int condition;
    const char *text;
} pagestamp_failure;

/* Whether the failure's line is due at now (seconds), paced as every way in
 * paces its lines; if so, *held is how many were held back since the last. */
int pagestamp_line_due(const pagestamp_failure *failure, long long now,
                       unsigned long long *held);

/* Writes the page text into page (PAGESTAMP_PAGE_CAPACITY bytes), times in
 * zone (NULL: the process's own), a long password entry looked up in memory
 * (NULL: on this thread's stack), and returns its length: at least 1, as a
 * lookup that could not be made leaves the CGI's empty stamp, the CR alone.
 * failure says why a stamp is missing. */
size_t pagestamp_answer(const pagestamp_include *include,
                        const pagestamp_zone *zone,
                        const pagestamp_memory *memory, unsigned char *page,
                        pagestamp_failure *failure);

#ifdef __cplusplus
}
#endif

#endif
