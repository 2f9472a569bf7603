// orvane_com_client: the compiled client of Orvane.DLL, run under Wine after registration.
//   orvane_com_client.exe <path of Orvane.dll> <native reference file> [test name filter]
// Prints one line per test and "N passed, N failed"; the exit code is the failure count.
#include <windows.h>

#include <cstdio>

#include "com_helpers.hpp"
#include "harness.hpp"

namespace {
std::wstring module_argument, reference_argument;
}

const std::wstring& module_path() {
    return module_argument;
}
const std::wstring& reference_path() {
    return reference_argument;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: orvane_com_client <Orvane.dll> <reference file> [filter]\n");
        return 2;
    }
    module_argument = argv[1];
    reference_argument = argv[2];
    std::string filter = argc > 3 ? narrow(argv[3]) : std::string();
    // The main thread lives in the multithreaded apartment; the tests that need a
    // single-threaded apartment make their own thread.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        std::printf("CoInitializeEx failed (0x%08lX)\n0 passed, 1 failed\n",
                    static_cast<unsigned long>(hr));
        return 1;
    }
    int failed = harness::run_all(filter.c_str());
    CoUninitialize();
    return failed > 255 ? 255 : failed;
}
