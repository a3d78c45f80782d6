#include "app/update_directories.h"

#include <windows.h>

#include <utility>

#include "diag/log.h"
#include "fsops/open_below.h"
#include "fsops/paths.h"

namespace orvo::app {
namespace {

using fsops::EqualNoCase;
using fsops::Purpose;

UpdateDirectories Refused(Refusal refusal) {
  UpdateDirectories refused;
  refused.refusal = refusal;
  return refused;
}

// True when the open root directory `volume` is what `root` ("C:\" or "\\server\share") names:
// a subst drive or a mapped drive leads into some folder, and its final path shows that; a letter
// that leads below a volume's root keeps the drive path but not the path on the volume.
bool IsTheVolumeItNames(HANDLE volume, const std::wstring& root) {
  return EqualNoCase(fsops::FinalPath(volume, root), root) &&
         (!fsops::IsDrivePath(root) || fsops::PathOnVolume(volume) == L"\\");
}

// The staging directory, opened one component at a time (OpenBelow): from the install root when it
// lies inside it, through the install root's own link if it has one; otherwise from the root of its
// volume, which must be what its drive letter or share names. ERROR_STOPPED_ON_SYMLINK in
// `staging.error` for a link on the way; `volume_error` when the volume cannot be opened.
struct Reached {
  fsops::Opened staging;
  std::wstring final_path;  // where it lies, links resolved
  DWORD volume_error = ERROR_SUCCESS;
};

Reached ReachStaging(HANDLE root, const std::wstring& long_root, const std::wstring& final_root,
                     const std::wstring& long_staging) {
  Reached reached;
  if (fsops::IsBelow(long_staging, long_root)) {
    const std::wstring below = fsops::PathBelow(long_staging, long_root);
    reached.final_path = fsops::Join(final_root, below);
    reached.staging = fsops::OpenBelow(root, below, Purpose::kRemoveDirectory);
    return reached;
  }
  reached.final_path = long_staging;
  const std::wstring volume = fsops::VolumeRoot(long_staging);
  const fsops::Opened start = fsops::OpenDirectoryPath(volume, Purpose::kListDirectory);
  if (!start) {
    reached.volume_error = start.error;
  } else if (!IsTheVolumeItNames(start.handle.get(), volume)) {
    reached.staging = fsops::Failed(ERROR_STOPPED_ON_SYMLINK);
  } else {
    reached.staging = fsops::OpenBelow(start.handle.get(), fsops::PathBelow(long_staging, volume),
                                       Purpose::kRemoveDirectory);
  }
  return reached;
}

// Stands in the system directory, outside both trees.
void LeaveCurrentDirectory() {
  std::wstring system(MAX_PATH, L'\0');
  const bool filled = fsops::FillGrowing(system, [](wchar_t* buffer, size_t size) {
    return size_t{GetSystemDirectoryW(buffer, static_cast<UINT>(size))};
  });
  if (filled) SetCurrentDirectoryW(system.c_str());
}

}  // namespace

UpdateDirectories OpenUpdateDirectories(const std::wstring& install_root,
                                        const std::wstring& staging) {
  UpdateDirectories opened;
  fsops::Directory& root = opened.install_root;
  root.path = fsops::ResolveDirectoryPath(install_root);
  opened.staging.path = fsops::ResolveDirectoryPath(staging);
  if (root.path.empty() || opened.staging.path.empty()) return Refused(Refusal::kUnusablePath);
  LeaveCurrentDirectory();
  // Long names and the letter case on disk, for the comparisons.
  const std::wstring long_root = fsops::LongPath(root.path);
  const std::wstring long_staging = fsops::LongPath(opened.staging.path);
  if (long_staging == fsops::VolumeRoot(long_staging)) return Refused(Refusal::kNotItsOwnDirectory);
  root.opened = fsops::OpenDirectoryPath(root.path, Purpose::kWriteDirectory);
  if (!root.opened) {
    diag::LogFailure(L"install root cannot be opened", root.path, root.opened.error);
    return Refused(Refusal::kInstallRootUnreachable);
  }
  const std::wstring final_root = fsops::FinalPath(root.opened.handle.get(), root.path);
  Reached reached = ReachStaging(root.opened.handle.get(), long_root, final_root, long_staging);
  if (reached.volume_error != ERROR_SUCCESS) {
    diag::LogFailure(L"volume of the staging directory cannot be opened",
                     fsops::VolumeRoot(long_staging), reached.volume_error);
    return Refused(Refusal::kVolumeUnreachable);
  }
  if (reached.staging.error == ERROR_STOPPED_ON_SYMLINK) {
    diag::LogLine(L"staging directory reached through a link: " + opened.staging.path);
    return Refused(Refusal::kLinkOnTheWay);
  }
  if (final_root.empty() || EqualNoCase(reached.final_path, final_root) ||
      fsops::IsBelow(final_root, reached.final_path)) {
    return Refused(Refusal::kNotItsOwnDirectory);
  }
  opened.staging.opened = std::move(reached.staging);
  return opened;
}

}  // namespace orvo::app
