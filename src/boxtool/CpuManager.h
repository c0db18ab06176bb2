// The CPU clock monitor: one reader on a measuring thread of its own, which measures every
// 3000 ms while the tool keeps asking and suspends itself when nobody does. The tool's call only
// reads the last published values.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "CpuData.h"

class BasicCpuManager {
public:
    BasicCpuManager();  // creates the reader for the running processor
    ~BasicCpuManager();
    BasicCpuManager(const BasicCpuManager&) = delete;
    BasicCpuManager& operator=(const BasicCpuManager&) = delete;

    // Starts the measuring thread and returns once its first measurement is published.
    void Start();
    // Wakes the measuring thread for two more measurements; answers the rate published so far
    // (units of 10 kHz) without waiting for a new one.
    uint32_t GetTscRate();
    float GetRatio() const { return m_ratio.load(std::memory_order_relaxed); }
    float GetMaxRatio() { return m_reader ? m_reader->GetMaxRatio() : 0.0f; }
    bool UsesTscAsCoreClock() { return m_reader && m_reader->UsesTscAsCoreClock(); }
    // One measurement, on the measuring thread.
    void Measure();

    BasicCpuData* Reader() const { return m_reader.get(); }

private:
    std::unique_ptr<BasicCpuData> m_reader;
    std::atomic<uint32_t> m_tscRate{0};
    std::atomic<float> m_ratio{1.0f};
};

// The measuring thread (one per process).
void StartMeasureThread(BasicCpuManager* manager);
void ResumeMeasureThread();
void SuspendMeasureThread();
void StopMeasureThread();
void SetMeasureThreadAffinity(DWORD_PTR mask);
HANDLE MeasureThreadHandle();
DWORD WINAPI MeasureThreadProc(LPVOID manager);

class CpuManager {
public:
    static CpuManager& Instance();
    // Creates the manager and returns after the first measurement; called once, before any
    // other operation.
    void Init();
    // Current ratio, nominal ratio and the core clock in MHz.
    void GetCpuFrequency(float* current, float* maximum, float* frequency);
    // The nominal ratio from the firmware's clock item: rate / clock / 100, to the nearest half.
    static bool RatioFromBiosClock(double rate, double* ratio);
    bool UsesTscAsCoreClock() { return m_manager && m_manager->UsesTscAsCoreClock(); }

private:
    CpuManager();
    BasicCpuManager* m_manager = nullptr;  // lives until the process ends
};

// The bus clock in tenths of MHz, trunc(core clock / current ratio * 10), as the box shows it.
// Before the clock monitor's first measurement there is no ratio: 0 then, not a division by zero.
int BusClockTenths(float ratio, float frequency);

// Queries of GetCpuFrequency.
bool IsAmdBoostFamilyCached();
bool HasInvariantTsc();
bool IsMbifType3();
// The last item of BIOS group 3 with index 17 (the firmware's clock); null when there is none.
template <typename CharT>
class BasicBiosItem;
BasicBiosItem<wchar_t>* FindBiosItem17();
