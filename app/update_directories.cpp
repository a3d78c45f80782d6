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

// A refusal, said in one debug line.
UpdateDirectories Refused(Refusal refusal, const std::wstring& why) {
  diag::LogLine(why);
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

bool HoldsTheInstallRoot(HANDLE staging, HANDLE root, const std::wstring& final_root) {
  fsops::FileIdentity staging_id, id;
  if (!fsops::QueryIdentity(staging, staging_id) || !fsops::QueryIdentity(root, id) ||
      staging_id == id) {
    return true;
  }
  const std::wstring volume = fsops::VolumeRoot(final_root);
  for (std::wstring above = final_root; above.size() > volume.size();) {
    const size_t cut = above.find_last_of(L'\\');
    above = cut < volume.size() ? volume : above.substr(0, cut);
    const fsops::Opened ancestor = fsops::OpenDirectoryPath(above, Purpose::kIdentify);
    if (!ancestor || !fsops::QueryIdentity(ancestor.handle.get(), id) || staging_id == id) {
      return true;
    }
  }
  return fsops::PathOnVolume(staging) == L"\\";
}

UpdateDirectories OpenUpdateDirectories(const std::wstring& install_root,
                                        const std::wstring& staging) {
  UpdateDirectories opened;
  fsops::Directory& root = opened.install_root;
  root.path = fsops::ResolveDirectoryPath(install_root);
  opened.staging.path = fsops::ResolveDirectoryPath(staging);
  if (root.path.empty()) {
    return Refused(Refusal::kUnusablePath, L"install root is not a usable path: " + install_root);
  }
  if (opened.staging.path.empty()) {
    return Refused(Refusal::kUnusablePath, L"staging directory is not a usable path: " + staging);
  }
  LeaveCurrentDirectory();
  const std::wstring not_its_own =
      L"staging directory is the install root, lies above it, or is a volume's root: " +
      opened.staging.path;
  // Long names and the letter case on disk, for the comparisons.
  const std::wstring long_root = fsops::LongPath(root.path);
  const std::wstring long_staging = fsops::LongPath(opened.staging.path);
  if (long_staging == fsops::VolumeRoot(long_staging)) {
    return Refused(Refusal::kNotItsOwnDirectory, not_its_own);
  }
  root.opened = fsops::OpenDirectoryPath(root.path, Purpose::kWriteDirectory);
  if (!root.opened) {
    return Refused(Refusal::kInstallRootUnreachable,
                   diag::FailureText(L"install root cannot be opened", root.path, root.opened.error));
  }
  const std::wstring final_root = fsops::FinalPath(root.opened.handle.get(), root.path);
  if (final_root.empty()) {
    return Refused(Refusal::kInstallRootUnnamed,
                   L"install root's final path cannot be named: " + root.path);
  }
  Reached reached = ReachStaging(root.opened.handle.get(), long_root, final_root, long_staging);
  if (reached.volume_error != ERROR_SUCCESS) {
    return Refused(Refusal::kVolumeUnreachable,
                   diag::FailureText(L"volume of the staging directory cannot be opened",
                                     fsops::VolumeRoot(long_staging), reached.volume_error));
  }
  const DWORD staging_error = reached.staging.error;
  if (staging_error == ERROR_STOPPED_ON_SYMLINK) {
    return Refused(Refusal::kLinkOnTheWay,
                   L"staging directory reached through a link: " + opened.staging.path);
  }
  // Only a staging directory that is not there is nothing to copy; one that is there but cannot
  // be opened would pass for an update that never happened.
  if (staging_error != ERROR_SUCCESS && staging_error != ERROR_FILE_NOT_FOUND &&
      staging_error != ERROR_PATH_NOT_FOUND) {
    return Refused(Refusal::kStagingUnreachable,
                   diag::FailureText(L"staging directory cannot be opened", opened.staging.path,
                                     staging_error));
  }
  if (EqualNoCase(reached.final_path, final_root) || fsops::IsBelow(final_root, reached.final_path) ||
      (reached.staging && HoldsTheInstallRoot(reached.staging.handle.get(),
                                              root.opened.handle.get(), final_root))) {
    return Refused(Refusal::kNotItsOwnDirectory, not_its_own);
  }
  opened.staging.opened = std::move(reached.staging);
  return opened;
}

}  // namespace orvo::app
