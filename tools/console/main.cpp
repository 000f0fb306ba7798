// Host console: loads SK5820.dll the way the host does and drives it through
// real requests. For now it describes the driver.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "entry/records.h"
#include "tools/kestra/kestra_api.h"

using VpiMainFn = int32_t(__stdcall*)(VpiRequest*);

int main(int argc, char** argv) {
    const char* dll = argc > 1 ? argv[1] : "SK5820.dll";
    HMODULE module = LoadLibraryA(dll);
    if (module == nullptr) {
        fprintf(stderr, "skconsole: cannot load %s (error %lu)\n", dll, GetLastError());
        return 1;
    }
    auto vpi = reinterpret_cast<VpiMainFn>(GetProcAddress(module, "VpiMain"));
    if (vpi == nullptr) {
        fprintf(stderr, "skconsole: %s has no VpiMain\n", dll);
        return 1;
    }
    DriverInfo info;
    memset(&info, 0, sizeof info);
    VpiRequest request{};
    request.function = 14;
    request.params = &info;
    const int32_t status = vpi(&request);
    printf("describe: status %d\n", status);
    printf("  name          %s\n", info.name);
    printf("  channel size  %d bytes\n", info.channelSize);
    printf("  default line  %u baud, %u data bits, stop code %u, parity code %u\n", info.defaultPort.baudRate,
           info.defaultPort.dataBits, info.defaultPort.stopBits, info.defaultPort.parity);
    printf("  codes         info %d, class %d, flag %d\n", info.infoCode, info.infoClass, info.infoFlag);
    printf("  banner (code page 437):%s\n", info.banner);
    return status == 0 ? 0 : 1;
}
