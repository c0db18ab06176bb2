// CPU readers of the clock monitor: each knows how one processor family reports its current and
// its nominal ratio. The manager creates one per process (CreateCpuData) and runs it on its
// measuring thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

// Physical core id -> affinity mask of the first logical processor found with that id.
using CpuTopologyMap = std::map<uint32_t, uint32_t>;

// The number of bits needed to hold n - 1 (0 for n = 0 and 1).
uint32_t BitWidth(uint32_t n);
// The BitWidth(count) bits of value from bit shift on.
uint32_t ExtractBits(uint32_t value, uint32_t count, uint32_t shift);

// CPUID queries.
bool HasHtt();
uint32_t GetLogicalPerPackage();
uint32_t GetCoresPerPackage();
uint32_t GetInitialApicId();  // of the processor the calling thread runs on
uint32_t GetProcessorCount();
bool HasCorePerformanceBoost();
bool IsIntelCpu();

// Pins the calling thread to each logical processor in turn and records the first processor of
// every core. Leaves the thread pinned to the last one.
CpuTopologyMap BuildCpuTopologyMap();
// The process's map, built on the first call.
const CpuTopologyMap& GetCpuTopologyMap();
// Boost P-states of an AMD processor (D18F4x15C bits 4:2, read through the PCI Express window);
// 0 when the window cannot be found or mapped.
uint32_t ReadBoostStateCount();

class BasicCpuData {
public:
    BasicCpuData();
    virtual ~BasicCpuData() = default;
    BasicCpuData(const BasicCpuData&) = delete;
    BasicCpuData& operator=(const BasicCpuData&) = delete;

    virtual float GetCurrentRatio() { return 0.0f; }
    virtual float GetMaxRatio() { return GetNominalRatio(); }
    // TSC frequency in units of 10 kHz.
    virtual uint64_t MeasureTscRate();
    virtual void WaitInterval();
    virtual uint32_t GetCoreCount() = 0;
    virtual void SelectCore(uint32_t index) = 0;
    virtual bool UsesTscAsCoreClock() { return false; }
    virtual float GetNominalRatio() = 0;

protected:
    uint32_t m_signature = 0;  // CPUID leaf 1 EAX (Intel readers)
};

class BasicCpuDataIntel : public BasicCpuData {
public:
    BasicCpuDataIntel();
    float GetCurrentRatio() override;
    uint32_t GetCoreCount() override { return static_cast<uint32_t>(m_topology.size()); }
    void SelectCore(uint32_t index) override { m_selectedCore = index; }
    float GetNominalRatio() override;

    void ReadTurboRatios();
    void BindToCore(uint32_t index);
    // Unhalted core cycles, reference cycles and TSC ticks over 100 ms on the current processor.
    void SampleCounters(uint64_t* unhalted, uint64_t* reference, uint64_t* tsc);
    float GetEffectiveRatio();

    uint32_t Signature() const { return m_signature; }
    const CpuTopologyMap& Topology() const { return m_topology; }
    const std::vector<uint32_t>& TurboRatios() const { return m_turbo; }

protected:
    CpuTopologyMap m_topology;
    std::vector<uint32_t> m_turbo;  // one ratio per physical core
    uint32_t m_selectedCore = 0;
};

// Core 2 generation (LGA 775): ratios with a half step, no core binding.
class BasicCpuDataIntel775 : public BasicCpuDataIntel {
public:
    float GetCurrentRatio() override;
    void WaitInterval() override;
    float GetNominalRatio() override;
};

class BasicCpuDataAmd : public BasicCpuData {
public:
    BasicCpuDataAmd();
    float GetCurrentRatio() override;
    uint32_t GetCoreCount() override;
    void SelectCore(uint32_t index) override;
    float GetNominalRatio() override;

    int Family() const { return m_family; }
    int ExtendedFamily() const { return m_extFamily; }
    int ExtendedModel() const { return m_extModel; }

protected:
    // The P-state MSR whose frequency is the nominal one.
    uint32_t NominalPStateMsr(uint32_t boostStates) const;

    int m_family = 0;     // CPUID 0x80000001 EAX bits 11:8
    int m_extFamily = 0;  // bits 27:20
    int m_extModel = 0;   // bits 19:16
};

class BasicCpuDataAmdM2Plus : public BasicCpuDataAmd {
public:
    float GetCurrentRatio() override;
    float GetNominalRatio() override;
};

class BasicCpuDataAmdInagua : public BasicCpuDataAmdM2Plus {
public:
    float GetCurrentRatio() override;
    float GetNominalRatio() override;
};

class BasicCpuDataAmdLlnao : public BasicCpuDataAmdM2Plus {
public:
    float GetCurrentRatio() override;
    float GetNominalRatio() override;
};

class BasicCpuDataAmdTrinity : public BasicCpuDataAmd {
public:
    float GetCurrentRatio() override;
    float GetNominalRatio() override;
};

// The reader for the running processor.
std::unique_ptr<BasicCpuData> CreateCpuData();
