// Small owning wrappers for every handle kind the program holds.
//
// Each type owns exactly one resource and frees it with the one call that
// matches it, so the logic never calls CloseHandle, UnmapViewOfFile,
// SysFreeString or VariantClear itself. COM interface pointers use
// Microsoft::WRL::ComPtr.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <utility>

using Microsoft::WRL::ComPtr;

// A value plus the function that frees it; movable, not copyable.
template <typename T, auto Close, T Invalid>
class UniqueResource {
public:
    UniqueResource() noexcept = default;
    explicit UniqueResource(T value) noexcept : value_(value) {}
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Invalid; }
    T release() noexcept { return std::exchange(value_, Invalid); }
    void reset(T value = Invalid) noexcept {
        T old = std::exchange(value_, value);
        if (old != Invalid) Close(old);
    }

private:
    T value_ = Invalid;
};

namespace resource_detail {
inline void CloseKernelHandle(HANDLE h) noexcept { ::CloseHandle(h); }
inline void UnmapView(void* view) noexcept { ::UnmapViewOfFile(view); }
inline void FreeBstr(BSTR s) noexcept { ::SysFreeString(s); }
inline void DestroyWindowHandle(HWND w) noexcept { ::DestroyWindow(w); }
inline void FreeGlobalMemory(HGLOBAL block) noexcept { ::GlobalFree(block); }
}  // namespace resource_detail

// Kernel handles that are NULL when absent (mappings, mutexes, processes, threads).
using UniqueHandle = UniqueResource<HANDLE, resource_detail::CloseKernelHandle, nullptr>;
using UniqueMappedView = UniqueResource<void*, resource_detail::UnmapView, nullptr>;
using UniqueBstr = UniqueResource<BSTR, resource_detail::FreeBstr, nullptr>;
using UniqueWindow = UniqueResource<HWND, resource_detail::DestroyWindowHandle, nullptr>;
// A global memory block until something (the clipboard) takes it over with release().
using UniqueGlobalMemory = UniqueResource<HGLOBAL, resource_detail::FreeGlobalMemory, nullptr>;

// An automation VARIANT that is cleared when it goes.
class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { ::VariantClear(&value_); }

    VARIANT* operator&() noexcept { return &value_; }
    VARIANT& get() noexcept { return value_; }
    const VARIANT& get() const noexcept { return value_; }

private:
    VARIANT value_;
};

// The exception information an IDispatch::Invoke call fills in; the strings
// it carries are freed when it goes.
class UniqueExcepInfo {
public:
    UniqueExcepInfo() noexcept = default;
    UniqueExcepInfo(const UniqueExcepInfo&) = delete;
    UniqueExcepInfo& operator=(const UniqueExcepInfo&) = delete;
    ~UniqueExcepInfo() {
        ::SysFreeString(value_.bstrSource);
        ::SysFreeString(value_.bstrDescription);
        ::SysFreeString(value_.bstrHelpFile);
    }

    EXCEPINFO& get() noexcept { return value_; }

private:
    EXCEPINFO value_{};
};

// The clipboard, open for the lifetime of this object (when Open succeeded).
class ClipboardSession {
public:
    ClipboardSession() noexcept = default;
    ClipboardSession(const ClipboardSession&) = delete;
    ClipboardSession& operator=(const ClipboardSession&) = delete;
    ~ClipboardSession() {
        if (open_) ::CloseClipboard();
    }
    [[nodiscard]] bool Open(HWND owner) noexcept {
        open_ = ::OpenClipboard(owner) != FALSE;
        return open_;
    }

private:
    bool open_ = false;
};

// A global memory block locked for the lifetime of this object.
class GlobalLockScope {
public:
    explicit GlobalLockScope(HGLOBAL block) noexcept
        : block_(block), data_(block ? ::GlobalLock(block) : nullptr) {}
    GlobalLockScope(const GlobalLockScope&) = delete;
    GlobalLockScope& operator=(const GlobalLockScope&) = delete;
    ~GlobalLockScope() {
        if (data_) ::GlobalUnlock(block_);
    }
    void* data() const noexcept { return data_; }

private:
    HGLOBAL block_;
    void* data_;
};

// COM initialised on this thread for the lifetime of this object.
class ComApartment {
public:
    explicit ComApartment(DWORD model = COINIT_APARTMENTTHREADED) noexcept
        : initialised_(SUCCEEDED(::CoInitializeEx(nullptr, model))) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (initialised_) ::CoUninitialize();
    }

private:
    bool initialised_;
};

// OLE (COM in a single-threaded apartment, plus the OLE clipboard and drag
// and drop) initialised on this thread for the lifetime of this object.
class OleApartment {
public:
    OleApartment() noexcept : initialised_(SUCCEEDED(::OleInitialize(nullptr))) {}
    OleApartment(const OleApartment&) = delete;
    OleApartment& operator=(const OleApartment&) = delete;
    ~OleApartment() {
        if (initialised_) ::OleUninitialize();
    }

private:
    bool initialised_;
};

// The system timer at a finer resolution for the lifetime of this object.
// Windows rounds sleeps and timers up to its tick (15.6 ms by default); at
// 1 ms a 10 ms poll sleeps 10 ms.
//
// The request goes to ntdll's NtSetTimerResolution, the call winmm's
// timeBeginPeriod makes on the caller's behalf: the same request, without
// loading winmm.dll for it. ntdll is in every process already; winmm is not,
// and under Wine it brings msacm32.dll, which reads its codec list from the
// registry on load and writes it back on unload, several milliseconds of a
// request's life. The kernel drops the request when the process ends.
class TimerResolution {
public:
    explicit TimerResolution(UINT milliseconds) noexcept
        : units_(milliseconds * 10000), set_(SetResolutionFunction()) {
        ULONG actual = 0;
        raised_ = set_ && set_(units_, TRUE, &actual) >= 0;
    }
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;
    ~TimerResolution() {
        ULONG actual = 0;
        if (raised_) set_(units_, FALSE, &actual);
    }

private:
    // NTSTATUS NtSetTimerResolution(ULONG DesiredTime /* 100 ns units */, BOOLEAN SetResolution, PULONG ActualTime)
    using SetResolution = LONG(NTAPI*)(ULONG, BOOLEAN, ULONG*);
    static SetResolution SetResolutionFunction() noexcept {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll ? reinterpret_cast<SetResolution>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtSetTimerResolution")))
                     : nullptr;
    }

    ULONG units_;
    SetResolution set_;
    bool raised_ = false;
};
