#include "CpuManager.h"

#include <memory>

#include "AcpiLoader.h"
#include "IoWrappers.h"
#include "bios/BiosInterface.h"

namespace {

constexpr uint32_t kBiosClockGroup = 3;
constexpr uint32_t kBiosClockIndex = 17;

// The measuring thread, one per process. Its handle is kept for the life of the process.
HANDLE g_thread = nullptr;
DWORD g_threadId = 0;
std::atomic<LONG> g_measurementsLeft{2};
constexpr LONG kPeriodMs = 3000;
std::atomic<LONG> g_stop{0};
std::atomic<LONG> g_published{0};

struct AmdFamily {
    uint32_t family, extFamily, extModel;
};

AmdFamily ReadAmdFamily() {
    uint32_t r[4] = {};
    Io_Cpuid(0x80000001, r, 0);
    return {(r[0] >> 8) & 0xF, (r[0] >> 20) & 0xFF, (r[0] >> 16) & 0xF};
}

}  // namespace

// --- measuring thread ---------------------------------------------------------------------------

void StartMeasureThread(BasicCpuManager* manager) {
    // Created suspended and let go only once its handle is stored: the thread suspends itself
    // through that handle, and running at once it could get there before the store.
    g_thread = g_cpuSources.createThread(&MeasureThreadProc, manager, CREATE_SUSPENDED, &g_threadId);
    if (!g_thread) return;
    ResumeThread(g_thread);
    SetThreadPriority(g_thread, THREAD_PRIORITY_BELOW_NORMAL);
}

void ResumeMeasureThread() {
    if (!g_thread) return;
    for (;;) {
        const DWORD previous = ResumeThread(g_thread);
        if (previous == 0 || previous == DWORD(-1)) break;
    }
}

void SuspendMeasureThread() {
    SuspendThread(g_thread);
}

void StopMeasureThread() {
    if (!g_thread) return;
    g_stop.exchange(1);
    if (WaitForSingleObject(g_thread, kPeriodMs) == WAIT_TIMEOUT) {
        DWORD code = 0;
        GetExitCodeThread(g_thread, &code);
        TerminateThread(g_thread, code);
    }
}

void SetMeasureThreadAffinity(DWORD_PTR mask) {
    g_cpuSources.setThreadAffinityMask(g_thread, mask);
}

HANDLE MeasureThreadHandle() {
    return g_thread;
}

DWORD WINAPI MeasureThreadProc(LPVOID parameter) {
    auto* manager = static_cast<BasicCpuManager*>(parameter);
    if (!manager) return 1;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    while (g_stop.load() == 0) {
        // Taken before a suspension, so the first pass after a resume does not wait.
        const DWORD t0 = g_cpuSources.timeGetTime();
        if (g_measurementsLeft.load() == 0)
            SuspendMeasureThread();
        else
            --g_measurementsLeft;
        manager->Measure();
        g_published.exchange(1);
        const LONG rest = kPeriodMs - static_cast<LONG>(g_cpuSources.timeGetTime() - t0);
        g_cpuSources.sleep(rest > 0 ? static_cast<DWORD>(rest) : 0);
    }
    return 0;
}

// --- BasicCpuManager ----------------------------------------------------------------------------

BasicCpuManager::BasicCpuManager() : m_reader(CreateCpuData()) {}

BasicCpuManager::~BasicCpuManager() {
    ResumeMeasureThread();
    StopMeasureThread();
}

void BasicCpuManager::Start() {
    if (!m_reader) return;
    StartMeasureThread(this);
    if (!MeasureThreadHandle()) return;  // nothing will ever publish
    for (;;) {
        LONG seen = 0;
        g_published.compare_exchange_strong(seen, 0);
        if (seen != 0) break;
    }
}

uint32_t BasicCpuManager::GetTscRate() {
    // Set before the wake-up: a thread woken first could otherwise see no measurement left and
    // suspend itself again after a single pass.
    g_measurementsLeft.store(2);
    ResumeMeasureThread();
    return m_tscRate.load(std::memory_order_relaxed);
}

void BasicCpuManager::Measure() {
    m_tscRate.store(static_cast<uint32_t>(m_reader->MeasureTscRate()), std::memory_order_relaxed);
    m_ratio.store(m_reader->GetCurrentRatio(), std::memory_order_relaxed);
}

// --- queries ------------------------------------------------------------------------------------

bool IsAmdBoostFamilyCached() {
    static const bool boost = [] {
        const AmdFamily f = ReadAmdFamily();
        return f.extFamily == 5 || f.extFamily == 3 ||
               (f.extFamily == 6 && f.extModel != 1 && f.family == 15);
    }();
    return boost;
}

bool HasInvariantTsc() {
    static const bool invariant = [] {
        uint32_t r[4] = {};
        Io_Cpuid(0x80000007, r, 0);
        return (r[3] >> 8 & 1) != 0;
    }();
    return invariant;
}

bool IsMbifType3() {
    AcpiInitOnce();
    int value = 0;
    if (!ReadMbifValues(&value, 0, 1)) return false;
    return (value & 0xFF) == 3;
}

BiosItemW* FindBiosItem17() {
    static bool found = false;
    static BiosItemW* item = nullptr;  // lives until the process ends
    if (found) return item;
    GroupInfoTraverser traverser;
    if (!traverser.Open(kBiosClockGroup)) return nullptr;  // asked again next time
    std::unique_ptr<BiosItemW> last;
    for (; !traverser.IsEnd(); traverser.Next())
        if ((traverser.CurrentId() & 0xFFFF) == kBiosClockIndex)
            last.reset(CreateBiosItem<wchar_t>(traverser));
    item = last.release();
    found = true;
    return item;
}

// --- CpuManager ---------------------------------------------------------------------------------

CpuManager::CpuManager() {
    LoadIoLibrary();
}

CpuManager& CpuManager::Instance() {
    static CpuManager* instance = new CpuManager;  // never destroyed
    return *instance;
}

void CpuManager::Init() {
    m_manager = new BasicCpuManager;
    m_manager->Start();
}

bool CpuManager::RatioFromBiosClock(double rate, double* ratio) {
    BiosItemW* item = FindBiosItem17();
    if (!item) return false;
    double clock = 0;
    if (!GetBiosItemRealValue(item, &clock) || clock == 0) return false;
    const double r = rate / clock * 0.01;
    *ratio = static_cast<int>(r * 2 + 0.5) * 0.5;
    return true;
}

int BusClockTenths(float ratio, float frequency) {
    return ratio > 0 ? static_cast<int>(frequency / ratio * 10) : 0;
}

void CpuManager::GetCpuFrequency(float* current, float* maximum, float* frequency) {
    if (!m_manager) {
        *current = *maximum = *frequency = 0.0f;
        return;
    }
    float max = m_manager->GetMaxRatio();
    float cur = m_manager->GetRatio();
    if (cur == 0.0f) cur = max;
    float freq = static_cast<float>(m_manager->GetTscRate());
    if (IsIntelCpu()) {
        if (!(max > 1.0f)) max = 1.0f;
        freq = freq / max * cur;
    } else {
        double biosRatio = 0;
        if (IsMbifType3() && !UsesTscAsCoreClock() && !IsAmdBoostFamilyCached() &&
            RatioFromBiosClock(freq, &biosRatio))
            max = static_cast<float>(biosRatio);
        if (!(max > 1.0f)) max = 1.0f;
        if (HasInvariantTsc() && !UsesTscAsCoreClock()) freq = freq / max * cur;
    }
    *current = cur;
    *maximum = max;
    *frequency = freq * 0.01f;
}
