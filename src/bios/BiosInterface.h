// The BIOS item library: typed, cached BIOS items over the maker's ACPI library.
//
// An item id names one firmware setting or ACPI device: bits 24-31 the group, bits 16-19 the
// item type (8 string, 7 boolean, 13 composite, else number), bits 20-23 a second attribute,
// bits 0-15 the index in the group. Lookups ignore bits 16-23.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

template <typename CharT>
class BasicBiosItem {
public:
    using String = std::basic_string<CharT>;

    BasicBiosItem() = default;
    BasicBiosItem(const BasicBiosItem&) = delete;
    BasicBiosItem& operator=(const BasicBiosItem&) = delete;

    virtual ~BasicBiosItem();
    virtual int GetCount() const { return 0; }
    virtual int GetHeaderValue() const = 0;
    virtual bool IsString() const;
    virtual int Set(int value, int second);
    virtual bool Set(int value);
    virtual bool Get(int* value);
    virtual bool IndexToRational(int index, int* numerator, int* denominator);
    virtual double IndexToValue(int index);
    virtual String IndexToString(int index);
    virtual bool ParseArgs(void*& cursor, int& remaining);

    // Copies the description package and parses it; run once after construction. An item whose
    // description does not parse still has its id (and is present); what reads its description
    // answers empty, 0 or false.
    bool Init(const void* description, uint32_t size);
    std::string GetName() const;
    uint32_t GetId() const { return m_id; }
    // Whether the description carried the item's id (element 0): the item exists.
    bool HasId() const { return m_hasId; }

protected:
    // The int of element `index` of a parsed description copy, 0 when there is no such element.
    int ElementInt(int index) const;
    const char* ElementText(int index) const;

    std::vector<uint8_t> m_desc;  // the item's own copy of its description package
    uint32_t m_id = 0;
    bool m_hasId = false;
    bool m_valid = false;  // Init accepted the whole description
};

template <typename CharT>
class BasicBiosNumberItem : public BasicBiosItem<CharT> {
public:
    using typename BasicBiosItem<CharT>::String;
    int GetCount() const override { return this->m_valid ? m_count : 0; }
    int GetHeaderValue() const override;
    bool IndexToRational(int index, int* numerator, int* denominator) override;
    double IndexToValue(int index) override;
    String IndexToString(int index) override;
    bool ParseArgs(void*& cursor, int& remaining) override;

protected:
    // Decoded minimum and step: mantissas scaled to one exponent, that exponent after the type's
    // scaling, and the fraction digits of the item's texts.
    struct Scale {
        int64_t min, step;
        int exponent;
        int digits;
    };
    Scale GetScale() const;
    bool IsExtraIndex(int index, const char* caption) const;

    std::vector<const char*> m_exStrs;  // extra texts, inside the description copy
    int m_count = 0;                    // numeric values plus extra texts
    uint32_t m_step = 0, m_min = 0;     // step and minimum words
};

template <typename CharT>
class BasicBiosCompositedItem : public BasicBiosNumberItem<CharT> {
public:
    int Set(int value, int second) override;
    bool Set(int value) override;
    bool Get(int* value) override;
};

template <typename CharT>
class BasicBiosStringItem : public BasicBiosItem<CharT> {
public:
    using typename BasicBiosItem<CharT>::String;
    int GetCount() const override { return this->m_valid ? static_cast<int>(m_strs.size()) : 0; }
    int GetHeaderValue() const override;
    String IndexToString(int index) override;
    bool ParseArgs(void*& cursor, int& remaining) override;

protected:
    std::vector<const char*> m_strs;  // the texts, inside the description copy
};

template <typename CharT>
class BasicBiosBooleanItem : public BasicBiosItem<CharT> {
public:
    int GetHeaderValue() const override;
    bool ParseArgs(void*& cursor, int& remaining) override;
};

using BiosItemW = BasicBiosItem<wchar_t>;
using BiosNumberItemW = BasicBiosNumberItem<wchar_t>;
using BiosStringItemW = BasicBiosStringItem<wchar_t>;
using BiosBooleanItemW = BasicBiosBooleanItem<wchar_t>;
using BiosCompositedItemW = BasicBiosCompositedItem<wchar_t>;

// Walks the items of one group.
class GroupInfoTraverser {
public:
    GroupInfoTraverser() = default;
    ~GroupInfoTraverser();
    GroupInfoTraverser(const GroupInfoTraverser&) = delete;
    GroupInfoTraverser& operator=(const GroupInfoTraverser&) = delete;

    bool LoadGroup(uint32_t group);
    bool Open(uint32_t group);
    bool IsOpen() const { return m_group != nullptr; }
    bool IsEnd() const { return m_pos >= m_count; }
    void Next();

    uint32_t CurrentId() const { return m_id; }
    const void* Description() const { return m_desc; }
    uint32_t DescriptionSize() const { return m_descSize; }

private:
    void FetchDescription();
    void FreeBuffers();

    uint8_t* m_group = nullptr;  // group package, 4096 bytes
    void* m_element = nullptr;
    int m_pos = 0, m_count = 0;
    uint8_t* m_desc = nullptr;  // current description, 4096 bytes
    uint32_t m_descSize = 0;
    uint32_t m_id = 0;
};

// A new item of the traverser's current id; the caller owns it.
template <typename CharT>
BasicBiosItem<CharT>* CreateBiosItem(GroupInfoTraverser& traverser);

// The process-wide item cache; a group is fetched from the firmware at most once per process.
class BiosItemManager {
public:
    static BiosItemManager& Instance();
    BiosItemW* GetItem(uint32_t id);
    BiosItemW* FindItem(uint32_t group, uint32_t index);

private:
    BiosItemManager() = default;
    std::recursive_mutex m_lock;
    std::map<uint32_t, BiosItemW*> m_items;              // keyed by id & 0xFF00FFFF
    std::map<uint32_t, std::vector<uint32_t>> m_groups;  // loaded groups and their ids
};

bool IsBiosItemPresent(uint32_t id);
bool GetBiosItemValue(uint32_t id, int* value);
bool SetBiosItemValue(uint32_t id, int value);
int SetBiosItemParam(uint32_t id, int parameter, int value);
// n values of the board-information package from element 2 + skip; false (nothing written) when
// the package cannot be read.
bool ReadMbifValues(int* out, int skip, int n);
#ifndef QUIL_BIOS_TOOL_BUILD
bool GetBiosItemParam(uint32_t id, int parameter, int* value);
bool WriteBiosItemBuffer(uint32_t id, void* buffer, uint32_t* length);
#else
bool GetBiosItemRealValue(BiosItemW* item, double* value);
#endif
