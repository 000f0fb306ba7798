// The settings file on Windows: beside the DLL (found from the module that
// holds this code), or where SK5820_INI in the host's environment says; its
// sections read with GetPrivateProfileSectionA.
#include <windows.h>

#include <cstring>

#include "channel/settings.h"

namespace {

constexpr char kFileName[] = "SK5820.ini";

const char* BaseName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    }
    return name;
}

// The folder of the module that holds this code, with its last separator;
// false when it cannot be had or the file's name would not fit behind it.
bool ModuleFolder(char* out, DWORD size) {
    HMODULE module = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&ModuleFolder), &module)) return false;
    const DWORD length = GetModuleFileNameA(module, out, size);
    if (length == 0 || length >= size) return false;
    char* name = const_cast<char*>(BaseName(out));
    if (static_cast<size_t>(name - out) + sizeof kFileName > size) return false;
    memcpy(name, kFileName, sizeof kFileName);
    return true;
}

}  // namespace

SettingsFile LocateSettingsFile() {
    SettingsFile file;
    const DWORD named = GetEnvironmentVariableA("SK5820_INI", file.path, sizeof file.path);
    if (named == 0 || named >= sizeof file.path) {
        if (!ModuleFolder(file.path, sizeof file.path)) return file;
    }
    file.nameAt = static_cast<uint32_t>(BaseName(file.path) - file.path);
    if (GetFileAttributesA(file.path) == INVALID_FILE_ATTRIBUTES) return file;  // no file: the defaults
    const HANDLE probe = CreateFileA(file.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        file.state = SettingsFileState::Unreadable;
        file.windowsError = GetLastError();
        return file;
    }
    CloseHandle(probe);
    file.state = SettingsFileState::Readable;
    return file;
}

bool ReadSettingsSection(const SettingsFile& file, const char* section, char* out, uint32_t size) {
    const DWORD length = GetPrivateProfileSectionA(section, out, size, file.path);
    // A section that fills the buffer was cut: GetPrivateProfileSectionA
    // then answers size - 2.
    if (size >= 2 && length >= size - 2) {
        out[0] = out[1] = '\0';
        return false;
    }
    return true;
}
