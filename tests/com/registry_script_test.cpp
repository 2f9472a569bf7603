// The module's registration-script interpreter, run against a scratch key under
// HKEY_CURRENT_USER: what registering writes, what ForceRemove and NoRemove keep or remove,
// replacements that hold quotes, and the scripts it refuses before touching the registry.
#include "module/registry_script.hpp"

#include "com_helpers.hpp"
#include "harness.hpp"

namespace {

const wchar_t* const scratch = L"Software\\OrvaneScriptTest";

std::wstring read_string(const std::wstring& key, const wchar_t* name) {
    wchar_t data[512] = {};
    DWORD size = sizeof data;
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) !=
        ERROR_SUCCESS)
        return L"<missing>";
    return data;
}

bool key_exists(const std::wstring& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

const char* const script = R"(HKCU
{
    NoRemove Software
    {
        NoRemove OrvaneScriptTest
        {
            Plain = s 'plain text'
            {
                Child = s 'it''s quoted'
                val Named = s '%MODULE%'
                val Count = d 42
            }
            ForceRemove Fresh = s 'fresh'
            {
                Sub
            }
            'Quoted Name' = s '100%% sure'
        }
    }
}
)";

}  // namespace

TEST(registry_script_register_and_unregister) {
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch);
    const std::wstring base = scratch;
    const std::wstring module = L"C:\\Program Files\\O'Brien's {x}\\Orvane.dll";
    RegistryScript rs;
    REQUIRE(rs.parse(script, {{L"MODULE", module}}),
            "the test script does not parse: " + rs.error());

    // A leftover inside the ForceRemove key must go; one beside it must stay.
    HKEY h = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, (base + L"\\Fresh\\Stale").c_str(), 0, nullptr, 0, KEY_WRITE,
                    nullptr, &h, nullptr);
    if (h) RegCloseKey(h);
    RegCreateKeyExW(HKEY_CURRENT_USER, (base + L"\\Other").c_str(), 0, nullptr, 0, KEY_WRITE,
                    nullptr, &h, nullptr);
    if (h) RegCloseKey(h);

    CHECK_HR(rs.run(true), S_OK);
    const struct {
        std::wstring key;
        const wchar_t* name;
        const wchar_t* want;
    } values[] = {
        {base + L"\\Plain", nullptr, L"plain text"},
        {base + L"\\Plain\\Child", nullptr, L"it's quoted"},
        {base + L"\\Plain", L"Named", module.c_str()},
        {base + L"\\Fresh", nullptr, L"fresh"},
        {base + L"\\Quoted Name", nullptr, L"100% sure"},
    };
    for (const auto& v : values)
        CHECK_EQ(narrow(read_string(v.key, v.name).c_str()), narrow(v.want),
                 narrow(v.key.c_str()) + " " + narrow(v.name ? v.name : L"(default)"));
    DWORD count = 0, size = sizeof count;
    RegGetValueW(HKEY_CURRENT_USER, (base + L"\\Plain").c_str(), L"Count", RRF_RT_REG_DWORD,
                 nullptr, &count, &size);
    CHECK_EQ(count, 42ul, "DWORD value Count");
    CHECK(key_exists(base + L"\\Fresh\\Sub"), "Fresh\\Sub was not created");
    CHECK(!key_exists(base + L"\\Fresh\\Stale"), "ForceRemove left a stale subkey");
    CHECK(key_exists(base + L"\\Other"), "a key the script does not name was removed");

    CHECK_HR(rs.run(false), S_OK);
    CHECK(key_exists(base), "a NoRemove key was removed");
    CHECK(!key_exists(base + L"\\Plain") && !key_exists(base + L"\\Fresh") &&
              !key_exists(base + L"\\Quoted Name"),
          "unregistering left keys of the script");
    CHECK(key_exists(base + L"\\Other"), "unregistering removed a key the script does not name");
    CHECK_HR(rs.run(false), S_OK);  // nothing left to remove is no failure
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch);
}

TEST(registry_script_refuses_malformed_scripts) {
    const struct {
        const char* what;
        const char* text;
        const char* message_start;
    } rows[] = {
        {"unterminated string", "HKCU\n{\n    A = s 'open\n}\n", "unterminated string on line 3"},
        {"missing closing brace", "HKCU\n{\n    A = s 'x'\n", "missing }"},
        {"unknown root", "HKXX\n{\n}\n", "root key expected on line 1"},
        {"unsupported value type", "HKCU\n{\n    A = b '01'\n}\n", "unsupported value type"},
        {"bad number", "HKCU\n{\n    val A = d twelve\n}\n", "bad number"},
        {"value without data", "HKCU\n{\n    val A\n}\n", "value without data"},
        {"unknown replacement", "HKCU\n{\n    A = s '%NOPE%'\n}\n", "unknown replacement %NOPE%"},
        {"a value holding keys", "HKCU\n{\n    val A = s 'x'\n    {\n    }\n}\n",
         "a value cannot hold keys"},
    };
    for (const auto& row : rows) {
        RegistryScript rs;
        bool parsed = rs.parse(row.text, {{L"MODULE", L"C:\\x.dll"}});
        CHECK(!parsed, std::string(row.what) + ": accepted");
        CHECK(rs.error().rfind(row.message_start, 0) == 0,
              std::string(row.what) + ": message \"" + rs.error() + "\"");
        // A refused script does nothing when run.
        CHECK_HR(rs.run(true), S_OK);
    }
}

// A script whose first root parses and whose second does not: running it afterwards must
// write nothing, not the half that was read before the failure.
TEST(registry_script_half_parsed_writes_nothing) {
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch);
    const std::wstring base = scratch;
    const char* const two_roots =
        "HKCU\n{\n    NoRemove Software\n    {\n        NoRemove OrvaneScriptTest\n"
        "        {\n            Half = s 'x'\n        }\n    }\n}\nHKXX\n{\n}\n";
    RegistryScript rs;
    CHECK(!rs.parse(two_roots, {}), "a script with a bad second root was accepted");
    CHECK_HR(rs.run(true), S_OK);
    CHECK(!key_exists(base + L"\\Half"), "the root read before the failure was run");
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch);
}
