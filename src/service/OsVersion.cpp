#include "OsVersion.h"

#include <windows.h>

namespace {

bool AskVistaOrLater() {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&info)) return true;
#pragma GCC diagnostic pop
    return info.dwMajorVersion >= 6;
}

}  // namespace

bool IsVistaOrLater() {
    static const bool answer = AskVistaOrLater();
    return answer;
}
