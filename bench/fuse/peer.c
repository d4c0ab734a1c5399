/* The peer for the benchmark: a minimal in-memory file system on the libfuse 2
   low-level interface, served by libfuse's own single-threaded loop. A whole
   tree (folders, files, symbolic links, modes, owners and times), so that
   everyday programs (tar, git, rsync, cp, find, du) run on it as on halvo;
   nothing more than they need. Entries and attributes are cached for 1 s, as
   libfuse's own examples do.
   Usage: fuse_peer MOUNTPOINT (stays in the foreground until unmounted). */
#define FUSE_USE_VERSION 26
#define _FILE_OFFSET_BITS 64
#include <errno.h>
#include <fuse/fuse_lowlevel.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MAX_NODES (1u << 20) /* inode = index; 0 unused, 1 the root; never reused */
#define BUCKETS (1u << 20)
#define TIMEOUT 1.0

struct node {
    int used;
    mode_t mode;
    uid_t uid;
    gid_t gid;
    char* name;
    fuse_ino_t parent;
    uint32_t hnext;                  /* next in its hash bucket */
    uint32_t first, next, prev;      /* children of a folder; siblings */
    char* data;                      /* a file's bytes, or a link's target */
    size_t size, cap;
    struct timespec atime, mtime, ctime;
};

static struct node* nodes;
static uint32_t* buckets;
static uint32_t next_ino = 2;

static uint32_t hash(fuse_ino_t parent, const char* name) {
    uint64_t h = 1469598103934665603ull ^ parent;
    for (; *name; ++name) h = (h ^ (unsigned char)*name) * 1099511628211ull;
    return (uint32_t)(h & (BUCKETS - 1));
}

static struct node* by_ino(fuse_ino_t ino) {
    if (ino < 1 || ino >= MAX_NODES || !nodes[ino].used) return NULL;
    return &nodes[ino];
}

static fuse_ino_t find(fuse_ino_t parent, const char* name) {
    for (uint32_t i = buckets[hash(parent, name)]; i; i = nodes[i].hnext)
        if (nodes[i].parent == parent && strcmp(nodes[i].name, name) == 0) return i;
    return 0;
}

static struct timespec now(void) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

static void touch(fuse_ino_t ino) { nodes[ino].mtime = nodes[ino].ctime = now(); }

static void attach(fuse_ino_t ino, fuse_ino_t parent, const char* name) {
    struct node* n = &nodes[ino];
    n->parent = parent;
    n->name = strdup(name);
    uint32_t b = hash(parent, name);
    n->hnext = buckets[b];
    buckets[b] = ino;
    n->prev = 0;
    n->next = nodes[parent].first;
    if (n->next) nodes[n->next].prev = ino;
    nodes[parent].first = ino;
    touch(parent);
}

static void detach(fuse_ino_t ino) {
    struct node* n = &nodes[ino];
    uint32_t* p = &buckets[hash(n->parent, n->name)];
    while (*p != ino) p = &nodes[*p].hnext;
    *p = n->hnext;
    if (n->prev) nodes[n->prev].next = n->next;
    else nodes[n->parent].first = n->next;
    if (n->next) nodes[n->next].prev = n->prev;
    touch(n->parent);
    free(n->name);
    n->name = NULL;
}

static void drop(fuse_ino_t ino) {
    detach(ino);
    free(nodes[ino].data);
    memset(&nodes[ino], 0, sizeof nodes[ino]);
}

static fuse_ino_t make(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
    if (next_ino >= MAX_NODES) return 0;
    fuse_ino_t ino = next_ino++;
    const struct fuse_ctx* ctx = fuse_req_ctx(req);
    struct node* n = &nodes[ino];
    memset(n, 0, sizeof *n);
    n->used = 1;
    n->mode = mode;
    n->uid = ctx->uid;
    n->gid = ctx->gid;
    n->atime = n->mtime = n->ctime = now();
    attach(ino, parent, name);
    return ino;
}

static void fill(fuse_ino_t ino, struct stat* st) {
    struct node* n = &nodes[ino];
    memset(st, 0, sizeof *st);
    st->st_ino = ino;
    st->st_mode = n->mode;
    st->st_nlink = S_ISDIR(n->mode) ? 2 : 1;
    st->st_uid = n->uid;
    st->st_gid = n->gid;
    st->st_size = n->size;
    st->st_blocks = (n->size + 511) / 512;
    st->st_blksize = 4096;
    st->st_atim = n->atime;
    st->st_mtim = n->mtime;
    st->st_ctim = n->ctime;
}

static void reply_entry(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    struct fuse_entry_param e;
    memset(&e, 0, sizeof e);
    e.ino = ino;
    e.attr_timeout = e.entry_timeout = TIMEOUT;
    fill(ino, &e.attr);
    if (fi) fuse_reply_create(req, &e, fi);
    else fuse_reply_entry(req, &e);
}

static void p_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_ino_t ino = find(parent, name);
    if (!ino) return (void)fuse_reply_err(req, ENOENT);
    reply_entry(req, ino, NULL);
}

static void p_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    (void)fi;
    struct stat st;
    if (!by_ino(ino)) return (void)fuse_reply_err(req, ENOENT);
    fill(ino, &st);
    fuse_reply_attr(req, &st, TIMEOUT);
}

static int resize(struct node* n, size_t size) {
    if (size > n->cap) {
        size_t cap = n->cap ? n->cap : 4096;
        while (cap < size) cap *= 2;
        char* d = realloc(n->data, cap);
        if (!d) return ENOSPC;
        n->data = d;
        n->cap = cap;
    }
    if (size > n->size) memset(n->data + n->size, 0, size - n->size);
    n->size = size;
    return 0;
}

static void p_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, struct fuse_file_info* fi) {
    struct node* n = by_ino(ino);
    if (!n) return (void)fuse_reply_err(req, ENOENT);
    if (to_set & FUSE_SET_ATTR_SIZE) {
        int e = resize(n, attr->st_size);
        if (e) return (void)fuse_reply_err(req, e);
        n->mtime = now();
    }
    if (to_set & FUSE_SET_ATTR_MODE) n->mode = (n->mode & S_IFMT) | (attr->st_mode & 07777);
    if (to_set & FUSE_SET_ATTR_UID) n->uid = attr->st_uid;
    if (to_set & FUSE_SET_ATTR_GID) n->gid = attr->st_gid;
    if (to_set & FUSE_SET_ATTR_ATIME) n->atime = attr->st_atim;
    if (to_set & FUSE_SET_ATTR_MTIME) n->mtime = attr->st_mtim;
    if (to_set & FUSE_SET_ATTR_ATIME_NOW) n->atime = now();
    if (to_set & FUSE_SET_ATTR_MTIME_NOW) n->mtime = now();
    n->ctime = now();
    p_getattr(req, ino, fi);
}

static void p_mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
    if (!by_ino(parent)) return (void)fuse_reply_err(req, ENOENT);
    if (find(parent, name)) return (void)fuse_reply_err(req, EEXIST);
    fuse_ino_t ino = make(req, parent, name, S_IFDIR | (mode & 07777));
    if (!ino) return (void)fuse_reply_err(req, ENOSPC);
    reply_entry(req, ino, NULL);
}

static void p_create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, struct fuse_file_info* fi) {
    fuse_ino_t ino = find(parent, name);
    if (ino && (fi->flags & O_EXCL)) return (void)fuse_reply_err(req, EEXIST);
    if (!ino) ino = make(req, parent, name, S_IFREG | (mode & 07777));
    if (!ino) return (void)fuse_reply_err(req, ENOSPC);
    reply_entry(req, ino, fi);
}

static void p_symlink(fuse_req_t req, const char* target, fuse_ino_t parent, const char* name) {
    if (find(parent, name)) return (void)fuse_reply_err(req, EEXIST);
    fuse_ino_t ino = make(req, parent, name, S_IFLNK | 0777);
    if (!ino) return (void)fuse_reply_err(req, ENOSPC);
    nodes[ino].data = strdup(target);
    nodes[ino].size = nodes[ino].cap = strlen(target);
    reply_entry(req, ino, NULL);
}

static void p_readlink(fuse_req_t req, fuse_ino_t ino) {
    struct node* n = by_ino(ino);
    if (!n || !S_ISLNK(n->mode)) return (void)fuse_reply_err(req, EINVAL);
    fuse_reply_readlink(req, n->data);
}

static void p_unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_ino_t ino = find(parent, name);
    if (!ino) return (void)fuse_reply_err(req, ENOENT);
    if (S_ISDIR(nodes[ino].mode)) return (void)fuse_reply_err(req, EISDIR);
    drop(ino);
    fuse_reply_err(req, 0);
}

static void p_rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_ino_t ino = find(parent, name);
    if (!ino) return (void)fuse_reply_err(req, ENOENT);
    if (!S_ISDIR(nodes[ino].mode)) return (void)fuse_reply_err(req, ENOTDIR);
    if (nodes[ino].first) return (void)fuse_reply_err(req, ENOTEMPTY);
    drop(ino);
    fuse_reply_err(req, 0);
}

static void p_rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent, const char* newname) {
    fuse_ino_t ino = find(parent, name);
    if (!ino || !by_ino(newparent)) return (void)fuse_reply_err(req, ENOENT);
    fuse_ino_t old = find(newparent, newname);
    if (old == ino) return (void)fuse_reply_err(req, 0);
    if (old) {
        if (S_ISDIR(nodes[old].mode) && !S_ISDIR(nodes[ino].mode)) return (void)fuse_reply_err(req, EISDIR);
        if (!S_ISDIR(nodes[old].mode) && S_ISDIR(nodes[ino].mode)) return (void)fuse_reply_err(req, ENOTDIR);
        if (nodes[old].first) return (void)fuse_reply_err(req, ENOTEMPTY);
        drop(old);
    }
    detach(ino);
    attach(ino, newparent, newname);
    nodes[ino].ctime = now();
    fuse_reply_err(req, 0);
}

static void p_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    if (!by_ino(ino)) return (void)fuse_reply_err(req, ENOENT);
    fuse_reply_open(req, fi);
}

static void p_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info* fi) {
    (void)fi;
    struct node* n = by_ino(ino);
    if (!n) return (void)fuse_reply_err(req, ENOENT);
    if ((size_t)off >= n->size) return (void)fuse_reply_buf(req, NULL, 0);
    if (off + size > n->size) size = n->size - off;
    fuse_reply_buf(req, n->data + off, size);
}

static void p_write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t off,
                    struct fuse_file_info* fi) {
    (void)fi;
    struct node* n = by_ino(ino);
    if (!n) return (void)fuse_reply_err(req, ENOENT);
    size_t end = off + size;
    if (end > n->size) {
        int e = resize(n, end);
        if (e) return (void)fuse_reply_err(req, e);
    }
    memcpy(n->data + off, buf, size);
    n->mtime = n->ctime = now();
    fuse_reply_write(req, size);
}

/* Offsets are positions in the folder's list, "." and ".." first. */
static void p_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info* fi) {
    (void)fi;
    struct node* d = by_ino(ino);
    if (!d) return (void)fuse_reply_err(req, ENOENT);
    char* buf = malloc(size ? size : 1);
    size_t used = 0;
    off_t pos = 0;
    uint32_t child = d->first;
    for (;; ++pos) {
        const char* name;
        fuse_ino_t cino;
        if (pos == 0) {
            name = ".";
            cino = ino;
        } else if (pos == 1) {
            name = "..";
            cino = d->parent ? d->parent : 1;
        } else {
            if (!child) break;
            name = nodes[child].name;
            cino = child;
            child = nodes[child].next;
        }
        if (pos < off) continue;
        struct stat st;
        memset(&st, 0, sizeof st);
        st.st_ino = cino;
        st.st_mode = nodes[cino].mode;
        size_t need = fuse_add_direntry(req, NULL, 0, name, NULL, 0);
        if (used + need > size) break;
        fuse_add_direntry(req, buf + used, size - used, name, &st, pos + 1);
        used += need;
    }
    fuse_reply_buf(req, buf, used);
    free(buf);
}

static struct fuse_lowlevel_ops ops = {
    .lookup = p_lookup,
    .getattr = p_getattr,
    .setattr = p_setattr,
    .readlink = p_readlink,
    .mkdir = p_mkdir,
    .unlink = p_unlink,
    .rmdir = p_rmdir,
    .symlink = p_symlink,
    .rename = p_rename,
    .open = p_open,
    .read = p_read,
    .write = p_write,
    .readdir = p_readdir,
    .create = p_create,
};

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    nodes = calloc(MAX_NODES, sizeof *nodes);
    buckets = calloc(BUCKETS, sizeof *buckets);
    if (!nodes || !buckets) return 1;
    nodes[1].used = 1;
    nodes[1].mode = S_IFDIR | 0755;
    nodes[1].uid = getuid();
    nodes[1].gid = getgid();
    nodes[1].atime = nodes[1].mtime = nodes[1].ctime = now();
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
