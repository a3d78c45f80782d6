#include "app/update_directories.h"

#include <windows.h>

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

// Stands in the system directory, outside both trees.
void LeaveCurrentDirectory() {
  std::wstring system(MAX_PATH, L'\0');
  const bool filled = fsops::FillGrowing(system, [](wchar_t* buffer, size_t size) {
    return size_t{GetSystemDirectoryW(buffer, static_cast<UINT>(size))};
  });
  if (filled) SetCurrentDirectoryW(system.c_str());
}

}  // namespace

std::wstring ResolveDirectoryPath(const std::wstring& path) {
  if (path.empty() || fsops::IsDriveRelative(path)) return std::wstring();
  std::wstring source = path;
  if (fsops::IsNamespacePath(path)) {
    // The prefix "\\?\" turns off all resolving ("\\?\C:\a\..\b" names a directory ".."): such a
    // path is taken only where it names what it would name without the prefix.
    source = path.compare(0, 4, L"\\\\?\\") == 0 ? fsops::WithoutExtendedPrefix(path) : L"";
    if (source.empty() || !EqualNoCase(fsops::TrimSeparators(fsops::FullPath(source)),
                                       fsops::TrimSeparators(source))) {
      return std::wstring();
    }
  }
  const std::wstring full = fsops::FullPath(source);
  // A device name comes back as "\\.\NUL": anything but a drive or a share path is refused.
  if (fsops::VolumeRoot(full).empty()) return std::wstring();
  return fsops::TrimSeparators(full);
}

UpdateDirectories OpenUpdateDirectories(const std::wstring& install_root,
                                        const std::wstring& staging) {
  UpdateDirectories opened;
  fsops::Directory& root = opened.install_root;
  fsops::Directory& stage = opened.staging;
  root.path = ResolveDirectoryPath(install_root);
  stage.path = ResolveDirectoryPath(staging);
  if (root.path.empty() || stage.path.empty()) return Refused(Refusal::kUnusablePath);
  LeaveCurrentDirectory();
  // Long names and the letter case on disk, for the comparisons below.
  const std::wstring long_root = fsops::LongPath(root.path);
  const std::wstring long_staging = fsops::LongPath(stage.path);
  const std::wstring volume = fsops::VolumeRoot(long_staging);
  if (long_staging == volume) return Refused(Refusal::kNotItsOwnDirectory);

  root.opened = fsops::OpenDirectoryPath(root.path, Purpose::kWriteDirectory);
  if (!root.opened) {
    diag::LogFailure(L"install root cannot be opened", root.path, root.opened.error);
    return Refused(Refusal::kInstallRootUnreachable);
  }
  const std::wstring final_root = fsops::FinalPath(root.opened.handle.get(), root.path);
  std::wstring final_staging = long_staging;
  bool link = false;
  if (fsops::IsBelow(long_staging, long_root)) {
    const std::wstring below = fsops::PathBelow(long_staging, long_root);
    final_staging = fsops::Join(final_root, below);
    stage.opened = fsops::OpenBelow(root.opened.handle.get(), below, Purpose::kRemoveDirectory);
  } else {
    const fsops::Opened start = fsops::OpenDirectoryPath(volume, Purpose::kListDirectory);
    if (!start) {
      diag::LogFailure(L"volume of the staging directory cannot be opened", volume, start.error);
      return Refused(Refusal::kVolumeUnreachable);
    }
    link = !IsTheVolumeItNames(start.handle.get(), volume);
    if (!link) {
      stage.opened = fsops::OpenBelow(start.handle.get(), fsops::PathBelow(long_staging, volume),
                                      Purpose::kRemoveDirectory);
    }
  }
  if (link || stage.opened.error == ERROR_STOPPED_ON_SYMLINK) {
    diag::LogLine(L"staging directory reached through a link: " + stage.path);
    return Refused(Refusal::kLinkOnTheWay);
  }
  if (final_root.empty() || EqualNoCase(final_staging, final_root) ||
      fsops::IsBelow(final_root, final_staging)) {
    return Refused(Refusal::kNotItsOwnDirectory);
  }
  return opened;
}

}  // namespace orvo::app
