#include "BiosInterface.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "AcpiLibrary.h"
#include "system/MessageBox.h"

namespace {

constexpr DWORD kPackageSize = 4096;

// Item types in bits 16-19 of the id.
constexpr uint32_t kTypeString = 8, kTypeBoolean = 7, kTypeComposite = 13;

uint32_t ItemType(uint32_t id) {
    return (id >> 16) & 0xF;
}

// A minimum or step word: bits 24-31 a signed decimal exponent, bits 0-23 a 24-bit two's-complement
// mantissa, read unsigned when its signed value is below -10000.
struct Word {
    int64_t mantissa;
    int exponent;
};

Word DecodeWord(uint32_t w) {
    int32_t m = static_cast<int32_t>(w & 0xFFFFFF);
    if (m & 0x800000) m -= 0x1000000;
    if (m < -10000) m = static_cast<int32_t>(w & 0xFFFFFF);
    return {m, static_cast<int8_t>(w >> 24)};
}

int64_t Pow10(int n) {
    int64_t v = 1;
    while (n-- > 0) v *= 10;
    return v;
}

int TrailingZeros(int64_t v) {
    if (v < 0) v = -v;
    if (v == 0) return 0;
    int n = 0;
    while (v % 10 == 0) v /= 10, ++n;
    return n;
}

template <typename CharT>
std::basic_string<CharT> FromAnsi(const char* text);
template <>
std::string FromAnsi<char>(const char* text) {
    return text ? text : "";
}
template <>
std::wstring FromAnsi<wchar_t>(const char* text) {
    return tolo::AnsiToWide(text);
}

void NotSupported(uint32_t id, const char* what) {
    char text[96];
    std::snprintf(text, sizeof text, "Item[%x] does not supports %s", id, what);
    tolo::ShowMessageBoxA(text, "BiosItem", MB_OK);
}

// Steps over elements 1 and 2 of a description, which no item interprets.
void SkipNameAndReserved(void*& cursor, int& remaining) {
    cursor = acpi::NextArg(acpi::NextArg(cursor));
    remaining -= 2;
}

int ArgInt(void* element) {
    const void* data = acpi::GetArgData(element);
    int v = 0;
    if (data) std::memcpy(&v, data, sizeof v);
    return v;
}

}  // namespace

// --- BasicBiosItem ------------------------------------------------------------------------------

template <typename CharT>
BasicBiosItem<CharT>::~BasicBiosItem() = default;

template <typename CharT>
bool BasicBiosItem<CharT>::Init(const void* description, uint32_t size) {
    m_hasId = m_valid = false;
    // A package shorter than its element count cannot be walked.
    if (!description || size < sizeof(uint32_t)) return false;
    const auto* bytes = static_cast<const uint8_t*>(description);
    m_desc.assign(bytes, bytes + size);
    int count = acpi::GetArgCount(m_desc.data());
    if (count < 1) return false;
    void* first = acpi::FirstArg(m_desc.data());
    m_id = static_cast<uint32_t>(ArgInt(first));
    m_hasId = true;
    if (count < 3) return false;
    void* cursor = acpi::NextArg(first);
    int remaining = count - 1;
    m_valid = ParseArgs(cursor, remaining);
    return m_valid;
}

template <typename CharT>
int BasicBiosItem<CharT>::ElementInt(int index) const {
    auto* package = const_cast<uint8_t*>(m_desc.data());
    if (!m_valid || index >= acpi::GetArgCount(package)) return 0;
    void* e = acpi::FirstArg(package);
    for (int i = 0; i < index; ++i) e = acpi::NextArg(e);
    return ArgInt(e);
}

template <typename CharT>
const char* BasicBiosItem<CharT>::ElementText(int index) const {
    auto* package = const_cast<uint8_t*>(m_desc.data());
    if (!m_valid || index >= acpi::GetArgCount(package)) return nullptr;
    void* e = acpi::FirstArg(package);
    for (int i = 0; i < index; ++i) e = acpi::NextArg(e);
    return static_cast<const char*>(acpi::GetArgData(e));
}

template <typename CharT>
std::string BasicBiosItem<CharT>::GetName() const {
    const char* name = ElementText(1);
    return name ? name : "";
}

template <typename CharT>
bool BasicBiosItem<CharT>::IsString() const {
    return ((m_id >> 20) & 0xF) == 8;
}

template <typename CharT>
int BasicBiosItem<CharT>::Set(int value, int second) {
    return acpi::SetItem(m_id, value, second);
}

template <typename CharT>
bool BasicBiosItem<CharT>::Set(int value) {
    return (acpi::SetItem(m_id, value, 1) & 1) != 0;
}

template <typename CharT>
bool BasicBiosItem<CharT>::Get(int* value) {
    return (acpi::GetItem(m_id, reinterpret_cast<int32_t*>(value)) & 1) != 0;
}

template <typename CharT>
bool BasicBiosItem<CharT>::IndexToRational(int, int*, int*) {
    NotSupported(m_id, "IndexToRational");
    return false;
}

template <typename CharT>
double BasicBiosItem<CharT>::IndexToValue(int) {
    NotSupported(m_id, "IndexToValue");
    return 0;
}

template <typename CharT>
typename BasicBiosItem<CharT>::String BasicBiosItem<CharT>::IndexToString(int) {
    NotSupported(m_id, "IndexToString");
    return {};
}

template <typename CharT>
bool BasicBiosItem<CharT>::ParseArgs(void*& cursor, int& remaining) {
    SkipNameAndReserved(cursor, remaining);
    return true;
}

// --- number and composite items -----------------------------------------------------------------

template <typename CharT>
int BasicBiosNumberItem<CharT>::GetHeaderValue() const {
    return this->ElementInt(3);
}

template <typename CharT>
bool BasicBiosNumberItem<CharT>::ParseArgs(void*& cursor, int& remaining) {
    SkipNameAndReserved(cursor, remaining);
    if (remaining < 4) return false;
    cursor = acpi::NextArg(cursor);  // element 3, the header value
    m_min = static_cast<uint32_t>(ArgInt(cursor));
    cursor = acpi::NextArg(cursor);
    m_step = static_cast<uint32_t>(ArgInt(cursor));
    cursor = acpi::NextArg(cursor);
    m_count = ArgInt(cursor);
    cursor = acpi::NextArg(cursor);
    remaining -= 4;
    if (remaining == 0) return true;
    if (remaining < 2) return false;
    int m = ArgInt(cursor);
    if (m == 0 || m > remaining - 1) return false;
    for (int i = 0; i < m; ++i) {
        cursor = acpi::NextArg(cursor);
        m_exStrs.push_back(static_cast<const char*>(acpi::GetArgData(cursor)));
    }
    cursor = acpi::NextArg(cursor);
    remaining -= m + 1;
    m_count += m;
    return true;
}

template <typename CharT>
typename BasicBiosNumberItem<CharT>::Scale BasicBiosNumberItem<CharT>::GetScale() const {
    Word min = DecodeWord(m_min), step = DecodeWord(m_step);
    Scale s{};
    int digits = -min.exponent;
    if (step.exponent < 0) {
        s.min = min.mantissa * Pow10(-step.exponent);
        s.step = step.mantissa;
        s.exponent = min.exponent + step.exponent;
        digits += -step.exponent;
    } else {
        s.min = min.mantissa;
        s.step = step.mantissa * Pow10(step.exponent);
        s.exponent = min.exponent;
    }
    switch (ItemType(this->m_id)) {
        case 1: s.exponent -= 2, digits += 2; break;
        case 2:
        case 12: s.exponent -= 3, digits += 3; break;
        case 3: s.exponent -= 1, digits += 4; break;
        default: break;
    }
    int g = std::min(TrailingZeros(s.min), TrailingZeros(s.step));
    s.digits = g >= digits ? 0 : std::min(digits - g, 5);
    return s;
}

template <typename CharT>
bool BasicBiosNumberItem<CharT>::IsExtraIndex(int index, const char* caption) const {
    if (index >= static_cast<int>(m_exStrs.size())) return false;
    tolo::ShowMessageBoxA("Can not convert extra string to value", caption, MB_OK);
    return true;
}

template <typename CharT>
bool BasicBiosNumberItem<CharT>::IndexToRational(int index, int* numerator, int* denominator) {
    if (!this->m_valid) return false;
    if (IsExtraIndex(index, "IndexToRational Fail")) return false;
    Scale s = GetScale();
    int64_t n = s.min + int64_t(index - static_cast<int>(m_exStrs.size())) * s.step;
    if (s.exponent >= 0) {
        *numerator = static_cast<int>(n * Pow10(s.exponent));
        *denominator = 1;
    } else {
        *numerator = static_cast<int>(n);
        *denominator = static_cast<int>(Pow10(-s.exponent));
    }
    return true;
}

template <typename CharT>
double BasicBiosNumberItem<CharT>::IndexToValue(int index) {
    if (!this->m_valid) return 0;
    if (IsExtraIndex(index, "IndexToValue Fail")) return 0;
    Scale s = GetScale();
    double v = static_cast<double>(s.min + int64_t(index - static_cast<int>(m_exStrs.size())) * s.step);
    for (int e = s.exponent; e > 0; --e) v *= 10;
    for (int e = s.exponent; e < 0; ++e) v /= 10;
    return v;
}

template <typename CharT>
typename BasicBiosNumberItem<CharT>::String BasicBiosNumberItem<CharT>::IndexToString(int index) {
    if (!this->m_valid) return {};
    if (index >= 0 && index < static_cast<int>(m_exStrs.size())) return FromAnsi<CharT>(m_exStrs[index]);
    double x = IndexToValue(index);
    int digits = GetScale().digits;
    // Fixed-point decimal conversion: the digits of |x| rounded to `digits` fraction digits, and
    // the position of the decimal point within them.
    std::string text = std::to_string(std::llround(std::fabs(x) * static_cast<double>(Pow10(digits))));
    int p = static_cast<int>(text.size()) - digits;
    if (p <= 0) {
        text.insert(0, static_cast<size_t>(1 - p), '0');
        text.insert(1, ".");
    } else if (p < static_cast<int>(text.size())) {
        text.insert(static_cast<size_t>(p), ".");
    }
    if (x < -0.000001) text.insert(0, "-");
    return FromAnsi<CharT>(text.c_str());
}

template <typename CharT>
int BasicBiosCompositedItem<CharT>::Set(int, int) {
    return -1;
}

template <typename CharT>
bool BasicBiosCompositedItem<CharT>::Set(int) {
    return false;
}

template <typename CharT>
bool BasicBiosCompositedItem<CharT>::Get(int*) {
    return false;
}

// --- string and boolean items -------------------------------------------------------------------

template <typename CharT>
int BasicBiosStringItem<CharT>::GetHeaderValue() const {
    return this->ElementInt(3);
}

template <typename CharT>
bool BasicBiosStringItem<CharT>::ParseArgs(void*& cursor, int& remaining) {
    SkipNameAndReserved(cursor, remaining);
    if (remaining < 3) return false;
    cursor = acpi::NextArg(cursor);  // element 3, the header value
    int n = ArgInt(cursor);
    remaining -= 2;
    if (n == 0 || n > remaining) return false;
    for (int i = 0; i < n; ++i) {
        cursor = acpi::NextArg(cursor);
        m_strs.push_back(static_cast<const char*>(acpi::GetArgData(cursor)));
    }
    cursor = acpi::NextArg(cursor);
    remaining -= n;
    return true;
}

template <typename CharT>
typename BasicBiosStringItem<CharT>::String BasicBiosStringItem<CharT>::IndexToString(int index) {
    if (!this->m_valid) return {};
#ifdef QUIL_BIOS_TOOL_BUILD
    assert(index < static_cast<int>(m_strs.size()) && "index < m_strs.size()");
#endif
    if (index < 0 || index >= static_cast<int>(m_strs.size())) return {};
    return FromAnsi<CharT>(m_strs[index]);
}

template <typename CharT>
int BasicBiosBooleanItem<CharT>::GetHeaderValue() const {
    return this->ElementInt(3);
}

template <typename CharT>
bool BasicBiosBooleanItem<CharT>::ParseArgs(void*& cursor, int& remaining) {
    SkipNameAndReserved(cursor, remaining);
    if (remaining <= 0) return false;
    cursor = acpi::NextArg(cursor);
    --remaining;
    return true;
}

template class BasicBiosItem<char>;
template class BasicBiosItem<wchar_t>;
template class BasicBiosNumberItem<char>;
template class BasicBiosNumberItem<wchar_t>;
template class BasicBiosCompositedItem<char>;
template class BasicBiosCompositedItem<wchar_t>;
template class BasicBiosStringItem<char>;
template class BasicBiosStringItem<wchar_t>;
template class BasicBiosBooleanItem<char>;
template class BasicBiosBooleanItem<wchar_t>;

// --- GroupInfoTraverser -------------------------------------------------------------------------

GroupInfoTraverser::~GroupInfoTraverser() {
    FreeBuffers();
}

void GroupInfoTraverser::FreeBuffers() {
    delete[] m_group;
    delete[] m_desc;
    m_group = m_desc = nullptr;
    m_element = nullptr;
    m_pos = m_count = 0;
}

bool GroupInfoTraverser::LoadGroup(uint32_t group) {
#ifdef QUIL_BIOS_TOOL_BUILD
    assert(!IsOpen() && "!IsOpen()");
#endif
    if (!m_group) m_group = new uint8_t[kPackageSize]();
    DWORD size = kPackageSize;
    if (!acpi::GGrp(group, m_group, &size)) return false;
    m_pos = 0;
    m_count = acpi::GetArgCount(m_group);
    m_element = acpi::FirstArg(m_group);
    return true;
}

bool GroupInfoTraverser::Open(uint32_t group) {
#ifdef QUIL_BIOS_TOOL_BUILD
    assert(!IsOpen() && "!IsOpen()");
#endif
    if (!LoadGroup(group)) {
        FreeBuffers();
        return false;
    }
    if (!m_desc) m_desc = new uint8_t[kPackageSize]();
    if (!IsEnd()) FetchDescription();
    return true;
}

void GroupInfoTraverser::Next() {
    if (IsEnd()) return;
    ++m_pos;
    if (IsEnd()) return;
    m_element = acpi::NextArg(m_element);
    FetchDescription();
}

void GroupInfoTraverser::FetchDescription() {
    DWORD size = kPackageSize;
    if (!acpi::CallMethod(acpi::GetArgData(m_element), m_desc, &size)) {
        m_descSize = 0;
        m_id = 0;
        return;
    }
    m_descSize = size;
    m_id = size >= sizeof(uint32_t) && acpi::GetArgCount(m_desc) > 0
               ? static_cast<uint32_t>(ArgInt(acpi::FirstArg(m_desc)))
               : 0;
}

template <typename CharT>
BasicBiosItem<CharT>* CreateBiosItem(GroupInfoTraverser& traverser) {
    BasicBiosItem<CharT>* item;
    switch (ItemType(traverser.CurrentId())) {
        case kTypeString: item = new BasicBiosStringItem<CharT>; break;
        case kTypeBoolean: item = new BasicBiosBooleanItem<CharT>; break;
        case kTypeComposite: item = new BasicBiosCompositedItem<CharT>; break;
        default: item = new BasicBiosNumberItem<CharT>; break;
    }
    item->Init(traverser.Description(), traverser.DescriptionSize());
    return item;
}

template BasicBiosItem<char>* CreateBiosItem<char>(GroupInfoTraverser&);
template BasicBiosItem<wchar_t>* CreateBiosItem<wchar_t>(GroupInfoTraverser&);

// --- BiosItemManager ----------------------------------------------------------------------------

BiosItemManager& BiosItemManager::Instance() {
    static BiosItemManager* instance = new BiosItemManager;  // lives until the process ends
    return *instance;
}

BiosItemW* BiosItemManager::GetItem(uint32_t id) {
    return FindItem(id >> 24, id & 0xFFFF);
}

BiosItemW* BiosItemManager::FindItem(uint32_t group, uint32_t index) {
    // Both of the service's threads reach the cache: the first walk of a group is done once.
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    const uint32_t key = (group << 24) | index;
    if (m_groups.count(group)) {
        auto it = m_items.find(key);
        return it == m_items.end() ? nullptr : it->second;
    }
    BiosItemW* result = nullptr;
    std::vector<uint32_t> ids;
    GroupInfoTraverser traverser;
    if (traverser.Open(group)) {
        for (; !traverser.IsEnd(); traverser.Next()) {
            std::unique_ptr<BiosItemW> item(CreateBiosItem<wchar_t>(traverser));
            const uint32_t id = item->GetId();
            ids.push_back(id);
            // Presence is what every user tests before it touches an item: one whose description
            // does not parse is present (its description readers answer empty). Only a package
            // without an id names no item.
            if (!item->HasId()) continue;
            auto [slot, inserted] = m_items.emplace(id & 0xFF00FFFF, item.get());
            if (!inserted) continue;  // the first item of a key stays
            BiosItemW* cached = item.release();
            if ((id >> 24) == group && (id & 0xFFFF) == index) result = cached;
        }
    }
    m_groups.emplace(group, std::move(ids));
    return result;
}

// --- free functions -----------------------------------------------------------------------------

bool IsBiosItemPresent(uint32_t id) {
    return BiosItemManager::Instance().GetItem(id) != nullptr;
}

bool GetBiosItemValue(uint32_t id, int* value) {
    return (acpi::GetItem(id, reinterpret_cast<int32_t*>(value)) & 1) != 0;
}

bool SetBiosItemValue(uint32_t id, int value) {
    return (acpi::SetItem(id, value, 1) & 1) != 0;
}

int SetBiosItemParam(uint32_t id, int parameter, int value) {
    return acpi::SetItem(id, parameter, value);
}

bool ReadMbifValues(int* out, int skip, int n) {
    // The library's result tells nothing (some return 0 with a good package): the buffer starts
    // zeroed, so a package that was not delivered counts no elements and is reported, not read.
    std::vector<uint8_t> buffer(kPackageSize, 0);
    DWORD size = kPackageSize;
    acpi::Mbif(buffer.data(), &size);
    const int count = acpi::GetArgCount(buffer.data());
    if (count < 2 || skip < 0) return false;
    if (skip + n > count - 2) n = count - 2 - skip;
    if (n <= 0) return false;
    void* e = acpi::NextArg(acpi::NextArg(acpi::FirstArg(buffer.data())));
    for (int i = 0; i < skip; ++i) e = acpi::NextArg(e);
    for (int i = 0; i < n; ++i, e = acpi::NextArg(e)) out[i] = ArgInt(e);
    return true;
}

#ifndef QUIL_BIOS_TOOL_BUILD
bool GetBiosItemParam(uint32_t id, int parameter, int* value) {
    return (acpi::GetItemEx(id, parameter, reinterpret_cast<int32_t*>(value)) & 1) != 0;
}

bool WriteBiosItemBuffer(uint32_t id, void* buffer, uint32_t* length) {
    return (acpi::SetItemBuffer(id, 1, buffer, reinterpret_cast<DWORD*>(length)) & 1) != 0;
}
#else
bool GetBiosItemRealValue(BiosItemW* item, double* value) {
    int index = 0;
    if (!item || !item->Get(&index)) return false;
    *value = item->IndexToValue(index);
    return true;
}
#endif
