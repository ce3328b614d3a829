// The driver's look at a built program file, as Windows itself reads it:
//   file-version PATH    the version resource through the version library, as Explorer's
//                        properties page reads it: "fixed=A.B.C.D/A.B.C.D" (file/product),
//                        "translation=LANG/CODEPAGE", then NAME=TEXT (UTF-8) per string
//   file-manifest PATH   the embedded manifest (resource 1 of type 24), its bytes as they are
//   file-icons PATH      each icon group: "ID: W W ..." (its frames' widths, in order), and
//                        "ID size S: W" (the frame the loader picks for S x S)
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/driver_text.h"

namespace {

std::wstring WidePath(const char* s) {
    // The C runtime hands argv over in the prefix's code page.
    const int n = ::MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, s, -1, &w[0], n);
    w.resize(w.size() - 1);
    return w;
}

int FileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        std::printf("no version resource (error %u)\n", static_cast<unsigned>(::GetLastError()));
        return 1;
    }
    std::vector<unsigned char> block(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return 1;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed ||
        fixed->dwSignature != 0xFEEF04BD)
        return 1;
    std::printf("fixed=%u.%u.%u.%u/%u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
                HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    std::printf("filetype=%u\n", static_cast<unsigned>(fixed->dwFileType));
    WORD* translation = nullptr;
    if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                          &length) ||
        length < 4)
        return 1;
    std::printf("translation=%04X/%u\n", translation[0], translation[1]);
    // The strings of the block the translation names, the way Explorer finds them.
    wchar_t block_name[64];
    std::swprintf(block_name, 64, L"\\StringFileInfo\\%04X%04X\\", translation[0], translation[1]);
    static const wchar_t* const kNames[] = {L"CompanyName",      L"FileDescription",  L"FileVersion",
                                            L"InternalName",     L"LegalCopyright",   L"OriginalFilename",
                                            L"ProductName",      L"ProductVersion"};
    for (const wchar_t* name : kNames) {
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring(block_name) + name;
        if (::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) && value)
            std::printf("%s=%s\n", ToUtf8(name).c_str(), ToUtf8(value).c_str());
    }
    return 0;
}

// A group icon's directory in a module: the header, then one 14-byte entry per frame.
#pragma pack(push, 2)
struct GroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bits;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

BOOL CALLBACK ListGroup(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR) {
    if (!IS_INTRESOURCE(name)) return TRUE;
    HRSRC found = ::FindResourceW(module, name, type);
    const DWORD size = found ? ::SizeofResource(module, found) : 0;
    const BYTE* dir = found ? static_cast<const BYTE*>(::LockResource(::LoadResource(module, found))) : nullptr;
    if (!dir || size < 6) return TRUE;
    const WORD count = *reinterpret_cast<const WORD*>(dir + 4);
    const int id = static_cast<int>(reinterpret_cast<ULONG_PTR>(name));
    std::printf("%d:", id);
    for (WORD i = 0; i < count && 6 + (i + 1) * sizeof(GroupEntry) <= size; ++i) {
        const GroupEntry* e = reinterpret_cast<const GroupEntry*>(dir + 6 + i * sizeof(GroupEntry));
        std::printf(" %d", e->width ? e->width : 256);
    }
    std::printf("\n");
    // The frame the loader would take for each small-icon size, 96 to 192 DPI, and for
    // Explorer's medium icons.
    for (int s : {16, 20, 24, 32, 48}) {
        const int frame = ::LookupIconIdFromDirectoryEx(const_cast<BYTE*>(dir), TRUE, s, s, LR_DEFAULTCOLOR);
        for (WORD i = 0; i < count && 6 + (i + 1) * sizeof(GroupEntry) <= size; ++i) {
            const GroupEntry* e = reinterpret_cast<const GroupEntry*>(dir + 6 + i * sizeof(GroupEntry));
            if (e->id == frame) std::printf("%d size %d: %d\n", id, s, e->width ? e->width : 256);
        }
    }
    return TRUE;
}

}  // namespace

// -1 when command is not one of these, 2 for bad usage.
int PackageCommand(const std::string& command, int argc, char** argv) {
    if (command == "file-version") return argc == 3 ? FileVersion(WidePath(argv[2])) : 2;
    if (command == "file-manifest" || command == "file-icons") {
        if (argc != 3) return 2;
        HMODULE module = ::LoadLibraryExW(WidePath(argv[2]).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!module) return 1;
        int rc = 0;
        if (command == "file-icons") {
            ::EnumResourceNamesW(module, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, ListGroup, 0);
        } else {
            HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24) /* RT_MANIFEST */);
            const void* bytes = found ? ::LockResource(::LoadResource(module, found)) : nullptr;
            if (bytes)
                std::fwrite(bytes, 1, ::SizeofResource(module, found), stdout);
            else
                rc = 1;
        }
        ::FreeLibrary(module);
        return rc;
    }
    return -1;
}
