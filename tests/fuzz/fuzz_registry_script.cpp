// The registration-script interpreter's parser on arbitrary text, with a replacement whose value
// holds quotes, braces and percent signs; a script that parses is then run in both modes
// against registry calls that store nothing. A refused script must leave nothing to run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "module/registry_script.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    RegistryScript script;
    const bool parsed =
        script.parse(text, {{L"MODULE", L"C:\\Program Files\\O'Brien {x} 100%\\Orvane.dll"}});
    if (parsed != script.error().empty()) std::abort();  // a refusal always says why
    script.run(true);
    script.run(false);
    return 0;
}
