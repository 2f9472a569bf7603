#include "module/registry_script.hpp"

#include <cstdlib>

namespace {

struct Token {
    std::wstring text;
    bool quoted = false;
    int line = 0;
};

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Splits the script into words, single-character `{`, `}` and `=`, and quoted strings
// ('' inside quotes is one quote). A brace directly followed by text is part of a name, as in
// {2BBEF625-...}.
bool tokenize(const std::string& text, std::vector<Token>& tokens, std::string& error) {
    int line = 1;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\n') ++line;
        if (is_space(c)) {
            ++i;
            continue;
        }
        Token token;
        token.line = line;
        if (c == '\'') {
            token.quoted = true;
            ++i;
            for (;;) {
                if (i >= text.size()) {
                    error = "unterminated string on line " + std::to_string(token.line);
                    return false;
                }
                if (text[i] == '\'') {
                    if (i + 1 < text.size() && text[i + 1] == '\'') {
                        token.text += L'\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                if (text[i] == '\n') ++line;
                token.text += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
                ++i;
            }
        } else if (c == '=' ||
                   ((c == '{' || c == '}') && (i + 1 == text.size() || is_space(text[i + 1])))) {
            token.text = static_cast<wchar_t>(c);
            ++i;
        } else {
            while (i < text.size() && !is_space(text[i]) && text[i] != '=' && text[i] != '\'') {
                token.text += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
                ++i;
            }
        }
        tokens.push_back(std::move(token));
    }
    return true;
}

bool equals_nocase(const std::wstring& a, const wchar_t* b) {
    return _wcsicmp(a.c_str(), b) == 0;
}

// Replaces every %NAME% by its value; %% is a single percent sign.
bool expand(std::wstring& text, const RegistryScript::Replacements& replacements,
            std::string& error) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%') {
            out += text[i];
            continue;
        }
        size_t end = text.find(L'%', i + 1);
        if (end == std::wstring::npos) {
            error = "unmatched % in the script";
            return false;
        }
        std::wstring name = text.substr(i + 1, end - i - 1);
        if (name.empty()) {
            out += L'%';
        } else {
            bool found = false;
            for (const auto& [key, value] : replacements) {
                if (equals_nocase(name, key.c_str())) {
                    out += value;
                    found = true;
                    break;
                }
            }
            if (!found) {
                error = "unknown replacement %" + std::string(name.begin(), name.end()) + "%";
                return false;
            }
        }
        i = end;
    }
    text = std::move(out);
    return true;
}

HRESULT from_win32(LONG status) {
    return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

}  // namespace

// A recursive-descent reader over the token list; one instance per parse.
struct ScriptReader {
    const std::vector<Token>& tokens;
    size_t pos = 0;
    std::string& error;

    bool at_end() const { return pos >= tokens.size(); }
    bool peek_is(const wchar_t* text) const {
        return !at_end() && !tokens[pos].quoted && tokens[pos].text == text;
    }
    bool fail(const std::string& what) {
        int line = at_end() ? (tokens.empty() ? 1 : tokens.back().line) : tokens[pos].line;
        error = what + " on line " + std::to_string(line);
        return false;
    }
};

bool RegistryScript::parse(const std::string& text, const Replacements& replacements) {
    // Built aside and taken only whole: a script that fails half way leaves nothing to run.
    std::vector<Root> parsed;
    error_text.clear();
    std::vector<Token> tokens;
    if (!tokenize(text, tokens, error_text)) return false;
    for (Token& token : tokens) {
        if (!expand(token.text, replacements, error_text)) return false;
    }
    ScriptReader in{tokens, 0, error_text};

    // Reads `= s 'text'` or `= d number` into `node`.
    auto read_data = [&](Node& node) -> bool {
        ++in.pos;  // '='
        if (in.at_end()) return in.fail("value type expected");
        std::wstring type = in.tokens[in.pos].text;
        ++in.pos;
        if (in.at_end()) return in.fail("value expected");
        const Token& value = in.tokens[in.pos];
        ++in.pos;
        node.has_data = true;
        if (equals_nocase(type, L"s")) {
            node.data_type = REG_SZ;
            node.text = value.text;
        } else if (equals_nocase(type, L"d")) {
            wchar_t* end = nullptr;
            unsigned long n = wcstoul(value.text.c_str(), &end, 0);
            if (value.text.empty() || *end != 0) return in.fail("bad number");
            node.data_type = REG_DWORD;
            node.number = static_cast<DWORD>(n);
        } else {
            return in.fail("unsupported value type (only s and d)");
        }
        return true;
    };

    // Reads the contents of a `{ ... }` block up to and including the closing brace.
    auto read_block = [&](auto& self, std::vector<Node>& nodes, int depth) -> bool {
        if (depth > 32) return in.fail("keys nested too deeply");
        for (;;) {
            if (in.at_end()) return in.fail("missing }");
            if (in.peek_is(L"}")) {
                ++in.pos;
                return true;
            }
            Node node;
            const Token* word = &in.tokens[in.pos];
            if (!word->quoted && equals_nocase(word->text, L"val")) {
                node.is_value = true;
                ++in.pos;
            } else if (!word->quoted && equals_nocase(word->text, L"NoRemove")) {
                node.no_remove = true;
                ++in.pos;
            } else if (!word->quoted && equals_nocase(word->text, L"ForceRemove")) {
                node.force_remove = true;
                ++in.pos;
            }
            if (in.at_end() || in.peek_is(L"{") || in.peek_is(L"}") || in.peek_is(L"="))
                return in.fail("key name expected");
            node.name = in.tokens[in.pos].text;
            ++in.pos;
            if (in.peek_is(L"=")) {
                if (!read_data(node)) return false;
            } else if (node.is_value) {
                return in.fail("value without data");
            }
            if (in.peek_is(L"{")) {
                if (node.is_value) return in.fail("a value cannot hold keys");
                ++in.pos;
                if (!self(self, node.children, depth + 1)) return false;
            }
            nodes.push_back(std::move(node));
        }
    };

    while (!in.at_end()) {
        const std::wstring& name = in.tokens[in.pos].text;
        Root root{};
        if (equals_nocase(name, L"HKCR") || equals_nocase(name, L"HKEY_CLASSES_ROOT")) {
            root.key = HKEY_CLASSES_ROOT;
        } else if (equals_nocase(name, L"HKCU") || equals_nocase(name, L"HKEY_CURRENT_USER")) {
            root.key = HKEY_CURRENT_USER;
        } else if (equals_nocase(name, L"HKLM") || equals_nocase(name, L"HKEY_LOCAL_MACHINE")) {
            root.key = HKEY_LOCAL_MACHINE;
        } else {
            return in.fail("root key expected");
        }
        ++in.pos;
        if (!in.peek_is(L"{")) return in.fail("{ expected after the root key");
        ++in.pos;
        if (!read_block(read_block, root.children, 0)) return false;
        parsed.push_back(std::move(root));
    }
    roots = std::move(parsed);
    return true;
}

HRESULT RegistryScript::set_value(HKEY key, const wchar_t* name, const Node& node) {
    LONG status;
    if (node.data_type == REG_DWORD) {
        status = RegSetValueExW(key, name, 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&node.number), sizeof(DWORD));
    } else {
        status =
            RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(node.text.c_str()),
                           static_cast<DWORD>((node.text.size() + 1) * sizeof(wchar_t)));
    }
    return from_win32(status);
}

HRESULT RegistryScript::register_nodes(HKEY parent, const std::vector<Node>& nodes) {
    for (const Node& node : nodes) {
        if (node.is_value) {
            HRESULT hr = set_value(parent, node.name.c_str(), node);
            if (FAILED(hr)) return hr;
            continue;
        }
        if (node.force_remove) {
            LONG status = RegDeleteTreeW(parent, node.name.c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
                return from_win32(status);
        }
        HKEY key = nullptr;
        LONG status = RegCreateKeyExW(parent, node.name.c_str(), 0, nullptr, 0,
                                      KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
        if (status != ERROR_SUCCESS) return from_win32(status);
        HRESULT hr = node.has_data ? set_value(key, nullptr, node) : S_OK;
        if (SUCCEEDED(hr)) hr = register_nodes(key, node.children);
        RegCloseKey(key);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT RegistryScript::unregister_nodes(HKEY parent, const std::vector<Node>& nodes) {
    for (const Node& node : nodes) {
        LONG status = ERROR_SUCCESS;
        if (node.is_value) {
            status = RegDeleteValueW(parent, node.name.c_str());
        } else if (!node.no_remove) {
            status = RegDeleteTreeW(parent, node.name.c_str());
        } else {
            HKEY key = nullptr;
            status = RegOpenKeyExW(parent, node.name.c_str(), 0, KEY_READ | KEY_WRITE, &key);
            if (status == ERROR_SUCCESS) {
                HRESULT hr = unregister_nodes(key, node.children);
                RegCloseKey(key);
                if (FAILED(hr)) return hr;
            }
        }
        // What is already gone needs no removal.
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return from_win32(status);
    }
    return S_OK;
}

HRESULT RegistryScript::run(bool do_register) const {
    for (const Root& root : roots) {
        HRESULT hr = do_register ? register_nodes(root.key, root.children)
                                 : unregister_nodes(root.key, root.children);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}
