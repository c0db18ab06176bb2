// An enumerator over a copy of a list taken when it is created (IEnumConnections,
// IEnumConnectionPoints, IEnumVARIANT): later changes of the list do not reach it.
#pragma once

#include <ocidl.h>
#include <windows.h>

#include <new>
#include <vector>

namespace service {

// Each element kept or handed out carries its own reference (a VARIANT its own copy).
inline void CopyItem(CONNECTDATA* out, const CONNECTDATA& item) {
    *out = item;
    if (out->pUnk) out->pUnk->AddRef();
}
inline void DropItem(CONNECTDATA& item) {
    if (item.pUnk) item.pUnk->Release();
}
inline void CopyItem(IConnectionPoint** out, IConnectionPoint* item) {
    *out = item;
    if (item) item->AddRef();
}
inline void DropItem(IConnectionPoint* item) {
    if (item) item->Release();
}
inline void CopyItem(VARIANT* out, const VARIANT& item) {
    VariantInit(out);
    VariantCopy(out, const_cast<VARIANT*>(&item));
}
inline void DropItem(VARIANT& item) {
    VariantClear(&item);
}

template <class IEnum, class Item>
class SnapshotEnum final : public IEnum {
public:
    // A new enumerator over a copy of items.
    static HRESULT Create(const std::vector<Item>& items, IEnum** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        try {
            *out = new SnapshotEnum(items, 0);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, __uuidof(IEnum))) return E_NOINTERFACE;
        *out = static_cast<IEnum*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        for (; n < count && position_ < items_.size(); ++n, ++position_) CopyItem(&out[n], items_[position_]);
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        size_t left = items_.size() - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnum** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        try {
            *out = new SnapshotEnum(items_, position_);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

private:
    SnapshotEnum(const std::vector<Item>& items, size_t position)
        : items_(items.size()), position_(position) {
        for (size_t i = 0; i < items.size(); ++i) CopyItem(&items_[i], items[i]);
    }
    ~SnapshotEnum() {
        for (Item& item : items_) DropItem(item);
    }
    std::vector<Item> items_;
    size_t position_;
    volatile LONG refs_ = 1;
};

// The enumerator of the collections' _NewEnum: walks a copy of the list, each item a VARIANT holding
// its IDispatch (an empty interface VARIANT for a missing item).
using CMapEnumVariant = SnapshotEnum<IEnumVARIANT, VARIANT>;

template <class Item>
HRESULT NewDispatchEnum(const std::vector<Item>& items, IUnknown** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    std::vector<VARIANT> copy;
    try {
        copy.resize(items.size());
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        // Borrowed: the enumerator takes its own references.
        VariantInit(&copy[i]);
        copy[i].vt = VT_DISPATCH;
        copy[i].pdispVal = items[i].Get();
    }
    IEnumVARIANT* walker = nullptr;
    HRESULT hr = CMapEnumVariant::Create(copy, &walker);
    *out = walker;
    return hr;
}

}  // namespace service
