// The operating-system version test of the service.
#pragma once

// True on Windows Vista and later, and when the version cannot be read. Asked once per process.
bool IsVistaOrLater();
