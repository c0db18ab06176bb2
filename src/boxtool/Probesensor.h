// Sensor feed: the maker's hardware-monitor library, read on a thread of its own so that the
// window thread only ever copies the latest readings under a short lock.
#pragma once

#include <windows.h>

#include <cstdint>

// One record as the hardware-monitor library fills it.
struct ProbeDataW {
    uint32_t unused0;
    int32_t reading;  // temperatures: ten times the value shown; fans: revolutions per minute
    uint8_t unused8[16];
    uint32_t values[3];
    char name[32];  // zero-terminated within the 32 bytes when the library behaves
};
static_assert(sizeof(ProbeDataW) == 68, "the library's record size");

// What the tool shows of a sensor: taken once, after start-up.
struct SensorDisplayRecord {
    uint32_t values[3];  // the sensor record's three values, in order
    char name[32];       // always zero-terminated
};
static_assert(sizeof(SensorDisplayRecord) == 44, "display record size");

// Hardware-monitor record types the tool keeps.
constexpr int kFirstSensorType = 2;
constexpr int kTemperatureSensors = 3;
constexpr int kFanSensors = 4;
constexpr int kSensorTypeCount = 3;  // types 2, 3 and 4

// The records of one type. The arrays live as long as the process: the reader thread may still
// copy into them while the process ends, so they are never freed.
class SensorPackage {
public:
    // Sizes the arrays to the library's present count of that type (contents left as they are).
    void Allocate(int type);
    // Takes the display records from the sensor records.
    void Convert();

    int count = 0;
    ProbeDataW* records = nullptr;
    SensorDisplayRecord* display = nullptr;
};

// A package shared by the reader thread and the window thread, guarded by its critical section.
class SafeSensorPackage : public SensorPackage {
public:
    SafeSensorPackage();
    ~SafeSensorPackage();
    SafeSensorPackage(const SafeSensorPackage&) = delete;
    SafeSensorPackage& operator=(const SafeSensorPackage&) = delete;

    void Lock();
    void Unlock();

private:
    CRITICAL_SECTION section_;
};

// Loads the library (HKLM "\SOFTWARE\QUIL\Tessaro_II\" "HMDllPath", else "qxHMLib.dll" beside the
// tool), sizes the packages and takes the first readings. Without the library every package stays
// empty and nothing else happens.
void LoadHmLibrary();
void AllocateSensorPackages();
// Window thread: takes the readings the reader fetched since the last call, then asks it for the
// next fetch. The first call fetches directly and starts the reader.
void RefreshSensorData();
void ConvertSensorPackages();
// Fetches every type each time the wake-up event (auto-reset, the parameter) is signalled.
DWORD WINAPI SensorReaderThread(LPVOID wakeEvent);

// The window thread's package of a type (2, 3 or 4), filled by RefreshSensorData.
SensorPackage& WindowSensorPackage(int type);
// The exchange package of a type between the reader thread and RefreshSensorData.
SafeSensorPackage& ExchangeSensorPackage(int type);
