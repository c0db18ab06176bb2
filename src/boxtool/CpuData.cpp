#include "CpuData.h"

#include <algorithm>

#include "AcpiTables.h"
#include "CpuManager.h"
#include "IoWrappers.h"

namespace {

// Processor registers the readers use.
constexpr uint32_t kPerfStatus = 0x198;         // IA32_PERF_STATUS
constexpr uint32_t kPlatformInfo = 0xCE;        // MSR_PLATFORM_INFO
constexpr uint32_t kTurboRatioLimit = 0x1AD;    // MSR_TURBO_RATIO_LIMIT
constexpr uint32_t kFixedCtrCtrl = 0x38D;       // IA32_FIXED_CTR_CTRL
constexpr uint32_t kPerfGlobalCtrl = 0x38F;     // IA32_PERF_GLOBAL_CTRL
constexpr uint32_t kFixedCtrUnhalted = 0x30A;   // IA32_FIXED_CTR1
constexpr uint32_t kFixedCtrReference = 0x30B;  // IA32_FIXED_CTR2
constexpr uint32_t kAmdPStateStatus = 0xC0010042;
constexpr uint32_t kAmdCofVidStatus = 0xC0010071;
constexpr uint32_t kAmdPState0 = 0xC0010064;
constexpr uint32_t kNbPStateConfigDword = 0x35;   // D18F3xD4
constexpr uint32_t kBoostConfigOffset = 0xC415C;  // D18F4x15C in bus 0's configuration window
constexpr uint32_t kBusZeroWindow = 0xFFFFF;

constexpr double kLlnaoDivisors[] = {1, 1.5, 2, 3, 4, 6, 8, 12, 16};
constexpr double kTrinityDivisors[] = {1, 2, 4, 8, 16};

constexpr uint32_t kGenu = 0x756E6547, kIneI = 0x49656E69;

struct Regs {
    uint32_t eax, ebx, ecx, edx;
};

Regs Cpuid(uint32_t leaf, uint32_t subLeaf = 0) {
    uint32_t r[4] = {};
    Io_Cpuid(leaf, r, subLeaf);
    return {r[0], r[1], r[2], r[3]};
}

uint32_t Bits(uint64_t value, int high, int low) {
    return static_cast<uint32_t>((value >> low) & ((uint64_t(1) << (high - low + 1)) - 1));
}

struct AmdSignature {
    int family, extFamily, extModel;
};

AmdSignature ReadAmdSignature() {
    const uint32_t eax = Cpuid(0x80000001).eax;
    return {int(Bits(eax, 11, 8)), int(Bits(eax, 27, 20)), int(Bits(eax, 19, 16))};
}

// Each reader class reads its own count once, on first need.
template <typename Reader>
uint32_t BoostStates() {
    static const uint32_t count = ReadBoostStateCount();
    return count;
}

// The generic nominal P-state: past the boost states when the processor has them.
template <typename Reader>
uint32_t BoostedPState0() {
    return HasCorePerformanceBoost() ? kAmdPState0 + BoostStates<Reader>() : kAmdPState0;
}

float AmdDivisorRatio(uint64_t fidSource, uint64_t didSource) {
    const double fid = Bits(fidSource, 5, 0) + 16.0;
    const double did = Bits(didSource, 8, 4) + Bits(didSource, 3, 0) * 0.25 + 1;
    return static_cast<float>(fid / did);
}

float LlnaoRatio(uint64_t v) {
    return static_cast<float>((Bits(v, 8, 4) + 16.0) / kLlnaoDivisors[std::min<uint32_t>(Bits(v, 3, 0), 8)]);
}

float TrinityRatio(uint64_t v) {
    return static_cast<float>((Bits(v, 5, 0) + 16.0) /
                              kTrinityDivisors[std::min<uint32_t>(Bits(v, 8, 6), 4)]);
}

}  // namespace

uint32_t BitWidth(uint32_t n) {
    uint32_t width = 0;
    for (uint32_t v = n > 0 ? n - 1 : 0; v; v >>= 1) ++width;
    return width;
}

uint32_t ExtractBits(uint32_t value, uint32_t count, uint32_t shift) {
    const uint32_t width = BitWidth(count);
    if (shift >= 32) return 0;
    const uint32_t mask = width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1;
    return (value >> shift) & mask;
}

bool HasHtt() {
    return Bits(Cpuid(1).edx, 28, 28) != 0;
}

uint32_t GetLogicalPerPackage() {
    return HasHtt() ? Bits(Cpuid(1).ebx, 23, 16) : 1;
}

uint32_t GetCoresPerPackage() {
    if (HasHtt() && Cpuid(0).eax >= 4) return Bits(Cpuid(4, 0).eax, 31, 26) + 1;
    return 1;
}

uint32_t GetInitialApicId() {
    return Bits(Cpuid(1).ebx, 31, 24);
}

uint32_t GetProcessorCount() {
    return g_cpuSources.processorCount();
}

bool HasCorePerformanceBoost() {
    return Bits(Cpuid(0x80000007).edx, 9, 9) != 0;
}

bool IsIntelCpu() {
    const Regs r = Cpuid(0);
    return r.ebx == kGenu && r.edx == kIneI;
}

CpuTopologyMap BuildCpuTopologyMap() {
    CpuTopologyMap map;
    // The masks are 32 bits wide: processors beyond the mask's width cannot be pinned to.
    const uint32_t n = std::min<uint32_t>(GetProcessorCount(), 32);
    const uint32_t threadsWidth = BitWidth(GetLogicalPerPackage() / GetCoresPerPackage());
    uint32_t mask = 1;
    for (uint32_t i = 0; i < n; ++i, mask <<= 1) {
        if (g_cpuSources.setThreadAffinityMask(GetCurrentThread(), mask)) g_cpuSources.sleep(0);
        const uint32_t core = ExtractBits(GetInitialApicId(), GetCoresPerPackage(), threadsWidth);
        map.emplace(core, mask);
    }
    return map;
}

const CpuTopologyMap& GetCpuTopologyMap() {
    static const CpuTopologyMap map = BuildCpuTopologyMap();
    return map;
}

uint32_t ReadBoostStateCount() {
    const uint32_t base = GetPciExpressBase();
    if (!base) return 0;
    const auto* window = static_cast<const uint8_t*>(Io_MapMem(base, kBusZeroWindow));
    if (!window) return 0;
    return (window[kBoostConfigOffset] >> 2) & 7;  // kept mapped: it is read once per class
}

// --- BasicCpuData -------------------------------------------------------------------------------

BasicCpuData::BasicCpuData() {
    LoadIoLibrary();
}

uint64_t BasicCpuData::MeasureTscRate() {
    const uint64_t t0 = ReadTsc();
    const DWORD m0 = g_cpuSources.timeGetTime();
    WaitInterval();
    const uint64_t t1 = ReadTsc();
    const uint32_t ms = g_cpuSources.timeGetTime() - m0;
    if (ms == 0) return 0;  // a clock that did not move gives no rate
    return (t1 - t0) / ms / 10;
}

void BasicCpuData::WaitInterval() {
    g_cpuSources.sleep(500);
}

// --- Intel --------------------------------------------------------------------------------------

BasicCpuDataIntel::BasicCpuDataIntel() {
    m_signature = Cpuid(1).eax;
    m_topology = GetCpuTopologyMap();
    ReadTurboRatios();
}

void BasicCpuDataIntel::ReadTurboRatios() {
    const uint64_t v = ReadMsr(kTurboRatioLimit);
    m_turbo.clear();
    for (uint32_t i = 0; i < m_topology.size(); ++i) m_turbo.push_back(i < 8 ? Bits(v, 8 * i + 7, 8 * i) : 0);
}

void BasicCpuDataIntel::BindToCore(uint32_t index) {
    auto core = m_topology.find(index);
    if (core == m_topology.end()) return;
    g_cpuSources.setThreadAffinityMask(GetCurrentThread(), core->second);
    g_cpuSources.sleep(1);
}

float BasicCpuDataIntel::GetCurrentRatio() {
    LoadIoLibrary();
    BindToCore(m_selectedCore);
    const uint32_t v = static_cast<uint32_t>(ReadMsr(kPerfStatus));
    if (v >> 8) return static_cast<float>(v >> 8);
    if (GetMaxRatio() >= static_cast<float>(v)) return static_cast<float>(v);
    return GetEffectiveRatio();
}

float BasicCpuDataIntel::GetNominalRatio() {
    return static_cast<float>(Bits(ReadMsr(kPlatformInfo), 15, 8));
}

void BasicCpuDataIntel::SampleCounters(uint64_t* unhalted, uint64_t* reference, uint64_t* tsc) {
    uint64_t fixedCtrl = ReadMsr(kFixedCtrCtrl) | 0xFFF;
    Io_WriteMsr(kFixedCtrCtrl, &fixedCtrl);
    uint64_t globalCtrl = ((ReadMsr(kPerfGlobalCtrl) >> 32) | 7) << 32;
    Io_WriteMsr(kPerfGlobalCtrl, &globalCtrl);
    const uint64_t t0 = ReadTsc();
    ClearMsr(kFixedCtrUnhalted);
    ClearMsr(kFixedCtrReference);
    const uint64_t u0 = ReadMsr(kFixedCtrUnhalted);
    const uint64_t r0 = ReadMsr(kFixedCtrReference);
    g_cpuSources.sleep(100);
    const uint64_t u1 = ReadMsr(kFixedCtrUnhalted);
    const uint64_t r1 = ReadMsr(kFixedCtrReference);
    const uint64_t t1 = ReadTsc();
    *unhalted = u1 - u0;
    *reference = r1 - r0;
    *tsc = t1 - t0;
}

float BasicCpuDataIntel::GetEffectiveRatio() {
    const uint32_t cores = GetCoreCount();
    std::vector<bool> active(cores, false);
    double sum = 0;
    ReadTurboRatios();
    for (uint32_t i = 0; i < cores; ++i) {
        BindToCore(i);
        uint64_t u = 0, r = 0, t = 0;
        SampleCounters(&u, &r, &t);
        // Counters that did not run say nothing about the core.
        active[i] = t != 0 && r != 0 && double(u) / double(t) >= 0.4;
        if (active[i]) sum += GetMaxRatio() * (double(u) / double(r));
    }
    if (m_turbo.empty()) return 0.0f;
    const size_t k = std::count(active.begin(), active.end(), true);
    size_t idx = m_turbo.size() - 1;
    if (k > 0) {
        const uint32_t a = static_cast<uint32_t>(sum / double(k) + 0.5);
        idx = k - 1;
        if (m_turbo[idx] != a) {
            for (uint32_t j = 0; j < cores; ++j) {
                if (m_turbo[j] == a) {
                    idx = j;
                    break;
                }
            }
        }
    }
    if (m_selectedCore >= cores || !active[m_selectedCore]) ++idx;
    idx = std::min(idx, m_turbo.size() - 1);
    return static_cast<float>(m_turbo[idx]);
}

float BasicCpuDataIntel775::GetCurrentRatio() {
    const uint64_t v = ReadMsr(kPerfStatus);
    return Bits(v, 12, 8) + (Bits(v, 14, 14) ? 0.5f : 0.0f);
}

void BasicCpuDataIntel775::WaitInterval() {
    const DWORD start = g_cpuSources.timeGetTime();
    do {
        g_cpuSources.sleep(1);
    } while (g_cpuSources.timeGetTime() - start < 500);
}

float BasicCpuDataIntel775::GetNominalRatio() {
    const uint64_t v = ReadMsr(kPerfStatus);
    return Bits(v, 44, 40) + (Bits(v, 46, 46) ? 0.5f : 0.0f);
}

// --- AMD ----------------------------------------------------------------------------------------

BasicCpuDataAmd::BasicCpuDataAmd() {
    const AmdSignature s = ReadAmdSignature();
    m_family = s.family;
    m_extFamily = s.extFamily;
    m_extModel = s.extModel;
}

float BasicCpuDataAmd::GetCurrentRatio() {
    return Bits(ReadMsr(kAmdPStateStatus), 5, 0) * 0.5f + 4;
}

uint32_t BasicCpuDataAmd::GetCoreCount() {
    return GetProcessorCount();
}

void BasicCpuDataAmd::SelectCore(uint32_t index) {
    if (index < 32) SetMeasureThreadAffinity(DWORD_PTR(1) << index);
}

float BasicCpuDataAmd::GetNominalRatio() {
    return Bits(ReadMsr(kAmdPStateStatus), 21, 16) * 0.5f + 4;
}

float BasicCpuDataAmdM2Plus::GetCurrentRatio() {
    const uint64_t v = ReadMsr(kAmdCofVidStatus);
    return static_cast<float>((Bits(v, 5, 0) + 16.0) / double(1u << Bits(v, 8, 6)) * 0.5);
}

float BasicCpuDataAmdM2Plus::GetNominalRatio() {
    uint32_t msr = kAmdPState0;
    if (HasCorePerformanceBoost())
        msr = (m_extFamily == 1 && m_family == 15) ? kAmdPState0 + 1
                                                   : kAmdPState0 + BoostStates<BasicCpuDataAmdM2Plus>();
    return (Bits(ReadMsr(msr), 5, 0) + 16) * 0.5f;
}

float BasicCpuDataAmdInagua::GetCurrentRatio() {
    return AmdDivisorRatio(ReadPciConfig(0, 0x18, 3, kNbPStateConfigDword), ReadMsr(kAmdCofVidStatus));
}

float BasicCpuDataAmdInagua::GetNominalRatio() {
    const uint64_t fid = ReadMsr(kAmdCofVidStatus) >> 49;
    return AmdDivisorRatio(fid, ReadMsr(BoostedPState0<BasicCpuDataAmdInagua>()));
}

float BasicCpuDataAmdLlnao::GetCurrentRatio() {
    return LlnaoRatio(ReadMsr(kAmdCofVidStatus));
}

float BasicCpuDataAmdLlnao::GetNominalRatio() {
    return LlnaoRatio(ReadMsr(BoostedPState0<BasicCpuDataAmdLlnao>()));
}

float BasicCpuDataAmdTrinity::GetCurrentRatio() {
    return TrinityRatio(ReadMsr(kAmdCofVidStatus));
}

float BasicCpuDataAmdTrinity::GetNominalRatio() {
    return TrinityRatio(ReadMsr(BoostedPState0<BasicCpuDataAmdTrinity>()));
}

// --- Reader choice ------------------------------------------------------------------------------

std::unique_ptr<BasicCpuData> CreateCpuData() {
    if (IsIntelCpu()) {
        if ((Cpuid(1).eax & 0xFFFFFFF0u) < 0x106A0) return std::make_unique<BasicCpuDataIntel775>();
        return std::make_unique<BasicCpuDataIntel>();
    }
    const AmdSignature s = ReadAmdSignature();
    const bool f15 = s.family == 15;
    if ((s.extFamily == 1 && f15) || (s.extFamily == 6 && f15 && s.extModel != 1))
        return std::make_unique<BasicCpuDataAmdM2Plus>();
    if (s.extFamily == 5 && f15) return std::make_unique<BasicCpuDataAmdInagua>();
    if (s.extFamily == 3 && f15) return std::make_unique<BasicCpuDataAmdLlnao>();
    if (s.extFamily == 6 && f15 && s.extModel == 1) return std::make_unique<BasicCpuDataAmdTrinity>();
    return std::make_unique<BasicCpuDataAmd>();
}
