/* The floor pagestamp is measured against: a plain C program making the same
 * system calls for the same request (read the six variables, build the path,
 * stat, localtime, strftime "%Z", one write), with none of the checks. Also
 * serves as the minimal CGI in the page benchmark. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int main(void)
{
    const char *server = getenv("SERVER_NAME");
    const char *root = getenv("DOCUMENT_ROOT");
    const char *uri = getenv("DOCUMENT_URI");
    const char *name = getenv("DOCUMENT_NAME");
    const char *info = getenv("PATH_INFO");
    const char *query = getenv("QUERY_STRING");
    char out[8192];
    int n = snprintf(out, sizeof out, "Content-type: text/plain\n\r\n\r");
    if (!server || !root || !uri || !name) {
        n += snprintf(out + n, sizeof out - (size_t)n, "missing\n");
        return write(1, out, (size_t)n) == n ? 255 : 2;
    }
    char path[1024];
    snprintf(path, sizeof path, "%s%s", root, info && info[0] ? info : uri);
    struct stat st;
    if (stat(path, &st) != 0) {
        n += snprintf(out + n, sizeof out - (size_t)n, "[Error: Couldn't open file '%s']\n", path);
        return write(1, out, (size_t)n) == n ? 1 : 2;
    }
    struct tm tm;
    localtime_r(&st.st_mtime, &tm);
    char zone[20];
    strftime(zone, sizeof zone, "%Z", &tm);
    if (query && query[0]) {
        /* Stands in for the expansion: one formatted line of the same facts. */
        n += snprintf(out + n, sizeof out - (size_t)n, "%d-%d-%d %d:%02d %s %lld", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, zone, (long long)st.st_size);
    } else {
        n += snprintf(out + n, sizeof out - (size_t)n, "%d-%d-%d", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday);
    }
    return write(1, out, (size_t)n) == n ? 0 : 2;
}
