/*
 * A password source as slow as a directory server far away: every lookup
 * takes 200 ms, or as many as the entry's comment field says, and answers
 * from the passwd file NSS_SLOW_PASSWD names.
 * nss_wrapper loads it (NSS_WRAPPER_MODULE_SO_PATH, prefix "slow") and asks
 * it before its own files. Each lookup by name appends "asked NAME" to the
 * file NSS_SLOW_LOG as it starts and "answered NAME" as it ends, so that a
 * test can tell what a server did while the lookup was under way.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <nss.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum nss_status _nss_slow_getpwnam_r(const char *name, struct passwd *entry, char *buffer, size_t size,
                                     int *error);

static void take(long ms)
{
    struct timespec left = {ms / 1000, ms % 1000 * 1000 * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

static void note(const char *what, const char *name)
{
    const char *path = getenv("NSS_SLOW_LOG");
    if (path == NULL) {
        return;
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        dprintf(fd, "%s %s\n", what, name);
        close(fd);
    }
}

/* The first entry of that name, copied into the caller's buffer. */
static enum nss_status find_entry(const char *name, struct passwd *entry, char *buffer, size_t size, int *error)
{
    const char *path = getenv("NSS_SLOW_PASSWD");
    FILE *file = path != NULL ? fopen(path, "re") : NULL;
    if (file == NULL) {
        return NSS_STATUS_UNAVAIL;
    }
    enum nss_status status = NSS_STATUS_NOTFOUND;
    struct passwd *found;
    int failed;
    while ((failed = fgetpwent_r(file, entry, buffer, size, &found)) == 0) {
        if (strcmp(found->pw_name, name) == 0) {
            status = NSS_STATUS_SUCCESS;
            break;
        }
    }
    if (failed == ERANGE) {
        *error = ERANGE;
        status = NSS_STATUS_TRYAGAIN;
    }
    fclose(file);
    return status;
}

enum nss_status _nss_slow_getpwnam_r(const char *name, struct passwd *entry, char *buffer, size_t size,
                                     int *error)
{
    note("asked", name);
    enum nss_status status = find_entry(name, entry, buffer, size, error);
    long ms = status == NSS_STATUS_SUCCESS ? strtol(entry->pw_gecos, NULL, 10) : 0;
    take(ms > 0 ? ms : 200);
    note("answered", name);
    return status;
}
