// The settings file natively, for the channel's tests: the file SK5820_INI
// names (no DLL to stand beside), read with a small INI reader that answers
// a section the way GetPrivateProfileSectionA does.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "channel/settings.h"

SettingsFile LocateSettingsFile() {
    SettingsFile file;
    const char* named = getenv("SK5820_INI");
    if (named == nullptr || *named == '\0') return file;
    if (strlen(named) >= sizeof file.path) {
        file.state = SettingsFileState::TooLong;
        file.namedLength = static_cast<uint32_t>(strlen(named));
        return file;
    }
    memcpy(file.path, named, strlen(named) + 1);
    const char* slash = strrchr(file.path, '/');
    file.nameAt = slash != nullptr ? static_cast<uint32_t>(slash + 1 - file.path) : 0;
    FILE* f = fopen(file.path, "r");
    if (f == nullptr) {
        file.state = SettingsFileState::NotFound;
        return file;
    }
    fclose(f);
    file.state = SettingsFileState::Readable;
    return file;
}

bool ReadSettingsSection(const SettingsFile& file, const char* section, char* out, uint32_t size) {
    out[0] = out[1] = '\0';
    FILE* f = fopen(file.path, "r");
    if (f == nullptr) return true;
    char line[1024];
    bool inside = false;
    uint32_t used = 0;
    bool fits = true;
    while (fgets(line, sizeof line, f) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == '[') {
            char* end = strchr(line, ']');
            if (end != nullptr) *end = '\0';
            inside = strcasecmp(line + 1, section) == 0;
            continue;
        }
        if (!inside || line[0] == '\0') continue;
        const uint32_t n = static_cast<uint32_t>(strlen(line)) + 1;
        if (used + n + 1 > size) {
            fits = false;
            break;
        }
        memcpy(out + used, line, n);
        used += n;
        out[used] = '\0';
    }
    fclose(f);
    if (!fits) out[0] = out[1] = '\0';
    return fits;
}
