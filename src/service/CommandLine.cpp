#include "CommandLine.h"

#include <cwchar>
#include <cwctype>

namespace service {

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

}  // namespace

bool HasSwitch(const wchar_t* commandLine, const wchar_t* word) {
    if (!commandLine) return false;
    size_t length = std::wcslen(word);
    // Token by token: a sign inside a token (a path, "a-b") starts no switch.
    const wchar_t* p = commandLine;
    while (*p) {
        while (IsBlank(*p)) ++p;
        const wchar_t* end = p;
        while (*end && !IsBlank(*end)) ++end;
        if ((*p == L'-' || *p == L'/') && static_cast<size_t>(end - p - 1) == length &&
            _wcsnicmp(p + 1, word, length) == 0)
            return true;
        p = end;
    }
    return false;
}

Command ParseCommand(const wchar_t* commandLine) {
    struct Entry {
        const wchar_t* word;
        Command command;
    };
    static const Entry kSwitches[] = {
        {L"UnregServer", Command::UnregServer},
        {L"RegServer", Command::RegServer},
        {L"UnregServerPerUser", Command::UnregServerPerUser},
        {L"RegServerPerUser", Command::RegServerPerUser},
        {L"Service", Command::Service},
    };
    for (const Entry& e : kSwitches)
        if (HasSwitch(commandLine, e.word)) return e.command;
    return Command::Run;
}

}  // namespace service
