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
    for (const wchar_t* p = commandLine; *p; ++p) {
        if (*p != L'-' && *p != L'/') continue;
        const wchar_t* start = p + 1;
        const wchar_t* end = start;
        while (*end && !IsBlank(*end)) ++end;
        if (static_cast<size_t>(end - start) == length && _wcsnicmp(start, word, length) == 0) return true;
        p = end - 1;
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
