#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvo::test {

using Lines = std::vector<std::string>;

// Waits up to a minute for `path` to appear (what a started process writes); true once it is.
bool WaitForFile(const std::wstring& path);
// Every entry below `root` as "relative\path" (directories end with "\"), with "=" and the
// file's content Shown after files, sorted. Links are listed with "->" and not entered.
Lines Snapshot(const std::wstring& root);
// A file's content as a snapshot shows it: short text as it is, anything else by its size and a
// hash, so that a failing comparison stays readable.
std::string Shown(const std::string& content);
// The directory that holds the test executable and the other built programs.
std::wstring BinDirectory();
// A drive ("Q:") that this session has no definition for, as the elevated updater sees a user's
// mapped drive or subst letter: no volume, no link, no network. Empty when every letter is taken.
std::wstring UnseenDrive();

// A fresh, empty folder for each test, removed afterwards.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::wstring Path(const std::wstring& relative) const { return dir_ + L"\\" + relative; }

  std::wstring dir_;
  wchar_t saved_directory_[MAX_PATH] = {};  // given back after the test
};

}  // namespace orvo::test
