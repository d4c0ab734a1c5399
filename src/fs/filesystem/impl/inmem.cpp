#include "fs/filesystem/impl/inmem.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

#include "base/lock.hpp"
#include "base/pathx.hpp"
#include "base/utf8.hpp"

namespace halvo::fs::filesystem::impl {

namespace {

Unexpected<IoError> kind(ErrorKind k) { return fail(IoError(k)); }

}  // namespace

Bytes::Bytes(Bytes&& o) noexcept
    : p_(std::exchange(o.p_, nullptr)), size_(std::exchange(o.size_, 0)), cap_(std::exchange(o.cap_, 0)) {}

Bytes& Bytes::operator=(Bytes&& o) noexcept {
    if (this != &o) {
        std::free(p_);
        p_ = std::exchange(o.p_, nullptr);
        size_ = std::exchange(o.size_, 0);
        cap_ = std::exchange(o.cap_, 0);
    }
    return *this;
}

Bytes::~Bytes() { std::free(p_); }

std::optional<Bytes> Bytes::of(std::string_view content) {
    Bytes b;
    if (!b.write(0, {reinterpret_cast<const std::uint8_t*>(content.data()), content.size()})) return std::nullopt;
    return b;
}

bool Bytes::reserve(std::uint64_t size) {
    if (size <= cap_) return true;
    if (size > SIZE_MAX / 2) return false;
    // Doubling, so a file written from start to end is moved a few times at most.
    std::size_t cap = std::max<std::size_t>(size, cap_ * 2);
    auto* p = static_cast<std::uint8_t*>(std::realloc(p_, cap));
    if (!p) return false;
    p_ = p;
    cap_ = cap;
    return true;
}

bool Bytes::write(std::uint64_t offset, std::span<const std::uint8_t> data) {
    std::uint64_t end = offset + data.size();
    if (!reserve(end)) return false;
    if (offset > size_) std::memset(p_ + size_, 0, offset - size_);
    if (!data.empty()) std::memcpy(p_ + offset, data.data(), data.size());
    size_ = std::max<std::size_t>(size_, end);
    return true;
}

bool Bytes::resize(std::uint64_t size) {
    if (size > size_) {
        if (!reserve(size)) return false;
        std::memset(p_ + size_, 0, size - size_);
    }
    size_ = size;
    // A file cut down to a fraction gives the rest of its memory back.
    if (size_ < cap_ / 4) {
        if (size_ == 0) {
            std::free(std::exchange(p_, nullptr));
            cap_ = 0;
        } else if (auto* p = static_cast<std::uint8_t*>(std::realloc(p_, size_))) {
            p_ = p;
            cap_ = size_;
        }
    }
    return true;
}

namespace {

NodeRef new_node(std::variant<Node::Dir, Node::File, Node::Link, Node::Special> body, std::uint32_t mode) {
    auto n = std::make_shared<Node>();
    n->body = std::move(body);
    n->mode = mode;
    static std::atomic<std::uint64_t> next_serial{1};
    n->serial = next_serial.fetch_add(1, std::memory_order_relaxed);
    n->uid = ::geteuid();
    n->gid = ::getegid();
    n->modified = n->accessed = n->changed = n->created = WallTime::now();
    return n;
}

}  // namespace

NodeRef Node::new_dir() { return new_node(Dir{}, kDirMode); }

NodeRef Node::new_file(Bytes data) { return new_node(File{std::move(data)}, kFileMode); }

NodeRef Node::new_link(std::string target) { return new_node(Link{std::move(target)}, 0777); }

NodeRef Node::new_special(FileType type, std::uint32_t mode) { return new_node(Special{type}, mode & 07777); }

void Node::touch() { modified = changed = WallTime::now(); }

IoResult<void> Node::apply(const SetAttr& attr) {
    if (::geteuid() != 0) {
        bool owner = uid == ::geteuid();
        if ((attr.uid && *attr.uid != uid) || ((attr.gid || attr.mode) && !owner) ||
            (attr.gid && *attr.gid != gid && !in_group(*attr.gid)))
            return fail(IoError::os(EPERM));
    }
    if (attr.uid || attr.gid) {
        // As the host does: a file changing hands loses its set-id bits.
        if (!is_dir()) {
            mode &= ~std::uint32_t{S_ISUID};
            if (mode & S_IXGRP) mode &= ~std::uint32_t{S_ISGID};
        }
        uid = attr.uid.value_or(uid);
        gid = attr.gid.value_or(gid);
    }
    // A link keeps the bits it was made with.
    if (attr.mode && !is_link()) mode = *attr.mode & 07777;
    if (attr.accessed) accessed = *attr.accessed;
    if (attr.modified) modified = *attr.modified;
    changed = WallTime::now();
    return {};
}

Stat Node::stat() const {
    Stat s;
    s.modified = modified;
    s.accessed = accessed;
    s.changed = changed;
    s.created = created;
    switch (body.index()) {
        case 0: s.type = FileType::Dir; break;
        case 1: s.size = std::get<File>(body).data.size(); break;
        case 2:
            s.type = FileType::Symlink;
            s.size = std::get<Link>(body).target.size();
            break;
        default: s.type = std::get<Special>(body).type;
    }
    s.mode = mode;
    s.uid = uid;
    s.gid = gid;
    s.nlink = nlink;
    s.id = NodeId{0, serial};  // no host device is 0
    return s;
}

namespace inmem {

IoResult<std::vector<std::string_view>> components(std::string_view path) {
    std::vector<std::string_view> names;
    for (auto c : pathx::components(path)) {
        if (c == ".." || !utf8::valid(c)) return kind(ErrorKind::InvalidFilename);
        if (c.size() > kNameMax) return fail(IoError::os(ENAMETOOLONG));
        names.emplace_back(c);
    }
    return names;
}

}  // namespace inmem

InMemFs::InMemFs() : root_(Node::new_dir()) {}

IoResult<NodeRef> InMemFs::navigate(NodeRef node, std::span<const std::string_view> names) {
    for (const auto& name : names) {
        auto g = lock::lock(node->m);
        if (!node->is_dir()) return kind(ErrorKind::NotADirectory);
        auto& entries = node->dir().entries;
        auto it = entries.find(name);
        if (it == entries.end()) return kind(ErrorKind::NotFound);
        NodeRef child = it->second;
        g.unlock();
        node = std::move(child);
    }
    return node;
}

IoResult<std::pair<NodeRef, std::string>> InMemFs::parent_of(std::string_view path) {
    HALVO_TRY(auto names, inmem::components(path));
    if (names.empty()) return kind(ErrorKind::InvalidFilename);
    HALVO_TRY(auto parent, navigate(root_, std::span(names).first(names.size() - 1)));
    return std::pair{std::move(parent), std::string(names.back())};
}

IoResult<NodeRef> InMemFs::file_at(std::string_view path) {
    HALVO_TRY(auto names, inmem::components(path));
    HALVO_TRY(auto node, navigate(root_, names));
    auto g = lock::lock(node->m);
    if (node->is_dir()) return kind(ErrorKind::IsADirectory);
    if (node->is_link()) return fail(IoError::os(ELOOP));
    if (node->body.index() == 3) return fail(IoError::os(EINVAL));
    return node;
}

IoResult<bool> InMemFs::contains(std::string_view path) {
    HALVO_TRY(auto names, inmem::components(path));
    auto r = navigate(root_, names);
    if (r) return true;
    if (r.error().kind == ErrorKind::NotFound) return false;
    return fail(std::move(r).error());
}

IoResult<NodeRef> InMemFs::dir_all(std::span<const std::string_view> names) {
    NodeRef node = root_;
    for (const auto& name : names) {
        auto g = lock::lock(node->m);
        if (!node->is_dir()) return kind(ErrorKind::NotADirectory);
        auto& entries = node->dir().entries;
        auto it = entries.find(name);
        if (it == entries.end()) {
            it = entries.emplace(std::string(name), Node::new_dir()).first;
            node->touch();
        }
        NodeRef child = it->second;
        g.unlock();
        node = std::move(child);
    }
    auto g = lock::lock(node->m);
    if (!node->is_dir()) return kind(ErrorKind::NotADirectory);
    return node;
}

IoResult<void> InMemFs::mkdir_all(std::string_view path) {
    HALVO_TRY(auto names, inmem::components(path));
    HALVO_TRY(auto node, dir_all(names));
    (void)node;
    return {};
}

IoResult<Stat> InMemFs::insert(std::string_view path, NodeRef node, const Adopt& adopt) {
    HALVO_TRY(auto pn, parent_of(path));
    auto& [parent, name] = pn;
    auto g = lock::lock(parent->m);
    if (!parent->is_dir()) return kind(ErrorKind::NotADirectory);
    auto& entries = parent->dir().entries;
    if (entries.contains(name)) return kind(ErrorKind::AlreadyExists);
    Stat st;
    {
        auto gn = lock::lock(node->m);
        if (adopt) {
            HALVO_CHECK(adopt(*node));
        }
        st = node->stat();
    }
    entries.emplace(std::move(name), std::move(node));
    parent->touch();
    return st;
}

IoResult<void> InMemFs::remove(std::string_view path, bool want_dir) {
    HALVO_TRY(auto pn, parent_of(path));
    auto& [parent, name] = pn;
    auto g = lock::lock(parent->m);
    if (!parent->is_dir()) return kind(ErrorKind::NotADirectory);
    auto& entries = parent->dir().entries;
    auto it = entries.find(name);
    if (it == entries.end()) return kind(ErrorKind::NotFound);
    {
        auto gc = lock::lock(it->second->m);
        Node& child = *it->second;
        if (!child.is_dir()) {
            if (want_dir) return kind(ErrorKind::NotADirectory);
            --child.nlink;
            child.changed = WallTime::now();
        } else {
            if (!want_dir) return kind(ErrorKind::IsADirectory);
            if (!child.dir().entries.empty()) return kind(ErrorKind::DirectoryNotEmpty);
        }
    }
    entries.erase(it);
    parent->touch();
    return {};
}

IoResult<void> InMemFs::remove_file(std::string_view path) { return remove(path, false); }

IoResult<Stat> InMemFs::stat(std::string_view path) {
    HALVO_TRY(auto names, inmem::components(path));
    HALVO_TRY(auto node, navigate(root_, names));
    auto g = lock::lock(node->m);
    return node->stat();
}

IoResult<std::vector<Dirent>> InMemFs::list(std::string_view path) {
    HALVO_TRY(auto names, inmem::components(path));
    HALVO_TRY(auto node, navigate(root_, names));
    auto g = lock::lock(node->m);
    if (!node->is_dir()) return kind(ErrorKind::NotADirectory);
    std::vector<Dirent> out;
    out.reserve(node->dir().entries.size());
    for (const auto& [name, child] : node->dir().entries) {
        auto gc = lock::lock(child->m);
        Stat st = child->stat();
        out.push_back(Dirent{name, st.type, st});
    }
    return out;
}

IoResult<std::size_t> InMemFs::read_at(std::string_view path, std::span<std::uint8_t> buf,
                                       std::uint64_t offset) {
    HALVO_TRY(auto node, file_at(path));
    auto g = lock::lock(node->m);
    const auto& data = node->file().data;
    if (offset >= data.size()) return std::size_t{0};
    std::size_t n = std::min<std::uint64_t>(buf.size(), data.size() - offset);
    std::memcpy(buf.data(), data.data() + offset, n);
    return n;
}

IoResult<void> InMemFs::read_with(std::string_view path, std::uint64_t offset, std::size_t size,
                                  const ReadInto& give) {
    HALVO_TRY(auto node, file_at(path));
    auto g = lock::lock(node->m);
    auto bytes = node->file().data.view();
    if (offset >= bytes.size()) {
        give({});
    } else {
        give(bytes.subspan(offset, std::min<std::uint64_t>(size, bytes.size() - offset)));
    }
    return {};
}

IoResult<Stat> InMemFs::create(std::string_view path) { return insert(path, Node::new_file()); }

IoResult<Stat> InMemFs::mkdir(std::string_view path) { return insert(path, Node::new_dir()); }

IoResult<void> InMemFs::unlink(std::string_view path) { return remove(path, false); }

IoResult<void> InMemFs::rmdir(std::string_view path) { return remove(path, true); }

IoResult<std::size_t> InMemFs::write_at(std::string_view path, std::span<const std::uint8_t> data,
                                        std::uint64_t offset) {
    // Checked before the path, so a missing file over the limit is still too large.
    if (offset > kMaxFile || data.size() > kMaxFile - offset) return kind(ErrorKind::FileTooLarge);
    HALVO_TRY(auto node, file_at(path));
    auto g = lock::lock(node->m);
    if (!node->file().data.write(offset, data)) return kind(ErrorKind::OutOfMemory);
    node->touch();
    return data.size();
}

IoResult<void> InMemFs::truncate(std::string_view path, std::uint64_t size) {
    if (size > kMaxFile) return kind(ErrorKind::FileTooLarge);
    HALVO_TRY(auto node, file_at(path));
    auto g = lock::lock(node->m);
    // As ftruncate and O_TRUNC: the times move also when the size does not.
    if (!node->file().data.resize(size)) return kind(ErrorKind::OutOfMemory);
    node->touch();
    return {};
}

IoResult<void> InMemFs::set_attr(std::string_view path, const SetAttr& attr) {
    HALVO_TRY(auto names, inmem::components(path));
    HALVO_TRY(auto node, navigate(root_, names));
    auto g = lock::lock(node->m);
    return node->apply(attr);
}

IoResult<Stat> InMemFs::symlink(std::string_view path, std::string_view target) {
    if (target.empty()) return fail(IoError::os(ENOENT));
    return insert(path, Node::new_link(std::string(target)));
}

IoResult<Stat> InMemFs::mknod(std::string_view path, FileType type, std::uint32_t mode) {
    if (type != FileType::Fifo && type != FileType::Socket) return fail(IoError::os(EPERM));
    return insert(path, Node::new_special(type, mode));
}

IoResult<std::string> InMemFs::readlink(std::string_view path) {
    HALVO_TRY(auto names, inmem::components(path));
    HALVO_TRY(auto node, navigate(root_, names));
    auto g = lock::lock(node->m);
    if (!node->is_link()) return fail(IoError::os(EINVAL));
    return std::get<Node::Link>(node->body).target;
}

IoResult<Stat> InMemFs::link(std::string_view existing, std::string_view path) {
    HALVO_TRY(auto names, inmem::components(existing));
    HALVO_TRY(auto node, navigate(root_, names));
    // Never the new parent itself: that is a directory, and those get no second name.
    return insert(path, std::move(node), [](Node& n) -> IoResult<void> {
        if (n.is_dir()) return fail(IoError::os(EPERM));
        ++n.nlink;
        n.changed = WallTime::now();
        return {};
    });
}

IoResult<void> InMemFs::rename(std::string_view from, std::string_view to) { return move(from, to, true); }

IoResult<void> InMemFs::rename_noreplace(std::string_view from, std::string_view to) {
    return move(from, to, false);
}

IoResult<void> InMemFs::move(std::string_view from, std::string_view to, bool replace) {
    HALVO_TRY(auto src_names, inmem::components(from));
    HALVO_TRY(auto dst_names, inmem::components(to));
    if (src_names == dst_names) return replace ? IoResult<void>() : kind(ErrorKind::AlreadyExists);
    if (dst_names.size() > src_names.size() &&
        std::equal(src_names.begin(), src_names.end(), dst_names.begin()))
        return kind(ErrorKind::InvalidInput);
    HALVO_TRY(auto src, parent_of(from));
    HALVO_TRY(auto dst, parent_of(to));

    NodeRef moving;
    {
        auto g = lock::lock(src.first->m);
        if (!src.first->is_dir()) return kind(ErrorKind::NotADirectory);
        auto& entries = src.first->dir().entries;
        auto it = entries.find(src.second);
        if (it == entries.end()) return kind(ErrorKind::NotFound);
        moving = it->second;
    }
    bool moving_file;
    {
        auto g = lock::lock(moving->m);
        moving_file = !moving->is_dir();
    }
    {
        auto g = lock::lock(dst.first->m);
        if (!dst.first->is_dir()) return kind(ErrorKind::NotADirectory);
        auto& entries = dst.first->dir().entries;
        auto it = entries.find(dst.second);
        if (it != entries.end()) {
            if (!replace) return kind(ErrorKind::AlreadyExists);
            auto gt = lock::lock(it->second->m);
            Node& target = *it->second;
            if (it->second == moving) return {};  // two names of one file: nothing moves
            if (!target.is_dir()) {
                if (!moving_file) return kind(ErrorKind::NotADirectory);
                --target.nlink;
            } else {
                if (moving_file) return kind(ErrorKind::IsADirectory);
                if (!target.dir().entries.empty()) return kind(ErrorKind::DirectoryNotEmpty);
            }
        }
        entries.insert_or_assign(dst.second, moving);
        dst.first->touch();
    }
    {
        auto g = lock::lock(src.first->m);
        auto& entries = src.first->dir().entries;
        auto it = entries.find(src.second);
        if (it != entries.end() && it->second == moving) entries.erase(it);
        src.first->touch();
    }
    auto g = lock::lock(moving->m);
    moving->changed = WallTime::now();
    return {};
}

}  // namespace halvo::fs::filesystem::impl
