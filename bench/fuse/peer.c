/* The peer for the benchmark: a minimal in-memory file system on the libfuse 2
   low-level interface, one flat folder of files, served by libfuse's own loop.
   Usage: fuse_peer MOUNTPOINT (stays in the foreground until unmounted). */
#define FUSE_USE_VERSION 26
#define _FILE_OFFSET_BITS 64
#include <errno.h>
#include <fuse/fuse_lowlevel.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define MAX_FILES 65536

struct file {
    char* name;
    char* data;
    size_t size, cap;
};

static struct file files[MAX_FILES]; /* inode = index + 2 */

static struct file* by_ino(fuse_ino_t ino) {
    if (ino < 2 || ino - 2 >= MAX_FILES || !files[ino - 2].name) return NULL;
    return &files[ino - 2];
}

static fuse_ino_t find(const char* name) {
    for (size_t i = 0; i < MAX_FILES; ++i)
        if (files[i].name && strcmp(files[i].name, name) == 0) return i + 2;
    return 0;
}

static void fill(fuse_ino_t ino, struct stat* st) {
    memset(st, 0, sizeof *st);
    st->st_ino = ino;
    if (ino == 1) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return;
    }
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = by_ino(ino)->size;
}

static void reply_entry(fuse_req_t req, fuse_ino_t ino) {
    struct fuse_entry_param e;
    memset(&e, 0, sizeof e);
    e.ino = ino;
    e.attr_timeout = e.entry_timeout = 1.0;
    fill(ino, &e.attr);
    fuse_reply_entry(req, &e);
}

static void p_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_ino_t ino = parent == 1 ? find(name) : 0;
    if (!ino) return (void)fuse_reply_err(req, ENOENT);
    reply_entry(req, ino);
}

static void p_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    (void)fi;
    struct stat st;
    if (ino != 1 && !by_ino(ino)) return (void)fuse_reply_err(req, ENOENT);
    fill(ino, &st);
    fuse_reply_attr(req, &st, 1.0);
}

static void p_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, struct fuse_file_info* fi) {
    (void)fi;
    struct file* f = by_ino(ino);
    if (f && (to_set & FUSE_SET_ATTR_SIZE) && (size_t)attr->st_size < f->size) f->size = attr->st_size;
    p_getattr(req, ino, NULL);
}

static void p_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    if (!by_ino(ino)) return (void)fuse_reply_err(req, ENOENT);
    fuse_reply_open(req, fi);
}

static void p_create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, struct fuse_file_info* fi) {
    (void)parent;
    (void)mode;
    for (size_t i = 0; i < MAX_FILES; ++i)
        if (!files[i].name) {
            files[i].name = strdup(name);
            struct fuse_entry_param e;
            memset(&e, 0, sizeof e);
            e.ino = i + 2;
            e.attr_timeout = e.entry_timeout = 1.0;
            fill(e.ino, &e.attr);
            fuse_reply_create(req, &e, fi);
            return;
        }
    fuse_reply_err(req, ENOSPC);
}

static void p_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info* fi) {
    (void)fi;
    struct file* f = by_ino(ino);
    if (!f) return (void)fuse_reply_err(req, ENOENT);
    if ((size_t)off >= f->size) return (void)fuse_reply_buf(req, NULL, 0);
    if (off + size > f->size) size = f->size - off;
    fuse_reply_buf(req, f->data + off, size);
}

static void p_write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t off,
                    struct fuse_file_info* fi) {
    (void)fi;
    struct file* f = by_ino(ino);
    if (!f) return (void)fuse_reply_err(req, ENOENT);
    size_t end = off + size;
    if (end > f->cap) {
        size_t cap = f->cap ? f->cap : 4096;
        while (cap < end) cap *= 2;
        f->data = realloc(f->data, cap);
        f->cap = cap;
    }
    if ((size_t)off > f->size) memset(f->data + f->size, 0, off - f->size);
    memcpy(f->data + off, buf, size);
    if (end > f->size) f->size = end;
    fuse_reply_write(req, size);
}

static void p_unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_ino_t ino = parent == 1 ? find(name) : 0;
    if (!ino) return (void)fuse_reply_err(req, ENOENT);
    struct file* f = by_ino(ino);
    free(f->name);
    free(f->data);
    memset(f, 0, sizeof *f);
    fuse_reply_err(req, 0);
}

static void p_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info* fi) {
    (void)ino;
    (void)fi;
    (void)off;
    (void)size;
    fuse_reply_buf(req, NULL, 0);
}

static struct fuse_lowlevel_ops ops = {
    .lookup = p_lookup,
    .getattr = p_getattr,
    .setattr = p_setattr,
    .open = p_open,
    .create = p_create,
    .read = p_read,
    .write = p_write,
    .unlink = p_unlink,
    .readdir = p_readdir,
};

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    char* args_v[] = {"fuse_peer", "-o", "fsname=peer,big_writes", NULL};
    struct fuse_args args = FUSE_ARGS_INIT(3, args_v);
    struct fuse_chan* ch = fuse_mount(argv[1], &args);
    if (!ch) return 1;
    struct fuse_session* se = fuse_lowlevel_new(&args, &ops, sizeof ops, NULL);
    if (!se) return 1;
    fuse_session_add_chan(se, ch);
    int rc = fuse_session_loop(se);
    fuse_session_remove_chan(ch);
    fuse_session_destroy(se);
    fuse_unmount(argv[1], ch);
    return rc ? 1 : 0;
}
