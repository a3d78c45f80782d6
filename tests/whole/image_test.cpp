// What the built OrvoUpdater.exe carries: PE header, imports, manifest and version resource.

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tools/harness/debug_session.h"

namespace orvo {
namespace {

std::wstring ExePath() { return test::UpdaterPath(); }

std::vector<unsigned char> ReadBytes(const std::wstring& path) {
  const std::string text = test::ReadText(path);
  return std::vector<unsigned char>(text.begin(), text.end());
}

template <typename T>
T At(const std::vector<unsigned char>& image, size_t offset) {
  T value{};
  if (offset + sizeof(T) <= image.size()) std::memcpy(&value, image.data() + offset, sizeof(T));
  return value;
}

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = ReadBytes(ExePath());
    ASSERT_GT(image_.size(), 1024u);
    nt_ = At<LONG>(image_, offsetof(IMAGE_DOS_HEADER, e_lfanew));
    headers_ = At<IMAGE_NT_HEADERS64>(image_, nt_);
  }
  // File offset of a relative virtual address, through the section table.
  size_t Offset(DWORD rva) const {
    const size_t sections = nt_ + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                            headers_.FileHeader.SizeOfOptionalHeader;
    for (WORD i = 0; i < headers_.FileHeader.NumberOfSections; ++i) {
      const auto section = At<IMAGE_SECTION_HEADER>(image_, sections + i * sizeof(IMAGE_SECTION_HEADER));
      if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize) {
        return rva - section.VirtualAddress + section.PointerToRawData;
      }
    }
    return image_.size();
  }

  std::vector<unsigned char> image_;
  LONG nt_ = 0;
  IMAGE_NT_HEADERS64 headers_ = {};
};

TEST_F(ImageTest, IsA64BitGuiProgram) {
  EXPECT_EQ(headers_.Signature, static_cast<DWORD>(IMAGE_NT_SIGNATURE));
  EXPECT_EQ(headers_.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(headers_.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ(headers_.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST_F(ImageTest, ImportsOnlySystemDlls) {
  const IMAGE_DATA_DIRECTORY imports =
      headers_.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(imports.VirtualAddress, 0u);
  std::vector<std::string> names;
  for (size_t at = Offset(imports.VirtualAddress);; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(image_, at);
    if (descriptor.Name == 0) break;
    const size_t name = Offset(descriptor.Name);
    ASSERT_LT(name, image_.size());
    names.emplace_back(reinterpret_cast<const char*>(image_.data() + name));
  }
  ASSERT_FALSE(names.empty());
  for (const std::string& name : names) {
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    const bool system = upper == "KERNEL32.DLL" || upper == "USER32.DLL" || upper == "SHELL32.DLL" ||
                        upper == "ADVAPI32.DLL" || upper == "NTDLL.DLL" || upper == "MSVCRT.DLL" ||
                        upper.rfind("API-MS-WIN-CRT-", 0) == 0;
    EXPECT_TRUE(system) << "imports " << name;
  }
}

// The resources, read back through the loader's resource functions.
class ResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(ExePath().c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  std::string Bytes(LPCWSTR type) const {
    const HRSRC found = FindResourceExW(module_, type, MAKEINTRESOURCEW(1), 1033);
    if (!found) return "<none>";
    const auto* data = static_cast<const char*>(LockResource(LoadResource(module_, found)));
    return std::string(data, SizeofResource(module_, found));
  }
  HMODULE module_ = nullptr;
};

std::vector<ULONG_PTR> g_ids;
BOOL CALLBACK CollectType(HMODULE, LPWSTR type, LONG_PTR) {
  g_ids.push_back(IS_INTRESOURCE(type) ? reinterpret_cast<ULONG_PTR>(type) : ~ULONG_PTR{0});
  return TRUE;
}
BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR) {
  g_ids.push_back(IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : ~ULONG_PTR{0});
  return TRUE;
}
BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR) {
  g_ids.push_back(language);
  return TRUE;
}

TEST_F(ResourceTest, CarriesAManifestAndAVersionAndNothingElse) {
  g_ids.clear();
  EnumResourceTypesW(module_, CollectType, 0);
  EXPECT_EQ(g_ids, (std::vector<ULONG_PTR>{16, 24}));  // RT_VERSION, RT_MANIFEST
  for (const ULONG_PTR type : {16, 24}) {
    g_ids.clear();
    EnumResourceNamesW(module_, MAKEINTRESOURCEW(type), CollectName, 0);
    EXPECT_EQ(g_ids, std::vector<ULONG_PTR>{1}) << "type " << type;
    g_ids.clear();
    EnumResourceLanguagesW(module_, MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(1), CollectLanguage, 0);
    EXPECT_EQ(g_ids, std::vector<ULONG_PTR>{1033}) << "type " << type;
  }
}

TEST_F(ResourceTest, ManifestDemandsAdministratorRights) {
  EXPECT_EQ(Bytes(MAKEINTRESOURCEW(24)),
            "<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\r\n"
            "<assembly xmlns='urn:schemas-microsoft-com:asm.v1' manifestVersion='1.0'>\r\n"
            "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
            "    <security>\r\n"
            "      <requestedPrivileges>\r\n"
            "        <requestedExecutionLevel level='requireAdministrator' uiAccess='false' />\r\n"
            "      </requestedPrivileges>\r\n"
            "    </security>\r\n"
            "  </trustInfo>\r\n"
            "</assembly>\r\n");
}

// One node of a version resource: key, value bytes, children.
struct VersionBlock {
  std::wstring key;
  std::string value;
  std::vector<VersionBlock> children;
};

WORD Word(const std::string& data, size_t at) {
  WORD value = 0;
  if (at + 2 <= data.size()) std::memcpy(&value, data.data() + at, 2);
  return value;
}

VersionBlock ParseBlock(const std::string& data, size_t at, size_t& next) {
  const WORD length = Word(data, at);
  const WORD value_length = Word(data, at + 2);
  const WORD type = Word(data, at + 4);
  VersionBlock block;
  size_t cursor = at + 6;
  for (; cursor + 1 < data.size() && Word(data, cursor) != 0; cursor += 2) {
    block.key += static_cast<wchar_t>(Word(data, cursor));
  }
  cursor = (cursor + 2 + 3) & ~size_t{3};
  const size_t value_bytes = type == 1 ? value_length * 2u : value_length;
  block.value = data.substr(cursor, value_bytes);
  cursor = (cursor + value_bytes + 3) & ~size_t{3};
  const size_t end = at + length;
  while (cursor < end) {
    size_t after = 0;
    block.children.push_back(ParseBlock(data, cursor, after));
    cursor = (after + 3) & ~size_t{3};
  }
  next = end;
  return block;
}

TEST_F(ResourceTest, VersionNamesTheUpdater) {
  // The fixed part, through the version functions.
  const std::wstring path = ExePath();
  DWORD ignored = 0;
  std::vector<char> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  EXPECT_EQ(fixed->dwFileFlagsMask, 0u);
  EXPECT_EQ(fixed->dwFileFlags, 0u);
  EXPECT_EQ(fixed->dwFileOS, 0x00040004u);
  EXPECT_EQ(fixed->dwFileType, 1u);
  EXPECT_EQ(fixed->dwFileSubtype, 0u);
  EXPECT_EQ(fixed->dwFileDateMS, 0u);
  EXPECT_EQ(fixed->dwFileDateLS, 0u);
  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &size));
  ASSERT_EQ(size, 4u);
  EXPECT_EQ(translation[0], 0x0804);
  EXPECT_EQ(translation[1], 0x03B0);

  // The string table: exactly these keys, in this order.
  size_t next = 0;
  const VersionBlock root = ParseBlock(Bytes(MAKEINTRESOURCEW(16)), 0, next);
  EXPECT_EQ(root.key, L"VS_VERSION_INFO");
  ASSERT_EQ(root.children.size(), 2u);
  EXPECT_EQ(root.children[0].key, L"StringFileInfo");
  EXPECT_EQ(root.children[1].key, L"VarFileInfo");
  ASSERT_EQ(root.children[0].children.size(), 1u);
  const VersionBlock& table = root.children[0].children[0];
  EXPECT_EQ(table.key, L"080403B0");
  std::vector<std::wstring> pairs;
  for (const auto& string : table.children) {
    std::wstring value(reinterpret_cast<const wchar_t*>(string.value.data()), string.value.size() / 2);
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    pairs.push_back(string.key + L"=" + value);
  }
  EXPECT_EQ(pairs, (std::vector<std::wstring>{
                       L"CompanyName=Kestrava", L"FileDescription=Kestrava Auto Updater",
                       L"FileVersion=1.0.0.0", L"InternalName=OrvoUpdater",
                       L"OriginalFilename=OrvoUpdater.exe", L"ProductName=Kestrava Updater",
                       L"ProductVersion=1.0.0.0"}));
}

}  // namespace
}  // namespace orvo
