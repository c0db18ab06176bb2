// The command-line switches of the fan service.
#pragma once

namespace service {

enum class Command { Run, UnregServer, RegServer, UnregServerPerUser, RegServerPerUser, Service };

// True when the command line holds a token "-word" or "/word" whose word equals word without
// regard to case. Tokens are separated by blanks and tabs: a switch begins only at the start of
// one, and its word ends at a blank, a tab or the end of the line.
bool HasSwitch(const wchar_t* commandLine, const wchar_t* word);

// The switch that acts: the registration switches in the order of the enumeration, then
// "Service"; Run when there is none.
Command ParseCommand(const wchar_t* commandLine);

}  // namespace service
