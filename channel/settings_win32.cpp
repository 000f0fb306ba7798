// The settings file on Windows: beside the DLL (found from the module that
// holds this code), or where SK5820_INI in the host's environment says (a
// name that is not full, within the DLL's folder); its sections read with
// GetPrivateProfileSectionA.
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

// The folder of the module that holds this code, with its last separator,
// and `name` behind it; false when it cannot be had or does not fit.
bool InModuleFolder(const char* name, char* out, DWORD size) {
    HMODULE module = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&InModuleFolder), &module)) return false;
    const DWORD length = GetModuleFileNameA(module, out, size);
    if (length == 0 || length >= size) return false;
    char* base = const_cast<char*>(BaseName(out));
    const size_t nameSize = strlen(name) + 1;
    if (static_cast<size_t>(base - out) + nameSize > size) return false;
    memcpy(base, name, nameSize);
    return true;
}

// The file SK5820_INI names, made full: false when it is not set.
bool NamedFile(SettingsFile* file) {
    char named[1024];
    const DWORD length = GetEnvironmentVariableA("SK5820_INI", named, sizeof named);
    if (length == 0) return false;
    file->state = SettingsFileState::TooLong;
    if (length >= sizeof named) {
        file->namedLength = length - 1;  // the size it asked for holds the ending NUL
        return true;
    }
    file->namedLength = length;
    if (FullPath(named)) {
        if (length >= sizeof file->path) return true;
        memcpy(file->path, named, length + 1);
    } else {
        char folder[MAX_PATH + 1];
        if (!InModuleFolder("", folder, sizeof folder)) return true;
        file->namedLength = static_cast<uint32_t>(strlen(folder)) + length;
        if (file->namedLength >= sizeof file->path) return true;
        memcpy(file->path, folder, strlen(folder));
        memcpy(file->path + strlen(folder), named, length + 1);
    }
    file->state = SettingsFileState::NotFound;  // until it is found
    return true;
}

}  // namespace

SettingsFile LocateSettingsFile() {
    SettingsFile file;
    const bool named = NamedFile(&file);
    if (file.state == SettingsFileState::TooLong) return file;
    if (!named && !InModuleFolder(kFileName, file.path, sizeof file.path)) return file;
    file.nameAt = static_cast<uint32_t>(BaseName(file.path) - file.path);
    // No file: the defaults; logged when SK5820_INI named it.
    if (GetFileAttributesA(file.path) == INVALID_FILE_ATTRIBUTES) return file;
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
