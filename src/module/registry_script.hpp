// RegistryScript: the interpreter of the module's registration script (resource REGISTRY 101).
//
// The script is the usual registrar text: a root key (HKCR, HKCU, HKLM or their long names)
// followed by a brace block of keys; a key is `[NoRemove|ForceRemove] name [= s 'text' | = d n]`
// optionally followed by its own block; `val name = s 'text'` sets a named value. On register
// every key is created (ForceRemove keys are deleted with their subtree first, so nothing stale
// survives) and every value written; on unregister every key not marked NoRemove is deleted with
// its subtree, and NoRemove keys are only descended into. %NAME% in a name or a value is
// replaced after the text has been split into tokens, so a module path holding a quote cannot
// break the script. DllRegisterServer and DllUnregisterServer call it; the whole script is
// parsed before the registry is touched, so a malformed script changes nothing.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

class RegistryScript final {
  public:
    using Replacements = std::vector<std::pair<std::wstring, std::wstring>>;

    // Parses `text` (ASCII). On failure returns false and leaves a description in error().
    bool parse(const std::string& text, const Replacements& replacements);
    // Applies the parsed script. Returns S_OK or the first registry failure as an HRESULT.
    HRESULT run(bool do_register) const;
    const std::string& error() const { return error_text; }

  private:
    struct Node {
        bool is_value = false;      // `val name = ...` rather than a key
        bool no_remove = false;     // kept on unregister
        bool force_remove = false;  // deleted with its subtree before registering
        std::wstring name;
        bool has_data = false;
        DWORD data_type = REG_SZ;  // REG_SZ or REG_DWORD
        std::wstring text;
        DWORD number = 0;
        std::vector<Node> children;
    };
    struct Root {
        HKEY key;
        std::vector<Node> children;
    };

    static HRESULT register_nodes(HKEY parent, const std::vector<Node>& nodes);
    static HRESULT unregister_nodes(HKEY parent, const std::vector<Node>& nodes);
    static HRESULT set_value(HKEY key, const wchar_t* name, const Node& node);

    std::vector<Root> roots;
    std::string error_text;
};
