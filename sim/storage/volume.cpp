// The volume tree of a mounted partition and its image in the partition's sectors.
#include "sim/storage/volume.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "sim/base/bytes.h"
#include "sim/base/crc32.h"
#include "sim/base/names.h"

namespace sim {
namespace {

// RemoveDirectoryW on a file.
constexpr DWORD kErrorDirectory = 267;

std::shared_ptr<VolumeNode> FindChild(const VolumeNode& directory, std::u16string_view name) {
  for (const auto& child : directory.children) {
    if (SameName(child->name, name)) {
      return child;
    }
  }
  return nullptr;
}

bool IsAncestorOrSelf(const VolumeNode* ancestor, const VolumeNode* node) {
  for (; node != nullptr; node = node->parent) {
    if (node == ancestor) {
      return true;
    }
  }
  return false;
}

VolumeEntryInfo InfoOf(const VolumeNode& node) {
  return VolumeEntryInfo{node.name,    node.ReportedAttributes(), node.created, node.accessed,
                         node.written, node.content.size()};
}

std::uint64_t RoundUp(std::uint64_t value, std::uint32_t unit) {
  return (value + unit - 1) / unit * unit;
}

}  // namespace

std::uint32_t VolumeNode::ReportedAttributes() const {
  if (parent == nullptr && IsDirectory()) {
    return attributes;
  }
  if (!IsDirectory() && attributes == 0) {
    return FILE_ATTRIBUTE_NORMAL;
  }
  return attributes;
}

// ---------------------------------------------------------------------------------------------
// Names and paths
// ---------------------------------------------------------------------------------------------
bool IsValidVolumeName(std::u16string_view name) {
  if (name.empty() || name.size() > kVolumeMaxName || name == u"." || name == u"..") {
    return false;
  }
  for (const char16_t unit : name) {
    if (unit < 0x20 || unit == u'\\' || unit == u'/' || unit == u':' || unit == u'*' ||
        unit == u'?' || unit == u'"' || unit == u'<' || unit == u'>' || unit == u'|') {
      return false;
    }
  }
  return true;
}

bool SplitVolumePath(std::u16string_view path, std::vector<std::u16string>* components) {
  components->clear();
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = start;
    while (end < path.size() && path[end] != u'\\' && path[end] != u'/') {
      ++end;
    }
    const std::u16string_view part = path.substr(start, end - start);
    if (!IsValidVolumeName(part)) {
      return false;
    }
    components->emplace_back(part);
    start = end + 1;
    if (end + 1 == path.size()) {
      // A trailing separator names the same directory.
      break;
    }
  }
  return true;
}

bool MatchVolumePattern(std::u16string_view pattern, std::u16string_view name) {
  if (pattern == u"*.*") {
    pattern = u"*";
  }
  return MatchWildcard(pattern, name);
}

// ---------------------------------------------------------------------------------------------
// Volume
// ---------------------------------------------------------------------------------------------
Volume::Volume(std::uint32_t sectorSize, std::uint64_t sectors)
    : sectorSize_(sectorSize), sectors_(sectors) {
  Format(0, false);
  dirty_ = false;
}

std::uint64_t Volume::Now() const { return now_ != nullptr ? now_() : 0; }

std::uint64_t Volume::EntryBytes(const VolumeNode& node) {
  return kVolumeEntryBytes + 2 * std::uint64_t{node.name.size()} + node.content.size();
}

std::uint64_t Volume::UsedBytes() const { return RoundUp(imageBytes_, sectorSize_); }

bool Volume::Fits(std::uint64_t imageBytes) const {
  return imageBytes <= 0xFFFFFFFFu && RoundUp(imageBytes, sectorSize_) <= CapacityBytes();
}

void Volume::Format(std::uint64_t now, bool transactionSafe) {
  root_ = std::make_shared<VolumeNode>();
  root_->attributes = kVolumeRootAttributes;
  root_->created = root_->accessed = root_->written = now;
  flags_ = transactionSafe ? kVolumeFlagTfat : 0;
  entries_ = 1;
  contentBytes_ = 0;
  imageBytes_ = kVolumeHeaderBytes + EntryBytes(*root_);
  dirty_ = true;
}

bool Volume::ImageBytesFromHeader(std::span<const std::uint8_t> header, std::uint32_t* bytes) {
  if (header.size() < kVolumeHeaderBytes || Get32(header.data()) != kVolumeMagic ||
      Get32(header.data() + 4) != kVolumeVersion) {
    return false;
  }
  *bytes = Get32(header.data() + 8);
  return *bytes >= kVolumeHeaderBytes + kVolumeEntryBytes;
}

std::vector<std::uint8_t> Volume::Image() const {
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(imageBytes_));
  Append32(out, kVolumeMagic);
  Append32(out, kVolumeVersion);
  Append32(out, static_cast<std::uint32_t>(imageBytes_));
  Append32(out, static_cast<std::uint32_t>(entries_));
  Append32(out, flags_);
  Append32(out, 0);  // CRC, filled in below
  Append32(out, sectorSize_);
  Append32(out, 0);
  Append64(out, sectors_);
  out.resize(kVolumeHeaderBytes, 0);
  std::vector<std::pair<const VolumeNode*, std::uint16_t>> stack{{root_.get(), 0}};
  while (!stack.empty()) {
    const auto [node, depth] = stack.back();
    stack.pop_back();
    Append16(out, depth);
    Append16(out, static_cast<std::uint16_t>(node->name.size()));
    Append32(out, node->attributes);
    Append64(out, node->created);
    Append64(out, node->accessed);
    Append64(out, node->written);
    Append32(out, static_cast<std::uint32_t>(node->content.size()));
    for (const char16_t unit : node->name) {
      Append16(out, unit);
    }
    out.insert(out.end(), node->content.begin(), node->content.end());
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
      stack.emplace_back(it->get(), static_cast<std::uint16_t>(depth + 1));
    }
  }
  Put32(out.data() + 20, Crc32(std::span<const std::uint8_t>(out).subspan(kVolumeHeaderBytes), 0));
  return out;
}

bool Volume::Load(std::span<const std::uint8_t> image, std::string* why) {
  auto fail = [&](const std::string& text) {
    *why = text;
    return false;
  };
  std::uint32_t bytes = 0;
  if (!ImageBytesFromHeader(image, &bytes)) {
    return fail("no volume header");
  }
  if (bytes != image.size()) {
    return fail("image size does not match");
  }
  if (!Fits(bytes)) {
    return fail("image larger than the partition");
  }
  if (Get32(image.data() + 24) != sectorSize_ || Get64(image.data() + 32) != sectors_) {
    return fail("volume was formatted for another partition geometry");
  }
  if (Crc32(image.subspan(kVolumeHeaderBytes), 0) != Get32(image.data() + 20)) {
    return fail("volume checksum does not match");
  }
  const std::uint32_t entryCount = Get32(image.data() + 12);
  const std::uint32_t flags = Get32(image.data() + 16);
  std::size_t at = kVolumeHeaderBytes;
  std::shared_ptr<VolumeNode> root;
  // Directories along the current path, and the folded names already used in each.
  std::vector<std::shared_ptr<VolumeNode>> path;
  std::vector<std::unordered_set<std::u16string>> names;
  std::size_t pathUnits = 0;  // code units of the relative path of the deepest directory
  std::uint64_t content = 0;
  std::uint32_t count = 0;
  while (at < image.size()) {
    if (image.size() - at < kVolumeEntryBytes) {
      return fail("entry cut short");
    }
    const std::uint8_t* entry = image.data() + at;
    const std::uint16_t depth = Get16(entry);
    const std::uint16_t nameUnits = Get16(entry + 2);
    auto node = std::make_shared<VolumeNode>();
    node->attributes = Get32(entry + 4);
    node->created = Get64(entry + 8);
    node->accessed = Get64(entry + 16);
    node->written = Get64(entry + 24);
    const std::uint32_t size = Get32(entry + 32);
    at += kVolumeEntryBytes;
    if (image.size() - at < 2u * nameUnits) {
      return fail("entry name cut short");
    }
    for (std::uint16_t i = 0; i < nameUnits; ++i) {
      node->name.push_back(static_cast<char16_t>(Get16(image.data() + at + 2 * i)));
    }
    at += 2u * nameUnits;
    if (image.size() - at < size) {
      return fail("entry content cut short");
    }
    if (node->IsDirectory() && size != 0) {
      return fail("directory with content");
    }
    node->content.assign(image.begin() + static_cast<std::ptrdiff_t>(at),
                         image.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
    ++count;
    if (!root) {
      if (depth != 0 || nameUnits != 0 || !node->IsDirectory()) {
        return fail("first entry is not the root");
      }
      root = node;
      path.push_back(node);
      names.emplace_back();
      continue;
    }
    if (depth == 0 || depth > path.size()) {
      return fail("entry out of tree order");
    }
    if (!IsValidVolumeName(node->name)) {
      return fail("entry with an invalid name");
    }
    while (path.size() > depth) {
      if (path.size() > 1) {
        pathUnits -= path.back()->name.size() + 1;
      }
      path.pop_back();
      names.pop_back();
    }
    VolumeNode& parent = *path.back();
    if (!parent.IsDirectory()) {
      return fail("entry below a file");
    }
    if (pathUnits + node->name.size() + 1 >= MAX_PATH) {
      return fail("path too long");
    }
    if (!names.back().insert(FoldCase(node->name)).second) {
      return fail("two entries with one name");
    }
    node->parent = &parent;
    parent.children.push_back(node);
    content += size;
    if (node->IsDirectory()) {
      pathUnits += node->name.size() + 1;
      path.push_back(node);
      names.emplace_back();
    }
  }
  if (!root || count != entryCount) {
    return fail("entry count does not match");
  }
  root_ = root;
  flags_ = flags;
  entries_ = count;
  contentBytes_ = content;
  imageBytes_ = bytes;
  dirty_ = false;
  return true;
}

void Volume::Walk(
    const std::function<void(const std::u16string& path, const VolumeNode& node)>& visit) const {
  std::vector<std::pair<const VolumeNode*, std::u16string>> stack{{root_.get(), u""}};
  while (!stack.empty()) {
    auto [node, path] = std::move(stack.back());
    stack.pop_back();
    visit(path, *node);
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
      stack.emplace_back(it->get(), path.empty() ? (*it)->name : path + u"\\" + (*it)->name);
    }
  }
}

DWORD Volume::Resolve(std::u16string_view path, std::shared_ptr<VolumeNode>* node) const {
  std::vector<std::u16string> components;
  if (!SplitVolumePath(path, &components)) {
    return ERROR_INVALID_NAME;
  }
  std::shared_ptr<VolumeNode> walk = root_;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (!walk->IsDirectory()) {
      return ERROR_PATH_NOT_FOUND;
    }
    walk = FindChild(*walk, components[i]);
    if (!walk) {
      return i + 1 == components.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
  }
  *node = walk;
  return ERROR_SUCCESS;
}

DWORD Volume::ResolveParent(std::u16string_view path, std::shared_ptr<VolumeNode>* parent,
                            std::u16string* name) const {
  std::vector<std::u16string> components;
  if (!SplitVolumePath(path, &components)) {
    return ERROR_INVALID_NAME;
  }
  if (components.empty()) {
    return ERROR_ACCESS_DENIED;  // the volume's own folder
  }
  std::shared_ptr<VolumeNode> walk = root_;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    walk = FindChild(*walk, components[i]);
    if (!walk || !walk->IsDirectory()) {
      return ERROR_PATH_NOT_FOUND;
    }
  }
  *parent = walk;
  *name = components.back();
  return ERROR_SUCCESS;
}

DWORD Volume::GetAttributes(std::u16string_view path, std::uint32_t* attributes) const {
  std::shared_ptr<VolumeNode> node;
  const DWORD error = Resolve(path, &node);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  *attributes = node->ReportedAttributes();
  return ERROR_SUCCESS;
}

DWORD Volume::SetAttributes(std::u16string_view path, std::uint32_t attributes) {
  std::shared_ptr<VolumeNode> node;
  const DWORD error = Resolve(path, &node);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  if (node == root_ || readOnly_) {
    return ERROR_ACCESS_DENIED;
  }
  node->attributes =
      (node->attributes & FILE_ATTRIBUTE_DIRECTORY) | (attributes & kVolumeSettableAttributes);
  Changed();
  return ERROR_SUCCESS;
}

DWORD Volume::CreateDirectory(std::u16string_view path) {
  std::shared_ptr<VolumeNode> parent;
  std::u16string name;
  DWORD error = ResolveParent(path, &parent, &name);
  if (error == ERROR_ACCESS_DENIED) {
    return ERROR_ALREADY_EXISTS;  // the volume folder itself
  }
  if (error != ERROR_SUCCESS) {
    return error;
  }
  if (FindChild(*parent, name)) {
    return ERROR_ALREADY_EXISTS;
  }
  if (readOnly_) {
    return ERROR_ACCESS_DENIED;
  }
  auto node = std::make_shared<VolumeNode>();
  node->name = name;
  node->attributes = FILE_ATTRIBUTE_DIRECTORY;
  node->created = node->accessed = node->written = Now();
  node->parent = parent.get();
  const std::uint64_t image = imageBytes_ + EntryBytes(*node);
  if (!Fits(image)) {
    return ERROR_DISK_FULL;
  }
  parent->children.push_back(node);
  imageBytes_ = image;
  ++entries_;
  Changed();
  return ERROR_SUCCESS;
}

DWORD Volume::RemoveDirectory(std::u16string_view path) {
  std::shared_ptr<VolumeNode> node;
  DWORD error = Resolve(path, &node);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  if (node == root_ || readOnly_) {
    return ERROR_ACCESS_DENIED;
  }
  if (!node->IsDirectory()) {
    return kErrorDirectory;
  }
  if (!node->children.empty()) {
    return ERROR_DIR_NOT_EMPTY;
  }
  auto& siblings = node->parent->children;
  siblings.erase(std::find(siblings.begin(), siblings.end(), node));
  imageBytes_ -= EntryBytes(*node);
  --entries_;
  Changed();
  return ERROR_SUCCESS;
}

DWORD Volume::DeleteFile(std::u16string_view path) {
  std::shared_ptr<VolumeNode> node;
  DWORD error = Resolve(path, &node);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  if (node->IsDirectory() || readOnly_ || (node->attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  if (node->opens != 0) {
    return ERROR_SHARING_VIOLATION;
  }
  auto& siblings = node->parent->children;
  siblings.erase(std::find(siblings.begin(), siblings.end(), node));
  imageBytes_ -= EntryBytes(*node);
  contentBytes_ -= node->content.size();
  --entries_;
  Changed();
  return ERROR_SUCCESS;
}

DWORD Volume::Move(std::u16string_view from, std::u16string_view to) {
  std::shared_ptr<VolumeNode> node;
  DWORD error = Resolve(from, &node);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  std::shared_ptr<VolumeNode> parent;
  std::u16string name;
  error = ResolveParent(to, &parent, &name);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  if (node == root_ || readOnly_ || IsAncestorOrSelf(node.get(), parent.get())) {
    return ERROR_ACCESS_DENIED;
  }
  if (std::shared_ptr<VolumeNode> existing = FindChild(*parent, name);
      existing && existing != node) {
    return ERROR_ALREADY_EXISTS;
  }
  if (node->opens != 0) {
    return ERROR_SHARING_VIOLATION;
  }
  const std::uint64_t image =
      imageBytes_ - 2 * std::uint64_t{node->name.size()} + 2 * std::uint64_t{name.size()};
  if (!Fits(image)) {
    return ERROR_DISK_FULL;
  }
  auto& siblings = node->parent->children;
  siblings.erase(std::find(siblings.begin(), siblings.end(), node));
  node->name = name;
  node->parent = parent.get();
  parent->children.push_back(node);
  imageBytes_ = image;
  Changed();
  return ERROR_SUCCESS;
}

DWORD Volume::Open(std::u16string_view path, DWORD access, DWORD share, DWORD disposition,
                   DWORD flagsAndAttributes, std::shared_ptr<VolumeFile>* file, bool* existed) {
  *existed = false;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    return ERROR_INVALID_PARAMETER;
  }
  std::shared_ptr<VolumeNode> parent;
  std::u16string name;
  DWORD error = ResolveParent(path, &parent, &name);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  std::shared_ptr<VolumeNode> node = FindChild(*parent, name);
  const bool writes = (access & GENERIC_WRITE) != 0;
  if (node) {
    *existed = true;
    if (node->IsDirectory()) {
      return ERROR_ACCESS_DENIED;
    }
    if (disposition == CREATE_NEW) {
      return ERROR_FILE_EXISTS;
    }
    const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (disposition == TRUNCATE_EXISTING && !writes) {
      return ERROR_INVALID_PARAMETER;
    }
    if ((writes || truncates) && (readOnly_ || (node->attributes & FILE_ATTRIBUTE_READONLY) != 0)) {
      return ERROR_ACCESS_DENIED;
    }
    const bool reads = (access & GENERIC_READ) != 0;
    if ((reads && node->denyRead != 0) || (writes && node->denyWrite != 0) ||
        (node->readers != 0 && (share & FILE_SHARE_READ) == 0) ||
        (node->writers != 0 && (share & FILE_SHARE_WRITE) == 0)) {
      return ERROR_SHARING_VIOLATION;
    }
    if (truncates) {
      imageBytes_ -= node->content.size();
      contentBytes_ -= node->content.size();
      node->content.clear();
      node->content.shrink_to_fit();
      node->written = Now();
      if (disposition == CREATE_ALWAYS) {
        node->attributes = flagsAndAttributes & kVolumeSettableAttributes;
      }
      Changed();
    }
  } else {
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      return ERROR_FILE_NOT_FOUND;
    }
    if (readOnly_) {
      return ERROR_ACCESS_DENIED;
    }
    node = std::make_shared<VolumeNode>();
    node->name = name;
    node->attributes = flagsAndAttributes & kVolumeSettableAttributes;
    node->created = node->accessed = node->written = Now();
    node->parent = parent.get();
    const std::uint64_t image = imageBytes_ + EntryBytes(*node);
    if (!Fits(image)) {
      return ERROR_DISK_FULL;
    }
    parent->children.push_back(node);
    imageBytes_ = image;
    ++entries_;
    Changed();
  }
  *file = std::make_shared<VolumeFile>(shared_from_this(), node, access, share);
  return ERROR_SUCCESS;
}

DWORD Volume::Find(std::u16string_view pattern, std::vector<VolumeEntryInfo>* found) const {
  found->clear();
  std::size_t split = pattern.find_last_of(u"\\/");
  const std::u16string_view folder =
      split == std::u16string_view::npos ? std::u16string_view() : pattern.substr(0, split);
  const std::u16string_view last =
      split == std::u16string_view::npos ? pattern : pattern.substr(split + 1);
  if (last.empty() || last.size() > kVolumeMaxName) {
    return ERROR_INVALID_NAME;
  }
  std::shared_ptr<VolumeNode> directory;
  const DWORD error = Resolve(folder, &directory);
  if (error != ERROR_SUCCESS || !directory->IsDirectory()) {
    return ERROR_PATH_NOT_FOUND;
  }
  for (const auto& child : directory->children) {
    if (MatchVolumePattern(last, child->name)) {
      found->push_back(InfoOf(*child));
    }
  }
  return found->empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

VolumeEntryInfo Volume::RootEntry(std::u16string_view name) const {
  VolumeEntryInfo info = InfoOf(*root_);
  info.name = name;
  return info;
}

DWORD Volume::SetEntryTimes(std::u16string_view path, std::uint64_t created, std::uint64_t accessed,
                            std::uint64_t written) {
  std::shared_ptr<VolumeNode> node;
  const DWORD error = Resolve(path, &node);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  node->created = created;
  node->accessed = accessed;
  node->written = written;
  Changed();
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// VolumeFile
// ---------------------------------------------------------------------------------------------
VolumeFile::VolumeFile(std::shared_ptr<Volume> volume, std::shared_ptr<VolumeNode> node,
                       DWORD access, DWORD share)
    : volume_(std::move(volume)), node_(std::move(node)), access_(access), share_(share) {
  node_->readers += (access_ & GENERIC_READ) != 0 ? 1 : 0;
  node_->writers += (access_ & GENERIC_WRITE) != 0 ? 1 : 0;
  node_->denyRead += (share_ & FILE_SHARE_READ) == 0 ? 1 : 0;
  node_->denyWrite += (share_ & FILE_SHARE_WRITE) == 0 ? 1 : 0;
  ++node_->opens;
}

VolumeFile::~VolumeFile() {
  node_->readers -= (access_ & GENERIC_READ) != 0 ? 1 : 0;
  node_->writers -= (access_ & GENERIC_WRITE) != 0 ? 1 : 0;
  node_->denyRead -= (share_ & FILE_SHARE_READ) == 0 ? 1 : 0;
  node_->denyWrite -= (share_ & FILE_SHARE_WRITE) == 0 ? 1 : 0;
  --node_->opens;
}

DWORD VolumeFile::Usable() const {
  return volume_->Retired() ? ERROR_DEVICE_NOT_AVAILABLE : ERROR_SUCCESS;
}

DWORD VolumeFile::Read(std::uint64_t position, void* buffer, std::uint32_t bytes,
                       std::uint32_t* done) {
  *done = 0;
  if (DWORD error = Usable(); error != ERROR_SUCCESS) {
    return error;
  }
  if ((access_ & GENERIC_READ) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  const std::uint64_t size = node_->content.size();
  if (position >= size || bytes == 0) {
    return ERROR_SUCCESS;
  }
  const std::uint64_t count = std::min<std::uint64_t>(bytes, size - position);
  std::memcpy(buffer, node_->content.data() + position, static_cast<std::size_t>(count));
  *done = static_cast<std::uint32_t>(count);
  return ERROR_SUCCESS;
}

DWORD VolumeFile::Write(std::uint64_t position, const void* buffer, std::uint32_t bytes,
                        std::uint32_t* done) {
  *done = 0;
  if (DWORD error = Usable(); error != ERROR_SUCCESS) {
    return error;
  }
  if ((access_ & GENERIC_WRITE) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  if (bytes == 0) {
    return ERROR_SUCCESS;
  }
  const std::uint64_t end = position + bytes;
  if (end > 0xFFFFFFFFu) {
    return ERROR_DISK_FULL;  // FAT files end below 4 GiB
  }
  const std::uint64_t size = node_->content.size();
  const std::uint64_t growth = end > size ? end - size : 0;
  if (growth != 0 && !volume_->Fits(volume_->imageBytes_ + growth)) {
    return ERROR_DISK_FULL;
  }
  if (growth != 0) {
    node_->content.resize(static_cast<std::size_t>(end), 0);
    volume_->imageBytes_ += growth;
    volume_->contentBytes_ += growth;
  }
  std::memcpy(node_->content.data() + position, buffer, bytes);
  node_->written = volume_->Now();
  volume_->Changed();
  *done = bytes;
  return ERROR_SUCCESS;
}

DWORD VolumeFile::SetSize(std::uint64_t size) {
  if (DWORD error = Usable(); error != ERROR_SUCCESS) {
    return error;
  }
  if ((access_ & GENERIC_WRITE) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  const std::uint64_t old = node_->content.size();
  if (size > old && (size > 0xFFFFFFFFu || !volume_->Fits(volume_->imageBytes_ + size - old))) {
    return ERROR_DISK_FULL;
  }
  node_->content.resize(static_cast<std::size_t>(size), 0);
  volume_->imageBytes_ = volume_->imageBytes_ - old + size;
  volume_->contentBytes_ = volume_->contentBytes_ - old + size;
  node_->written = volume_->Now();
  volume_->Changed();
  return ERROR_SUCCESS;
}

DWORD VolumeFile::Size(std::uint64_t* size) const {
  if (DWORD error = Usable(); error != ERROR_SUCCESS) {
    return error;
  }
  *size = node_->content.size();
  return ERROR_SUCCESS;
}

DWORD VolumeFile::GetTimes(std::uint64_t* created, std::uint64_t* accessed,
                           std::uint64_t* written) const {
  if (DWORD error = Usable(); error != ERROR_SUCCESS) {
    return error;
  }
  *created = node_->created;
  *accessed = node_->accessed;
  *written = node_->written;
  return ERROR_SUCCESS;
}

DWORD VolumeFile::SetTimes(const std::uint64_t* created, const std::uint64_t* accessed,
                           const std::uint64_t* written) {
  if (DWORD error = Usable(); error != ERROR_SUCCESS) {
    return error;
  }
  if ((access_ & GENERIC_WRITE) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  if (created != nullptr) {
    node_->created = *created;
  }
  if (accessed != nullptr) {
    node_->accessed = *accessed;
  }
  if (written != nullptr) {
    node_->written = *written;
  }
  volume_->Changed();
  return ERROR_SUCCESS;
}

DWORD VolumeFile::Flush() { return Usable(); }

}  // namespace sim
