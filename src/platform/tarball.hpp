#pragma once
// Unpacking a gzip-compressed tar below one folder, safely against a hostile
// archive, and removing a tree without following links.
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace halvo::platform {

// Unpacks the tar held in the first gzip member of `archive` (its pieces in
// order) into the folder `dir`, which must exist. The whole member is
// inflated, its trailer checked, before this returns success; data after it
// is ignored. A stop request ends it between entries and data blocks.
//
// Every write goes through a descriptor of `dir` with *at() calls and never
// through a link: an entry with a ".." component is skipped, an absolute one
// or one whose parent is a symbolic link fails, a hard link must point at an
// entry already inside. Devices, FIFOs and sockets are skipped, owners are
// not restored, and only the low nine mode bits are applied. Folders get
// their mode and mtime after their contents, deepest first.
Result<void, Chain> unpack_tar_gz(std::span<const std::string> archive, const std::string& dir,
                                  const std::stop_token& stop = {});

// Removes `path` and, when it is a folder (not a link to one), everything in
// it; folders of our own that deny us writing are opened up first. It holds
// two descriptors at most, however deep the tree.
IoResult<void> remove_tree(const std::string& path);

}  // namespace halvo::platform
