/* The responder's own cost: one connection to its socket, one request after
 * another, each with FCGI_KEEP_CONN, the next sent once the last is answered.
 * Every answer must be a stamp (the header, a body, application status 0).
 * Prints the requests per second; the caller reads the responder's CPU time.
 * usage: fastcgi_client SOCKET REQUESTS NAME=VALUE... */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum { begin_request = 1, end_request = 3, params = 4, stdin_stream = 5, stdout_stream = 6 };

static unsigned char request[65536];
static size_t request_size;

static void put_record(unsigned char type, const void *content, size_t length)
{
    if (length > 0xffff || request_size + 8 + length > sizeof request) {
        fprintf(stderr, "fastcgi_client: the request is too large\n");
        exit(2);
    }
    unsigned char *out = request + request_size;
    const unsigned char header[8] = {1, type, 0, 1, (unsigned char)(length >> 8), (unsigned char)length, 0, 0};
    memcpy(out, header, sizeof header);
    if (length) memcpy(out + 8, content, length);
    request_size += 8 + length;
}

static size_t put_length(unsigned char *out, size_t length)
{
    if (length < 128) {
        out[0] = (unsigned char)length;
        return 1;
    }
    out[0] = (unsigned char)(0x80 | length >> 24);
    out[1] = (unsigned char)(length >> 16);
    out[2] = (unsigned char)(length >> 8);
    out[3] = (unsigned char)length;
    return 4;
}

/* The whole request, sent with one write each time: begin (keep the
 * connection), the params, their end, an empty stdin. */
static void build_request(int count, char **pairs)
{
    static unsigned char stream[60000];
    size_t size = 0;
    for (int i = 0; i < count; ++i) {
        const char *eq = strchr(pairs[i], '=');
        if (!eq) {
            fprintf(stderr, "fastcgi_client: %s is not NAME=VALUE\n", pairs[i]);
            exit(2);
        }
        const size_t name = (size_t)(eq - pairs[i]), value = strlen(eq + 1);
        if (size + 8 + name + value > sizeof stream) {
            fprintf(stderr, "fastcgi_client: the params are too long\n");
            exit(2);
        }
        size += put_length(stream + size, name);
        size += put_length(stream + size, value);
        memcpy(stream + size, pairs[i], name);
        memcpy(stream + size + name, eq + 1, value);
        size += name + value;
    }
    const unsigned char begin[8] = {0, 1, 1, 0, 0, 0, 0, 0};
    put_record(begin_request, begin, sizeof begin);
    put_record(params, stream, size);
    put_record(params, NULL, 0);
    put_record(stdin_stream, NULL, 0);
}

static void read_exactly(int fd, unsigned char *out, size_t length)
{
    while (length) {
        const ssize_t got = read(fd, out, length);
        if (got <= 0) {
            fprintf(stderr, "fastcgi_client: the responder closed the connection\n");
            exit(1);
        }
        out += got;
        length -= (size_t)got;
    }
}

/* Reads records up to the end of the request; fails unless the answer was a
 * stamp: the header and a body on stdout, status 0. */
static void read_answer(int fd)
{
    static const char header[] = "Content-type: text/plain\r\n\r\n\r";
    static unsigned char content[65536 + 256];
    size_t stdout_bytes = 0;
    int header_seen = 0;
    for (;;) {
        unsigned char h[8];
        read_exactly(fd, h, sizeof h);
        const size_t length = (size_t)h[4] << 8 | h[5];
        read_exactly(fd, content, length + h[6]);
        if (h[1] == stdout_stream) {
            if (stdout_bytes == 0 && length >= sizeof header - 1)
                header_seen = memcmp(content, header, sizeof header - 1) == 0;
            stdout_bytes += length;
        } else if (h[1] == end_request) {
            const unsigned status = (unsigned)content[0] << 24 | (unsigned)content[1] << 16 |
                                    (unsigned)content[2] << 8 | content[3];
            if (!header_seen || stdout_bytes <= sizeof header - 1 || status != 0) {
                fprintf(stderr, "fastcgi_client: not a stamp (status %u, %zu bytes)\n", status, stdout_bytes);
                exit(1);
            }
            return;
        }
    }
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: fastcgi_client SOCKET REQUESTS NAME=VALUE...\n");
        return 2;
    }
    const long requests = strtol(argv[2], NULL, 10);
    build_request(argc - 3, argv + 3);

    struct sockaddr_un address = {.sun_family = AF_UNIX};
    if (strlen(argv[1]) >= sizeof address.sun_path) {
        fprintf(stderr, "fastcgi_client: socket path too long\n");
        return 2;
    }
    strcpy(address.sun_path, argv[1]);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        perror(argv[1]);
        return 1;
    }

    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < requests; ++i) {
        if (write(fd, request, request_size) != (ssize_t)request_size) {
            perror("write");
            return 1;
        }
        read_answer(fd);
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    printf("%ld requests in %.3f s: %.0f requests/s\n", requests, seconds, (double)requests / seconds);
    return 0;
}
