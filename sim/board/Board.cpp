#include "Board.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

const wchar_t kEnvName[] = L"QUIL_SIM_BOARD";
const wchar_t kDefaultPath[] = L"C:\\quilsim\\board.state";

BoardState* g_state = nullptr;
HANDLE g_mutex = nullptr;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "simulated board: %s (error %lu)\n", what, GetLastError());
    std::abort();
}

HANDLE Mutex() {
    if (!g_mutex) {
        // One name for every board file: changes are short, so sharing it costs nothing.
        g_mutex = CreateMutexW(nullptr, FALSE, L"QuilSimBoardLock");
        if (!g_mutex) Fail("cannot create the board mutex");
    }
    return g_mutex;
}

void Init(BoardState* s) {
    std::memset(s, 0, sizeof *s);
    s->magic = kBoardMagic;
    s->acpi.mbifCount = -1;
    s->acpi.mbifResult = 1;
    s->sio.family = SioFamily::None;
}

}  // namespace

std::wstring BoardFilePath() {
    wchar_t buf[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(kEnvName, buf, MAX_PATH);
    if (n > 0 && n < MAX_PATH) return buf;
    // Processes started by COM or the service control manager do not inherit a test's
    // environment: they find the board through the registry.
    DWORD size = sizeof buf;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\QuilSim", L"BoardFile", RRF_RT_REG_SZ, nullptr, buf,
                     &size) == ERROR_SUCCESS)
        return buf;
    return kDefaultPath;
}

void UseBoardFileForAllProcesses(const std::wstring& path) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\QuilSim", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, L"BoardFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void UseBoardFile(const std::wstring& path) {
    SetEnvironmentVariableW(kEnvName, path.c_str());
}

BoardLock::BoardLock() {
    WaitForSingleObject(Mutex(), INFINITE);
}
BoardLock::~BoardLock() {
    ReleaseMutex(Mutex());
}

namespace {
BoardState* MapBoard() {
    std::wstring path = BoardFilePath();
    if (path == kDefaultPath) CreateDirectoryW(L"C:\\quilsim", nullptr);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail("cannot open the board file");
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, sizeof(BoardState), nullptr);
    CloseHandle(file);
    if (!mapping) Fail("cannot map the board file");
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(BoardState));
    CloseHandle(mapping);  // the view keeps the mapping alive for the life of the process
    if (!view) Fail("cannot map a view of the board file");
    auto* s = static_cast<BoardState*>(view);
    if (s->magic != kBoardMagic) Init(s);
    return s;
}
}  // namespace

BoardState* State() {
    if (g_state) return g_state;
    BoardLock lock;
    if (!g_state) g_state = MapBoard();
    return g_state;
}

uint32_t LibraryFaults() {
    if (g_state) return g_state->libraryFaults;
    // A library loaded with its program maps the board before the program could choose one: look
    // without keeping the view.
    BoardLock lock;
    BoardState* s = MapBoard();
    uint32_t faults = s->libraryFaults;
    UnmapViewOfFile(s);
    return faults;
}

void ResetBoard() {
    BoardLock lock;
    Init(State());
}

// --- write log --------------------------------------------------------------------------------

bool SioLockHeld() {
    // The event's state is read without waiting on it: a wait would take the lock for a moment and
    // disturb the processes that use it.
    struct EventBasicInformation {
        int type;
        LONG state;
    };
    using QueryEvent = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<QueryEvent>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryEvent")));
    HANDLE ev = OpenEventW(0x0001 /* EVENT_QUERY_STATE */ | SYNCHRONIZE, FALSE, L"Global\\QUIL_SIO_MUTEX");
    if (!ev) return false;
    EventBasicInformation info{};
    bool held = query && query(ev, 0, &info, sizeof info, nullptr) >= 0 && info.state == 0;
    CloseHandle(ev);
    return held;
}

void LogWrite(WriteKind kind, uint32_t a, uint32_t b, uint32_t c) {
    uint32_t locked = SioLockHeld() ? 1 : 0;
    BoardLock lock;
    BoardState* s = State();
    WriteRecord& r = s->writes[s->writeCount % kWriteLog];
    r = WriteRecord{s->writeSeq++, kind, a, b, c, locked};
    ++s->writeCount;
}

std::vector<WriteRecord> Writes(uint32_t fromSeq) {
    BoardLock lock;
    BoardState* s = State();
    std::vector<WriteRecord> out;
    uint32_t n = s->writeCount < kWriteLog ? s->writeCount : kWriteLog;
    for (uint32_t i = s->writeCount - n; i < s->writeCount; ++i) {
        const WriteRecord& r = s->writes[i % kWriteLog];
        if (r.seq >= fromSeq) out.push_back(r);
    }
    return out;
}

uint32_t NextWriteSeq() {
    return State()->writeSeq;
}

// --- BIOS items -------------------------------------------------------------------------------

BiosItem* FindItem(uint32_t id) {
    AcpiState& a = State()->acpi;
    for (uint32_t i = 0; i < a.itemCount; ++i)
        if ((a.items[i].id & 0xFF00FFFF) == (id & 0xFF00FFFF)) return &a.items[i];
    return nullptr;
}

namespace {

// Flags of an item read or changed under the board lock; 0 for an unknown item.
uint32_t ChangeItemFlags(uint32_t id, uint32_t set, uint32_t clear) {
    BoardLock lock;
    BiosItem* it = FindItem(id);
    if (!it) return 0;
    it->flags = (it->flags | set) & ~clear;
    return it->flags;
}

}  // namespace

void HoldNextItemWrite(uint32_t id) {
    ChangeItemFlags(id, ItemHoldNext, 0);
}

bool WaitItemWriteHeld(uint32_t id, uint32_t timeoutMs) {
    for (uint32_t waited = 0;; waited += 5) {
        if (ChangeItemFlags(id, 0, 0) & ItemHeld) return true;
        if (waited >= timeoutMs) return false;
        Sleep(5);
    }
}

void ReleaseItemWrite(uint32_t id) {
    ChangeItemFlags(id, 0, ItemHoldNext | ItemHeld);
}

void WaitWhileItemWriteHeld(uint32_t id) {
    {
        BoardLock lock;
        BiosItem* it = FindItem(id);
        if (!it || !(it->flags & ItemHoldNext)) return;
        it->flags = (it->flags & ~ItemHoldNext) | ItemHeld;
    }
    // The board lock is not held while waiting: the test and other writers go on.
    while (ChangeItemFlags(id, 0, 0) & ItemHeld) Sleep(1);
}

BiosItem* AddItem(uint32_t id) {
    BoardLock lock;
    if (BiosItem* it = FindItem(id)) return it;
    AcpiState& a = State()->acpi;
    if (a.itemCount >= static_cast<uint32_t>(kMaxItems)) return nullptr;
    BiosItem* it = &a.items[a.itemCount++];
    std::memset(it, 0, sizeof *it);
    it->id = id;
    return it;
}

void SetItemValue(uint32_t id, int32_t value) {
    BoardLock lock;
    if (BiosItem* it = AddItem(id)) {
        it->value = value;
        it->flags |= ItemHasValue;
    }
}

uint8_t* Blob(uint32_t offset) {
    return State()->blob + offset;
}

uint32_t BlobAlloc(uint32_t size) {
    BoardLock lock;
    BoardState* s = State();
    uint32_t off = (s->blobUsed + 3) & ~3u;
    if (off + size > kBlobSize) Fail("board blob exhausted");
    s->blobUsed = off + size;
    return off;
}

void SetItemDescription(uint32_t id, const std::vector<uint8_t>& package) {
    BoardLock lock;
    BiosItem* it = AddItem(id);
    if (!it) return;
    it->id = id;  // the description carries the full id, type bits included
    it->descOffset = BlobAlloc(static_cast<uint32_t>(package.size()));
    it->descLength = static_cast<uint32_t>(package.size());
    std::memcpy(Blob(it->descOffset), package.data(), package.size());
    it->flags |= ItemListed;
}

void SetItemBuffer(uint32_t id, const std::vector<uint8_t>& data) {
    BoardLock lock;
    BiosItem* it = AddItem(id);
    if (!it) return;
    uint32_t n = static_cast<uint32_t>(data.size());
    if (n > it->bufCapacity) {
        uint32_t cap = n < 64 ? 64 : n;
        it->bufOffset = BlobAlloc(cap);
        it->bufCapacity = cap;
    }
    it->bufLength = n;
    if (n) std::memcpy(Blob(it->bufOffset), data.data(), n);
}

std::vector<uint8_t> ItemBuffer(uint32_t id) {
    BoardLock lock;
    BiosItem* it = FindItem(id);
    if (!it) return {};
    const uint8_t* p = Blob(it->bufOffset);
    return std::vector<uint8_t>(p, p + it->bufLength);
}

void RemoveItem(uint32_t id) {
    BoardLock lock;
    AcpiState& a = State()->acpi;
    BiosItem* it = FindItem(id);
    if (!it) return;
    size_t i = static_cast<size_t>(it - a.items);
    std::memmove(&a.items[i], &a.items[i + 1], (a.itemCount - i - 1) * sizeof(BiosItem));
    --a.itemCount;
}

// --- physical memory, PCI, MSRs --------------------------------------------------------------

void AddMemory(uint32_t base, const std::vector<uint8_t>& bytes) {
    BoardLock lock;
    BoardState* s = State();
    for (MemRegion& r : s->mem) {
        if (r.used) continue;
        uint32_t n = static_cast<uint32_t>(bytes.size());
        if (s->memUsed + n > kMemSize) Fail("board memory exhausted");
        r = MemRegion{1, base, n, s->memUsed};
        std::memcpy(s->memory + s->memUsed, bytes.data(), n);
        s->memUsed += (n + 15) & ~15u;
        return;
    }
    Fail("too many memory regions");
}

void SetBoardProduct(const std::string& product) {
    BoardLock lock;
    BoardState* s = State();
    std::snprintf(s->product, sizeof s->product, "%s", product.c_str());

    // The BIOS area 0xF0000-0xFFFFF with an SMBIOS 2.x entry point at 0xF0040 and the structure
    // table at 0xF8000: a BIOS record without strings, the base board (type 2) and the end.
    constexpr uint32_t kBase = 0xF0000, kEntry = 0x40, kTable = 0x8000;
    std::vector<uint8_t> area(0x10000, 0);
    std::vector<uint8_t> table = {0, 4, 0, 0, 0, 0};   // type 0, length 4, handle, no strings
    const uint8_t board[] = {2, 8, 1, 0, 1, 2, 3, 0};  // manufacturer 1, product 2, version 3
    table.insert(table.end(), board, board + sizeof board);
    for (const std::string& text : {std::string("Quil"), product, std::string("1.0")}) {
        table.insert(table.end(), text.begin(), text.end());
        table.push_back(0);
    }
    table.push_back(0);
    const uint8_t end[] = {127, 4, 2, 0, 0, 0};
    table.insert(table.end(), end, end + sizeof end);
    std::memcpy(area.data() + kTable, table.data(), table.size());
    uint8_t* ep = area.data() + kEntry;
    std::memcpy(ep, "_SM_", 4);
    ep[5] = 0x1F, ep[6] = 2, ep[7] = 8;  // length, version 2.8
    std::memcpy(ep + 0x10, "_DMI_", 5);
    const uint16_t length = static_cast<uint16_t>(table.size());
    const uint32_t address = kBase + kTable;
    std::memcpy(ep + 0x16, &length, 2);
    std::memcpy(ep + 0x18, &address, 4);

    for (MemRegion& r : s->mem)
        if (r.used && r.base == kBase && r.length >= area.size()) {
            std::memcpy(s->memory + r.offset, area.data(), area.size());
            return;
        }
    AddMemory(kBase, area);
}

uint8_t* PhysicalToView(uint32_t address, uint32_t length) {
    BoardState* s = State();
    const uint64_t end = uint64_t(address) + length;
    if (s->sio.iteMemBase && address >= s->sio.iteMemBase &&
        end <= uint64_t(s->sio.iteMemBase) + sizeof s->sio.hwm)
        return &s->sio.hwm[0][0] + (address - s->sio.iteMemBase);
    for (const MemRegion& r : s->mem)
        if (r.used && address >= r.base && end <= uint64_t(r.base) + r.length)
            return s->memory + r.offset + (address - r.base);
    return nullptr;
}

PciDevice* FindPci(uint8_t bus, uint8_t device, uint8_t function, bool create) {
    BoardState* s = State();
    for (PciDevice& d : s->pci)
        if (d.used && d.bus == bus && d.device == device && d.function == function) return &d;
    if (!create) return nullptr;
    BoardLock lock;
    for (PciDevice& d : s->pci) {
        if (d.used) continue;
        std::memset(&d, 0, sizeof d);
        d.used = 1, d.bus = bus, d.device = device, d.function = function;
        std::memset(d.cfg, 0xFF, 4);  // no vendor until the board says so
        return &d;
    }
    return nullptr;
}

namespace {
PciDevice* PciFromAddress(uint32_t address) {
    if (!(address & 0x80000000u)) return nullptr;
    return FindPci((address >> 16) & 0xFF, (address >> 11) & 0x1F, (address >> 8) & 0x7, false);
}
}  // namespace

uint32_t PciConfigRead(uint32_t address) {
    PciDevice* d = PciFromAddress(address);
    if (!d) return 0xFFFFFFFFu;
    uint32_t v;
    std::memcpy(&v, d->cfg + (address & 0xFC), 4);
    return v;
}

void PciConfigWrite(uint32_t address, uint32_t value) {
    if (PciDevice* d = PciFromAddress(address)) std::memcpy(d->cfg + (address & 0xFC), &value, 4);
}

MsrEntry* FindMsr(uint32_t index, bool create) {
    BoardState* s = State();
    for (MsrEntry& m : s->msrs)
        if (m.used && m.index == index) return &m;
    if (!create) return nullptr;
    BoardLock lock;
    for (MsrEntry& m : s->msrs)
        if (!m.used) {
            m = MsrEntry{1, index, 0};
            return &m;
        }
    return nullptr;
}

}  // namespace sim
