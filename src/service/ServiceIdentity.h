// Fixed identity of the fan service: names, GUIDs and resource ids.
#pragma once

#include <windows.h>

namespace service {

inline constexpr wchar_t kAppId[] = L"{58D3A1F0-E26B-4C97-9D41-B7A0C3E8F16A}";
inline constexpr wchar_t kEventName[] = L"QuilFanControlServiceEvent";
// Held by the one local-server process that may serve (local namespace, as the event).
inline constexpr wchar_t kServerTurnName[] = L"QuilFanControlServiceServer";
inline constexpr wchar_t kDefaultServiceName[] = L"QuilFanControlService";

// Resources of the executable.
inline constexpr UINT kServiceNameString = 100;
inline constexpr UINT kAppIdScript = 101;
inline constexpr UINT kClassScript = 103;
inline constexpr UINT kFirstServiceMessageString = 55306;

}  // namespace service
