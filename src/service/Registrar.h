// A registrar for the registration scripts kept in the executable's resources: nested keys with
// default values and named values, the flags NoRemove and ForceRemove, and %WORD% replacements.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace service {

class Registrar {
public:
    // The registry root that "HKCR" in a script stands for: HKEY_CLASSES_ROOT itself, or a key
    // below another root (per-user registration uses HKEY_CURRENT_USER "Software\Classes").
    Registrar(HKEY classesRoot, std::wstring classesPath);

    // %name% in a script is replaced by value; %% is a single percent sign.
    void AddReplacement(const std::wstring& name, const std::wstring& value);

    // Writes or removes what the script describes. Parse errors give DISP_E_EXCEPTION and touch
    // nothing; registry errors give their HRESULT.
    HRESULT Register(const std::wstring& script);
    HRESULT Unregister(const std::wstring& script);
    // The same for a script stored as a "REGISTRY" resource of module.
    HRESULT RegisterResource(HMODULE module, UINT id);
    HRESULT UnregisterResource(HMODULE module, UINT id);

private:
    enum class Mode { Register, Unregister };
    HRESULT Run(const std::wstring& script, Mode mode);
    HRESULT RunResource(HMODULE module, UINT id, Mode mode);
    bool OpenRoot(const std::wstring& name, HKEY* root, std::wstring* path) const;

    HKEY classesRoot_;
    std::wstring classesPath_;
    std::map<std::wstring, std::wstring> replacements_;
};

// The script text of a "REGISTRY" resource (stored as ANSI text); empty when missing.
std::wstring LoadScriptResource(HMODULE module, UINT id);

}  // namespace service
