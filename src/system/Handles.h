// Owners for the Win32 handles the system holds: every handle has one.
#pragma once

#include <oleauto.h>
#include <windows.h>
#include <winsvc.h>

#include <utility>

namespace tolo {

// A kernel handle (events, threads, files, mutexes, mailslots, pipes). Null and
// INVALID_HANDLE_VALUE both mean "none".
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) Reset(o.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const { return h_; }
    bool Valid() const { return h_ && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return Valid(); }
    HANDLE Release() { return std::exchange(h_, nullptr); }
    void Reset(HANDLE h = nullptr) {
        if (Valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

// An open registry key.
class RegKey {
public:
    RegKey() = default;
    explicit RegKey(HKEY k) : k_(k) {}
    ~RegKey() { Reset(); }
    RegKey(RegKey&& o) noexcept : k_(std::exchange(o.k_, nullptr)) {}
    RegKey& operator=(RegKey&& o) noexcept {
        if (this != &o) Reset(std::exchange(o.k_, nullptr));
        return *this;
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    HKEY Get() const { return k_; }
    HKEY* Put() {
        Reset();
        return &k_;
    }
    explicit operator bool() const { return k_ != nullptr; }
    void Reset(HKEY k = nullptr) {
        if (k_) RegCloseKey(k_);
        k_ = k;
    }

private:
    HKEY k_ = nullptr;
};

// A loaded library.
class Module {
public:
    Module() = default;
    explicit Module(HMODULE m) : m_(m) {}
    ~Module() { Reset(); }
    Module(Module&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
    Module& operator=(Module&& o) noexcept {
        if (this != &o) Reset(std::exchange(o.m_, nullptr));
        return *this;
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    HMODULE Get() const { return m_; }
    explicit operator bool() const { return m_ != nullptr; }
    HMODULE Release() { return std::exchange(m_, nullptr); }
    void Reset(HMODULE m = nullptr) {
        if (m_) FreeLibrary(m_);
        m_ = m;
    }
    template <typename Fn>
    Fn Proc(const char* name) const {
        return m_ ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m_, name))) : nullptr;
    }

private:
    HMODULE m_ = nullptr;
};

// A BSTR owned by its holder.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const wchar_t* s) : b_(s ? SysAllocString(s) : nullptr) {}
    ~Bstr() { Reset(); }
    Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
    Bstr& operator=(Bstr&& o) noexcept {
        if (this != &o) Reset(std::exchange(o.b_, nullptr));
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    BSTR Get() const { return b_; }
    BSTR* Put() {
        Reset();
        return &b_;
    }
    BSTR Detach() { return std::exchange(b_, nullptr); }
    void Reset(BSTR b = nullptr) {
        if (b_) SysFreeString(b_);
        b_ = b;
    }

private:
    BSTR b_ = nullptr;
};

// A COM interface pointer that releases on destruction.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(T* p) : p_(p) {  // NOLINT: adopts a reference the caller owns
    }
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr& o) : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    ComPtr& operator=(const ComPtr& o) {
        if (this != &o) {
            if (o.p_) o.p_->AddRef();
            Reset(o.p_);
        }
        return *this;
    }
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& o) noexcept {
        if (this != &o) Reset(std::exchange(o.p_, nullptr));
        return *this;
    }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    T** Put() {
        Reset();
        return &p_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    T* Detach() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }
    void Reset(T* p = nullptr) {
        if (p_) p_->Release();
        p_ = p;
    }

private:
    T* p_ = nullptr;
};

// A mapped view of a file mapping.
class MappedView {
public:
    MappedView() = default;
    explicit MappedView(void* p) : p_(p) {}
    ~MappedView() { Reset(); }
    MappedView(MappedView&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    MappedView& operator=(MappedView&& o) noexcept {
        if (this != &o) Reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;

    void* Get() const { return p_; }
    void Reset(void* p = nullptr) {
        if (p_) UnmapViewOfFile(p_);
        p_ = p;
    }

private:
    void* p_ = nullptr;
};

// A handle of the service control manager or of a service.
class ServiceHandle {
public:
    ServiceHandle() = default;
    explicit ServiceHandle(SC_HANDLE h) : h_(h) {}
    ~ServiceHandle() { Reset(); }
    ServiceHandle(ServiceHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    ServiceHandle& operator=(ServiceHandle&& o) noexcept {
        if (this != &o) Reset(std::exchange(o.h_, nullptr));
        return *this;
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;

    SC_HANDLE Get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void Reset(SC_HANDLE h = nullptr) {
        if (h_) CloseServiceHandle(h_);
        h_ = h;
    }

private:
    SC_HANDLE h_ = nullptr;
};

// A window this code created; destroyed with its owner unless released first (a window that
// the system already destroyed).
class UniqueWindow {
public:
    UniqueWindow() = default;
    explicit UniqueWindow(HWND w) : w_(w) {}
    ~UniqueWindow() { Reset(); }
    UniqueWindow(const UniqueWindow&) = delete;
    UniqueWindow& operator=(const UniqueWindow&) = delete;

    HWND Get() const { return w_; }
    explicit operator bool() const { return w_ != nullptr; }
    HWND Release() { return std::exchange(w_, nullptr); }
    void Reset(HWND w = nullptr) {
        if (w_) DestroyWindow(w_);
        w_ = w;
    }

private:
    HWND w_ = nullptr;
};

}  // namespace tolo
