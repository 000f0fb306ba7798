#include "serial/environment.h"

#include "host/records.h"
#include "serial/win32_api.h"

bool EnvironmentText(const char* name, char* out, uint32_t size) {
    if (size == 0) return false;
    out[0] = '\0';
    const DWORD length = GetEnvironmentVariableA(name, out, size);
    if (length == 0 || length >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool EnvironmentSet(const char* name) {
    return GetEnvironmentVariableA(name, nullptr, 0) > 1;  // the room a non-empty value needs
}

bool EnvironmentSwitch(const char* name, bool whenUnset) {
    char value[16];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    if (length == 0) return whenUnset;       // not set, or empty
    if (length >= sizeof value) return true;  // too long to be "0"
    return !(value[0] == '0' && value[1] == '\0');
}
