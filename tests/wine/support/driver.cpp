#include "tests/wine/support/driver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

HMODULE DriverModule() {
    static HMODULE module = LoadLibraryA("SK5820.dll");
    return module;
}

VpiMainFn Vpi() {
    static VpiMainFn entry =
        DriverModule() != nullptr ? reinterpret_cast<VpiMainFn>(reinterpret_cast<void*>(GetProcAddress(DriverModule(), "VpiMain"))) : nullptr;
    if (entry == nullptr) {
        fprintf(stderr, "cannot load SK5820.dll / VpiMain (error %lu)\n", GetLastError());
        abort();
    }
    return entry;
}

int32_t CallVpi(int32_t function, VpiChannel* channel, void* params, int32_t channelIndex) {
    VpiRequest request{};
    request.channel = channel;
    request.function = function;
    request.channelIndex = channelIndex;
    request.params = params;
    return Vpi()(&request);
}

static std::string ComName(int number) {
    return "COM" + std::to_string(number);
}

static int ComBase() {
    const char* base = getenv("SK_COM_BASE");
    return base != nullptr ? atoi(base) : 0;
}

std::string DriverCom(int pair) {
    return ComBase() != 0 ? ComName(ComBase() + 2 * pair) : std::string();
}

std::string PeerCom(int pair) {
    return ComBase() != 0 ? ComName(ComBase() + 2 * pair + 1) : std::string();
}
