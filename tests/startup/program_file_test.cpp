// What the built TovrinHost.exe carries: its version information, its
// application manifest, and a PE header and import table that let it run
// as a 64-bit GUI program on a machine without any compiler runtime.
#include <gtest/gtest.h>

#include "tovrin_test_support.h"

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace {

std::wstring ver_string(const std::vector<BYTE> &info, const wchar_t *name)
{
    std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void *value = NULL;
    UINT len = 0;
    if (!VerQueryValueW(info.data(), key.c_str(), &value, &len) || !value) {
        return L"(missing)";
    }
    std::wstring s((const wchar_t *)value, len);
    while (!s.empty() && s.back() == L'\0') {
        s.pop_back();
    }
    return s;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; });
    return s;
}

// The file's bytes, and a reader of its PE structures by file offset.
struct pe_file {
    std::string bytes;
    const IMAGE_NT_HEADERS64 *nt = NULL;

    bool load(const std::wstring &path)
    {
        if (!tvt::read_file(path, &bytes) || bytes.size() < sizeof(IMAGE_DOS_HEADER)) {
            return false;
        }
        const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)bytes.data();
        if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 ||
            (size_t)dos->e_lfanew + sizeof(IMAGE_NT_HEADERS64) > bytes.size()) {
            return false;
        }
        nt = (const IMAGE_NT_HEADERS64 *)(bytes.data() + dos->e_lfanew);
        return nt->Signature == IMAGE_NT_SIGNATURE;
    }

    // File offset of a relative virtual address, or 0 when no section holds it.
    size_t offset_of(DWORD rva) const
    {
        const IMAGE_SECTION_HEADER *sec = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++, sec++) {
            DWORD size = std::max(sec->Misc.VirtualSize, sec->SizeOfRawData);
            if (rva >= sec->VirtualAddress && rva < sec->VirtualAddress + size) {
                size_t off = (size_t)rva - sec->VirtualAddress + sec->PointerToRawData;
                return off < bytes.size() ? off : 0;
            }
        }
        return 0;
    }

    std::vector<std::string> imported_dlls() const
    {
        std::vector<std::string> names;
        const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        size_t off = dir.VirtualAddress ? offset_of(dir.VirtualAddress) : 0;
        if (!off) {
            return names;
        }
        for (;; off += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            if (off + sizeof(IMAGE_IMPORT_DESCRIPTOR) > bytes.size()) {
                names.push_back("(truncated import table)");
                break;
            }
            const IMAGE_IMPORT_DESCRIPTOR *d = (const IMAGE_IMPORT_DESCRIPTOR *)(bytes.data() + off);
            if (d->Name == 0 && d->FirstThunk == 0) {
                break;
            }
            size_t name_off = offset_of(d->Name);
            names.push_back(name_off ? std::string(bytes.c_str() + name_off) : "(bad name)");
        }
        return names;
    }
};

} // namespace

TEST(ProgramFile, VersionInformation)
{
    std::wstring exe = tvt::release_host_exe();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
    ASSERT_GT(size, 0u) << "no version information";
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO *fixed = NULL;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", (void **)&fixed, &len));
    ASSERT_TRUE(fixed && len >= sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(0x00000001u, fixed->dwFileVersionMS); // 0.1
    EXPECT_EQ(0x00010001u, fixed->dwFileVersionLS); // .1.1
    EXPECT_EQ((DWORD)VFT_APP, fixed->dwFileType);

    struct translation {
        WORD language;
        WORD code_page;
    };
    translation *tr = NULL;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", (void **)&tr, &len));
    ASSERT_TRUE(tr && len >= sizeof(translation));
    EXPECT_EQ(0x0409, tr->language);
    EXPECT_EQ(1200, tr->code_page);

    EXPECT_EQ(L"0.1.1.1", ver_string(info, L"FileVersion"));
    EXPECT_EQ(L"0.1.1", ver_string(info, L"ProductVersion"));
    EXPECT_EQ(L"Tovrin Host", ver_string(info, L"ProductName"));
    EXPECT_EQ(L"Tovrin Host", ver_string(info, L"FileDescription"));
    EXPECT_EQ(L"TovrinHost.exe", ver_string(info, L"InternalName"));
    EXPECT_EQ(L"TovrinHost.exe", ver_string(info, L"OriginalFilename"));
}

TEST(ProgramFile, ApplicationManifest)
{
    HMODULE mod = LoadLibraryExW(tvt::release_host_exe().c_str(), NULL,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_TRUE(mod != NULL) << GetLastError();
    HRSRC res = FindResourceW(mod, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)); // RT_MANIFEST
    ASSERT_TRUE(res != NULL) << "no manifest resource 1";
    HGLOBAL loaded = LoadResource(mod, res);
    DWORD size = SizeofResource(mod, res);
    const char *data = loaded ? (const char *)LockResource(loaded) : NULL;
    ASSERT_TRUE(data && size > 0);
    std::string xml(data, size);
    FreeLibrary(mod);

    auto has = [&](const char *pattern) {
        return std::regex_search(xml, std::regex(pattern, std::regex::icase));
    };
    EXPECT_TRUE(has("<requestedExecutionLevel[^>]*\\blevel=\"asInvoker\"")) << xml;
    // Common Controls 6: the dependent assembly's identity names both.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        xml, m, std::regex("<assemblyIdentity[^>]*Microsoft\\.Windows\\.Common-Controls[^>]*>")))
        << xml;
    std::string identity = m.str();
    EXPECT_NE(std::string::npos, identity.find("version=\"6.0.0.0\"")) << identity;
    EXPECT_TRUE(has("<dpiAwareness[^>]*>[^<]*PerMonitor") || has("<dpiAware[^>]*>\\s*true/pm"))
        << xml;
    EXPECT_TRUE(has("<supportedOS\\s+Id=\"\\{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a\\}\"")) << xml;
}

TEST(ProgramFile, SixtyFourBitGuiProgramWithoutCompilerRuntimeDlls)
{
    pe_file pe;
    ASSERT_TRUE(pe.load(tvt::release_host_exe()));
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, pe.nt->FileHeader.Machine);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR64_MAGIC, pe.nt->OptionalHeader.Magic);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, pe.nt->OptionalHeader.Subsystem);

    std::vector<std::string> dlls = pe.imported_dlls();
    ASSERT_FALSE(dlls.empty());
    bool kernel32 = false;
    wchar_t sysdir[MAX_PATH];
    UINT n = GetSystemDirectoryW(sysdir, MAX_PATH);
    ASSERT_GT(n, 0u);
    const char *runtime_prefixes[] = {"libgcc", "libstdc++", "libwinpthread", "libssp", "libgomp",
                                      "libatomic", "libquadmath", "mingw", "cyg", "msys"};
    for (const std::string &dll : dlls) {
        std::string name = lower(dll);
        kernel32 = kernel32 || name == "kernel32.dll";
        for (const char *prefix : runtime_prefixes) {
            EXPECT_NE(0u, name.find(prefix)) << dll;
        }
        // Every import is a DLL the system itself provides.
        EXPECT_TRUE(tvt::file_exists(std::wstring(sysdir, n) + L"\\" + tvt::widen(dll))) << dll;
    }
    EXPECT_TRUE(kernel32);
}
