#pragma once

#include <windows.h>

#include <string>

// The trees of tests/fixtures.txt: links, hard links, folders that cannot be listed.

namespace orvo::test {

// True under Wine, whose file system lacks what some tests are about.
bool OnWine();

// The path of the tree `scenario`: the one the host made (ORVO_LINK_FIXTURES, the tests under
// Wine), or else one that this program makes now in `folder`. Empty, with `why` saying what this
// system could not make, when the tree cannot be had.
std::wstring Fixture(const std::wstring& scenario, const std::wstring& folder, std::string& why);

// Makes the tree `scenario` in `folder` with this system's own calls, as far as it can: every
// element it can make is made and checked to be what was asked for. Returns what could not be
// made, one "<kind> <path>: <why>; " each, or "" when all of it was.
std::string MakeFixture(const std::wstring& scenario, const std::wstring& folder);

// Another name of the existing folder `path`, which the system resolves by another route to the
// same folder: under Wine, for a folder of the tree "alias", the drive M: that the host made lead
// into it; on Windows the administrator's loopback share \\localhost\C$. Empty, with `why`
// saying why, where there is none.
std::wstring OtherSpelling(const std::wstring& path, std::string& why);

// Gives the file or folder `path` the DACL `dacl` (SDDL, "D:P(...)"). ERROR_SUCCESS or the
// system's code.
DWORD SetAccess(const std::wstring& path, const wchar_t* dacl);

// Makes `at` a directory junction to the folder `target`, as mklink /J does. ERROR_SUCCESS or the
// system's code.
DWORD MakeJunction(const std::wstring& at, const std::wstring& target);

}  // namespace orvo::test
