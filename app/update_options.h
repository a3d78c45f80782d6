#pragma once

#include <cstdint>
#include <string>

namespace orvo::app {

// What the command line asked for. The entry owns one record for the whole run; the other parts of
// the program receive what they need from it as arguments.
struct UpdateOptions {
  std::int32_t process_id = 0;               // --pid; 0 means absent
  std::wstring install_root;                 // --install-root
  std::wstring staging_dir;                  // --staging-dir
  std::wstring exe_subdir = L"bin/64bit";    // --exe-subdir, relative to the install root
  std::wstring restart_exe = L"Kestrava.exe";  // --restart
};

}  // namespace orvo::app
