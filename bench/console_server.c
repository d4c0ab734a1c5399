/* A minimal console server for benchmarks: frames (a 4-byte big-endian
 * length, then one BSON document) on stdin and stdout. It answers init,
 * exec, read, write, snapshot and version under the request's id, each with
 * a fixed result (read: 1 MiB of data; write: the size the data reaches),
 * ignores start and stop, and ends on quit or at the end of its input. It
 * does as little as it can so that it weighs alike on every client.
 *
 * usage: console_server [READ_BYTES] */

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define MAX_FRAME (1u << 26)

/* ---- output: one growing buffer, a frame at a time ---- */

typedef struct {
    unsigned char *p;
    size_t len, cap;
} Buf;

static void die(const char *what) {
    fprintf(stderr, "console_server: %s\n", what);
    exit(70);
}

static void reserve(Buf *b, size_t more) {
    if (b->len + more <= b->cap) return;
    size_t cap = b->cap ? b->cap : 4096;
    while (cap < b->len + more) cap *= 2;
    b->p = realloc(b->p, cap);
    if (!b->p) die("out of memory");
    b->cap = cap;
}

static void put(Buf *b, const void *data, size_t n) {
    reserve(b, n);
    memcpy(b->p + b->len, data, n);
    b->len += n;
}

static void put_i32(Buf *b, int32_t v) {
    unsigned char le[4] = {(unsigned char)v, (unsigned char)(v >> 8), (unsigned char)(v >> 16),
                           (unsigned char)(v >> 24)};
    put(b, le, 4);
}

static void put_i64(Buf *b, int64_t v) {
    put_i32(b, (int32_t)(uint32_t)((uint64_t)v & 0xffffffffu));
    put_i32(b, (int32_t)(uint32_t)((uint64_t)v >> 32));
}

static void patch_i32(Buf *b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b->p[at + i] = (unsigned char)(v >> (8 * i));
}

static void key(Buf *b, unsigned char type, const char *k) {
    put(b, &type, 1);
    put(b, k, strlen(k) + 1);
}

/* A document's start; doc_end closes it. */
static size_t doc_begin(Buf *b) {
    size_t at = b->len;
    put_i32(b, 0);
    return at;
}

static void doc_end(Buf *b, size_t at) {
    put(b, "", 1);
    patch_i32(b, at, (uint32_t)(b->len - at));
}

static void el_string(Buf *b, const char *k, const char *s) {
    key(b, 0x02, k);
    put_i32(b, (int32_t)strlen(s) + 1);
    put(b, s, strlen(s) + 1);
}

static void el_i32(Buf *b, const char *k, int32_t v) {
    key(b, 0x10, k);
    put_i32(b, v);
}

/* Unsigned 64- and 32-bit numbers travel as int64. */
static void el_i64(Buf *b, const char *k, int64_t v) {
    key(b, 0x12, k);
    put_i64(b, v);
}

static void el_bool(Buf *b, const char *k, int v) {
    key(b, 0x08, k);
    put(b, v ? "\1" : "\0", 1);
}

/* Bytes travel as a binary of the generic subtype. */
static void el_binary(Buf *b, const char *k, const void *data, size_t n) {
    key(b, 0x05, k);
    put_i32(b, (int32_t)n);
    put(b, "\0", 1);
    put(b, data, n);
}

static void write_all(const unsigned char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(1, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) exit(0); /* the client has gone */
        p += w;
        n -= (size_t)w;
    }
}

/* ---- input: a walk over one document's elements ---- */

typedef struct {
    const unsigned char *p, *end;
} Doc;

typedef struct {
    unsigned char type;
    const char *key;
    const unsigned char *value;
    size_t size;
} Element;

static uint32_t le32(const unsigned char *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static int64_t le64(const unsigned char *p) { return (int64_t)((uint64_t)le32(p) | (uint64_t)le32(p + 4) << 32); }

static Doc doc_of(const unsigned char *p, size_t n) {
    if (n < 5 || le32(p) != n || p[n - 1] != 0) die("a document whose length is wrong");
    return (Doc){p + 4, p + n - 1};
}

/* The next element, or 0 at the end of the document. */
static int next(Doc *d, Element *e) {
    if (d->p >= d->end) return 0;
    e->type = *d->p++;
    const unsigned char *nul = memchr(d->p, 0, (size_t)(d->end - d->p));
    if (!nul) die("a key without its end");
    e->key = (const char *)d->p;
    e->value = nul + 1;
    size_t left = (size_t)(d->end - e->value);
    switch (e->type) {
        case 0x01: case 0x09: case 0x11: case 0x12: e->size = 8; break;
        case 0x02: e->size = left >= 4 ? 4 + le32(e->value) : left + 1; break;
        case 0x03: case 0x04: e->size = left >= 4 ? le32(e->value) : left + 1; break;
        case 0x05: e->size = left >= 4 ? 5 + le32(e->value) : left + 1; break;
        case 0x07: e->size = 12; break;
        case 0x08: e->size = 1; break;
        case 0x06: case 0x0A: case 0x7F: case 0xFF: e->size = 0; break;
        case 0x10: e->size = 4; break;
        default: die("an element type this server does not walk");
    }
    if (e->size > left) die("an element past its document's end");
    d->p = e->value + e->size;
    return 1;
}

/* ---- the calls ---- */

static const unsigned char *read_data;
static size_t read_size = 1u << 20;

/* The whole response frame for one request. */
static void answer(Buf *out, int64_t id, const char *method, const Doc *params) {
    out->len = 0;
    put_i32(out, 0); /* the frame's length, big-endian, patched below */
    size_t msg = doc_begin(out);
    el_string(out, "jsonrpc", "2.0");
    el_i64(out, "id", id);
    if (!strcmp(method, "init") || !strcmp(method, "exec") || !strcmp(method, "read") ||
        !strcmp(method, "write") || !strcmp(method, "snapshot") || !strcmp(method, "version")) {
        el_string(out, "method", method);
        key(out, 0x03, "result");
        size_t res = doc_begin(out);
        if (!strcmp(method, "exec")) {
            el_i32(out, "code", 0);
            el_binary(out, "stdout", "ok\n", 3);
            el_binary(out, "stderr", "", 0);
            el_bool(out, "truncated", 0);
        } else if (!strcmp(method, "read")) {
            el_binary(out, "data", read_data, read_size);
            el_i64(out, "size", (int64_t)read_size);
        } else if (!strcmp(method, "write")) {
            int64_t offset = 0, size = 0;
            Doc d = *params;
            Element e;
            while (next(&d, &e)) {
                if (!strcmp(e.key, "data") && e.type == 0x05) size = le32(e.value);
                if (!strcmp(e.key, "offset") && e.type == 0x12) offset = le64(e.value);
            }
            el_i64(out, "size", offset + size);
        } else if (!strcmp(method, "snapshot")) {
            el_binary(out, "blob", "snapshot", 8);
        } else if (!strcmp(method, "version")) {
            el_string(out, "version", "bench");
        }
        doc_end(out, res);
    } else {
        key(out, 0x03, "error");
        size_t err = doc_begin(out);
        el_i64(out, "code", -32601);
        el_string(out, "message", "this server answers init, exec, read, write, snapshot and version");
        doc_end(out, err);
    }
    doc_end(out, msg);
    uint32_t n = (uint32_t)(out->len - 4);
    unsigned char be[4] = {(unsigned char)(n >> 24), (unsigned char)(n >> 16), (unsigned char)(n >> 8),
                           (unsigned char)n};
    memcpy(out->p, be, 4);
    write_all(out->p, out->len);
}

/* One received message; 0 once the server is to end. */
static int receive(Buf *out, const unsigned char *body, size_t n) {
    Doc d = doc_of(body, n);
    Element e;
    int has_id = 0;
    int64_t id = 0;
    const char *method = "";
    Doc params = {0, 0};
    while (next(&d, &e)) {
        if (!strcmp(e.key, "id") && e.type == 0x12) has_id = 1, id = le64(e.value);
        if (!strcmp(e.key, "id") && e.type == 0x10) has_id = 1, id = (int32_t)le32(e.value);
        if (!strcmp(e.key, "method") && e.type == 0x02) method = (const char *)e.value + 4;
        if (!strcmp(e.key, "params") && e.type == 0x03) params = doc_of(e.value, e.size);
    }
    if (!has_id) return strcmp(method, "quit") != 0;
    answer(out, id, method, &params);
    return 1;
}

/* Fills `in` to at least `want` bytes; 0 at the end of the input. */
static int fill(Buf *in, size_t want) {
    while (in->len < want) {
        reserve(in, want - in->len);
        ssize_t r = read(0, in->p + in->len, in->cap - in->len);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) die("reading stdin");
        if (r == 0) return 0;
        in->len += (size_t)r;
    }
    return 1;
}

int main(int argc, char **argv) {
    if (argc > 1) read_size = strtoul(argv[1], NULL, 10);
    unsigned char *data = malloc(read_size ? read_size : 1);
    if (!data) die("out of memory");
    for (size_t i = 0; i < read_size; ++i) data[i] = (unsigned char)i;
    read_data = data;

    /* `in` starts with the next frame; what follows it is kept for later. */
    Buf in = {0}, out = {0};
    for (;;) {
        if (!fill(&in, 4)) return 0;
        uint32_t n = (uint32_t)in.p[0] << 24 | (uint32_t)in.p[1] << 16 | (uint32_t)in.p[2] << 8 | in.p[3];
        if (n < 1 || n > MAX_FRAME) die("a frame length out of range");
        if (!fill(&in, 4 + (size_t)n)) die("stdin ended inside a frame");
        if (!receive(&out, in.p + 4, n)) return 0;
        memmove(in.p, in.p + 4 + n, in.len - 4 - n);
        in.len -= 4 + (size_t)n;
    }
}
