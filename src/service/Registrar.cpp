#include "Registrar.h"

#include <cwctype>

#include "system/Handles.h"

namespace service {

namespace {

struct Node {
    enum class Flag { None, NoRemove, ForceRemove };
    Flag flag = Flag::None;
    bool isValue = false;  // a named value ("val"), else a key
    std::wstring name;
    bool hasData = false;
    DWORD type = REG_SZ;
    std::wstring text;  // REG_SZ data
    DWORD number = 0;   // REG_DWORD data
    std::vector<Node> children;
};

struct Token {
    std::wstring text;
    bool quoted = false;
    bool Is(const wchar_t* word) const { return !quoted && _wcsicmp(text.c_str(), word) == 0; }
    bool IsPunct(wchar_t c) const { return !quoted && text.size() == 1 && text[0] == c; }
};

// Splits a script at white space into words and quoted strings ('' inside quotes is one quote), so
// that a key named {GUID} needs no quotes and the marks { } = stand apart; applies the replacements.
class Lexer {
public:
    Lexer(const std::wstring& script, const std::map<std::wstring, std::wstring>& replacements)
        : s_(script), replacements_(replacements) {}

    bool Next(Token* token) {
        while (pos_ < s_.size() && std::iswspace(s_[pos_])) ++pos_;
        if (pos_ >= s_.size()) return false;
        *token = Token{};
        std::wstring raw;
        wchar_t c = s_[pos_];
        if (c == L'\'') {
            token->quoted = true;
            for (++pos_;; ++pos_) {
                if (pos_ >= s_.size()) {
                    error_ = true;
                    return false;
                }
                if (s_[pos_] == L'\'') {
                    if (pos_ + 1 < s_.size() && s_[pos_ + 1] == L'\'') {
                        raw += L'\'';
                        ++pos_;
                        continue;
                    }
                    ++pos_;
                    break;
                }
                raw += s_[pos_];
            }
        } else {
            while (pos_ < s_.size() && !std::iswspace(s_[pos_])) raw += s_[pos_++];
        }
        if (!Replace(raw, &token->text)) {
            error_ = true;
            return false;
        }
        return true;
    }
    bool Failed() const { return error_; }

private:
    bool Replace(const std::wstring& raw, std::wstring* out) const {
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != L'%') {
                *out += raw[i];
                continue;
            }
            size_t end = raw.find(L'%', i + 1);
            if (end == std::wstring::npos) return false;
            if (end == i + 1) {
                *out += L'%';
            } else {
                auto it = replacements_.find(raw.substr(i + 1, end - i - 1));
                if (it == replacements_.end()) return false;
                *out += it->second;
            }
            i = end;
        }
        return true;
    }

    const std::wstring& s_;
    const std::map<std::wstring, std::wstring>& replacements_;
    size_t pos_ = 0;
    bool error_ = false;
};

struct RootBlock {
    std::wstring root;
    std::vector<Node> keys;
};

class Parser {
public:
    explicit Parser(Lexer& lexer) : lexer_(lexer) { Advance(); }

    bool Parse(std::vector<RootBlock>* blocks) {
        while (has_) {
            RootBlock block;
            if (token_.quoted || token_.IsPunct(L'{') || token_.IsPunct(L'}') || token_.IsPunct(L'='))
                return false;
            block.root = token_.text;
            Advance();
            if (!Expect(L'{') || !ParseKeys(&block.keys) || !Expect(L'}')) return false;
            blocks->push_back(std::move(block));
        }
        return !lexer_.Failed();
    }

private:
    void Advance() { has_ = lexer_.Next(&token_); }
    bool Expect(wchar_t c) {
        if (!has_ || !token_.IsPunct(c)) return false;
        Advance();
        return true;
    }
    bool Name(std::wstring* name) {
        if (!has_ || token_.IsPunct(L'{') || token_.IsPunct(L'}') || token_.IsPunct(L'=')) return false;
        *name = token_.text;
        Advance();
        return true;
    }
    bool Data(Node* node) {
        if (!has_) return false;
        node->hasData = true;
        if (token_.Is(L"s")) {
            Advance();
            node->type = REG_SZ;
            return Name(&node->text);
        }
        if (token_.Is(L"d")) {
            Advance();
            std::wstring digits;
            if (!Name(&digits) || digits.empty()) return false;
            wchar_t* end = nullptr;
            node->number = wcstoul(digits.c_str(), &end, 0);
            node->type = REG_DWORD;
            return *end == 0;
        }
        return false;
    }
    bool ParseKeys(std::vector<Node>* keys) {
        while (has_ && !token_.IsPunct(L'}')) {
            Node node;
            if (token_.Is(L"val")) {
                Advance();
                node.isValue = true;
                if (!Name(&node.name) || !Expect(L'=') || !Data(&node)) return false;
                keys->push_back(std::move(node));
                continue;
            }
            if (token_.Is(L"NoRemove")) {
                node.flag = Node::Flag::NoRemove;
                Advance();
            } else if (token_.Is(L"ForceRemove")) {
                node.flag = Node::Flag::ForceRemove;
                Advance();
            }
            if (!Name(&node.name)) return false;
            if (has_ && token_.IsPunct(L'=')) {
                Advance();
                if (!Data(&node)) return false;
            }
            if (has_ && token_.IsPunct(L'{')) {
                Advance();
                if (!ParseKeys(&node.children) || !Expect(L'}')) return false;
            }
            keys->push_back(std::move(node));
        }
        return !lexer_.Failed();
    }

    Lexer& lexer_;
    Token token_;
    bool has_ = false;
};

LONG SetData(HKEY key, const wchar_t* name, const Node& node) {
    if (node.type == REG_DWORD)
        return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&node.number),
                              sizeof(DWORD));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(node.text.c_str()),
                          static_cast<DWORD>((node.text.size() + 1) * sizeof(wchar_t)));
}

bool Missing(LONG error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

LONG RegisterNodes(HKEY parent, const std::vector<Node>& nodes) {
    for (const Node& node : nodes) {
        if (node.isValue) {
            if (LONG e = SetData(parent, node.name.c_str(), node)) return e;
            continue;
        }
        if (node.flag == Node::Flag::ForceRemove) {
            LONG e = RegDeleteTreeW(parent, node.name.c_str());
            if (e && !Missing(e)) return e;
        }
        tolo::RegKey key;
        if (LONG e = RegCreateKeyExW(parent, node.name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                                     key.Put(), nullptr))
            return e;
        if (node.hasData)
            if (LONG e = SetData(key.Get(), nullptr, node)) return e;
        if (LONG e = RegisterNodes(key.Get(), node.children)) return e;
    }
    return ERROR_SUCCESS;
}

// Removes what the nodes wrote: ForceRemove keys with everything below them, other keys (but
// NoRemove ones) only when nothing that the script does not know of is left below them.
LONG UnregisterNodes(HKEY parent, const std::vector<Node>& nodes) {
    for (const Node& node : nodes) {
        if (node.isValue) {
            LONG e = RegDeleteValueW(parent, node.name.c_str());
            if (e && !Missing(e)) return e;
            continue;
        }
        if (node.flag == Node::Flag::ForceRemove) {
            LONG e = RegDeleteTreeW(parent, node.name.c_str());
            if (e && !Missing(e)) return e;
            continue;
        }
        tolo::RegKey key;
        LONG e = RegOpenKeyExW(parent, node.name.c_str(), 0, KEY_READ | KEY_WRITE, key.Put());
        if (Missing(e)) continue;
        if (e) return e;
        if ((e = UnregisterNodes(key.Get(), node.children))) return e;
        if (node.flag == Node::Flag::NoRemove) continue;
        DWORD subkeys = 0;
        if ((e = RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr)))
            return e;
        key.Reset();
        if (subkeys == 0 && (e = RegDeleteKeyW(parent, node.name.c_str())) && !Missing(e)) return e;
    }
    return ERROR_SUCCESS;
}

}  // namespace

Registrar::Registrar(HKEY classesRoot, std::wstring classesPath)
    : classesRoot_(classesRoot), classesPath_(std::move(classesPath)) {}

void Registrar::AddReplacement(const std::wstring& name, const std::wstring& value) {
    replacements_[name] = value;
}

HRESULT Registrar::Register(const std::wstring& script) {
    return Run(script, Mode::Register);
}

HRESULT Registrar::Unregister(const std::wstring& script) {
    return Run(script, Mode::Unregister);
}

HRESULT Registrar::RegisterResource(HMODULE module, UINT id) {
    return RunResource(module, id, Mode::Register);
}

HRESULT Registrar::UnregisterResource(HMODULE module, UINT id) {
    return RunResource(module, id, Mode::Unregister);
}

HRESULT Registrar::RunResource(HMODULE module, UINT id, Mode mode) {
    std::wstring script = LoadScriptResource(module, id);
    if (script.empty()) return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
    return Run(script, mode);
}

bool Registrar::OpenRoot(const std::wstring& name, HKEY* root, std::wstring* path) const {
    path->clear();
    const wchar_t* n = name.c_str();
    if (!_wcsicmp(n, L"HKCR") || !_wcsicmp(n, L"HKEY_CLASSES_ROOT")) {
        *root = classesRoot_;
        *path = classesPath_;
    } else if (!_wcsicmp(n, L"HKCU") || !_wcsicmp(n, L"HKEY_CURRENT_USER")) {
        *root = HKEY_CURRENT_USER;
    } else if (!_wcsicmp(n, L"HKLM") || !_wcsicmp(n, L"HKEY_LOCAL_MACHINE")) {
        *root = HKEY_LOCAL_MACHINE;
    } else {
        return false;
    }
    return true;
}

HRESULT Registrar::Run(const std::wstring& script, Mode mode) {
    Lexer lexer(script, replacements_);
    Parser parser(lexer);
    std::vector<RootBlock> blocks;
    if (!parser.Parse(&blocks)) return DISP_E_EXCEPTION;
    struct Target {
        HKEY root;
        std::wstring path;
    };
    std::vector<Target> targets;
    for (const RootBlock& block : blocks) {
        Target t;
        if (!OpenRoot(block.root, &t.root, &t.path)) return DISP_E_EXCEPTION;
        targets.push_back(t);
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        tolo::RegKey base;
        HKEY parent = targets[i].root;
        if (!targets[i].path.empty()) {
            LONG e =
                mode == Mode::Register
                    ? RegCreateKeyExW(parent, targets[i].path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                      nullptr, base.Put(), nullptr)
                    : RegOpenKeyExW(parent, targets[i].path.c_str(), 0, KEY_READ | KEY_WRITE, base.Put());
            if (mode == Mode::Unregister && Missing(e)) continue;
            if (e) return HRESULT_FROM_WIN32(e);
            parent = base.Get();
        }
        LONG e = mode == Mode::Register ? RegisterNodes(parent, blocks[i].keys)
                                        : UnregisterNodes(parent, blocks[i].keys);
        if (e) return HRESULT_FROM_WIN32(e);
    }
    return S_OK;
}

std::wstring LoadScriptResource(HMODULE module, UINT id) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (!info) return {};
    HGLOBAL data = LoadResource(module, info);
    DWORD size = SizeofResource(module, info);
    const char* text = data ? static_cast<const char*>(LockResource(data)) : nullptr;
    if (!text || size == 0) return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size), nullptr, 0);
    std::wstring script(n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size), script.data(), n);
    return script;
}

}  // namespace service
