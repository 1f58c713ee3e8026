// Owning wrappers for the system's resources that are not COM's: kernel
// handles, mapped views, memory blocks, registry keys, windows, hooks and
// loaded libraries, plus a scope-exit helper.
//
// Each type owns exactly one resource and frees it with the one call that
// matches it, so no other code calls CloseHandle, UnmapViewOfFile,
// GlobalFree, LocalFree, HeapFree, RegCloseKey, DestroyWindow or FreeLibrary
// itself. Each kind has its own empty value: a file handle's is
// INVALID_HANDLE_VALUE, every other kind's is NULL. COM and automation values
// have their own header, ComResources.h, so that code which needs neither
// does not pull in the OLE headers.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <utility>

template <typename T>
constexpr T NullValue() noexcept {
    return nullptr;
}

// A value plus the function that frees it; movable, not copyable. `Empty`
// gives the value that stands for "nothing held".
template <typename T, auto Close, auto Empty = &NullValue<T>>
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
    explicit operator bool() const noexcept { return value_ != Empty(); }
    [[nodiscard]] T release() noexcept { return std::exchange(value_, Empty()); }
    void reset(T value = Empty()) noexcept {
        T old = std::exchange(value_, value);
        if (old != Empty()) Close(old);
    }
    // For a call that hands a new resource back through an out-parameter:
    // whatever was held goes first.
    [[nodiscard]] T* put() noexcept {
        reset();
        return &value_;
    }

private:
    T value_ = Empty();
};

namespace resource_detail {
inline HANDLE InvalidHandleValue() noexcept { return INVALID_HANDLE_VALUE; }
inline void CloseKernelHandle(HANDLE h) noexcept { (void)::CloseHandle(h); }
inline void UnmapView(void* view) noexcept { (void)::UnmapViewOfFile(view); }
inline void DestroyWindowHandle(HWND w) noexcept { (void)::DestroyWindow(w); }
inline void FreeGlobalMemory(HGLOBAL block) noexcept { (void)::GlobalFree(block); }
inline void FreeLocalMemory(HLOCAL block) noexcept { (void)::LocalFree(block); }
inline void FreeHeapMemory(void* block) noexcept { (void)::HeapFree(::GetProcessHeap(), 0, block); }
inline void CloseRegistryKey(HKEY key) noexcept { (void)::RegCloseKey(key); }
inline void Unhook(HHOOK hook) noexcept { (void)::UnhookWindowsHookEx(hook); }
inline void UnloadLibrary(HMODULE module) noexcept { (void)::FreeLibrary(module); }
}  // namespace resource_detail

// Kernel handles that are NULL when absent (mappings, mutexes, events, processes, threads).
using UniqueHandle = UniqueResource<HANDLE, resource_detail::CloseKernelHandle>;
// Kernel handles that are INVALID_HANDLE_VALUE when absent: files (CreateFile)
// and tool-help snapshots.
using UniqueFileHandle =
    UniqueResource<HANDLE, resource_detail::CloseKernelHandle, resource_detail::InvalidHandleValue>;
using UniqueMappedView = UniqueResource<void*, resource_detail::UnmapView>;
using UniqueWindow = UniqueResource<HWND, resource_detail::DestroyWindowHandle>;
// A global memory block until something (the clipboard) takes it over with release().
using UniqueGlobalMemory = UniqueResource<HGLOBAL, resource_detail::FreeGlobalMemory>;
// Memory the system allocated for the caller with LocalAlloc (FormatMessage,
// CommandLineToArgvW).
using UniqueLocalMemory = UniqueResource<HLOCAL, resource_detail::FreeLocalMemory>;
// Memory from the process heap that a callee allocated for the caller.
using UniqueHeapMemory = UniqueResource<void*, resource_detail::FreeHeapMemory>;
using UniqueRegistryKey = UniqueResource<HKEY, resource_detail::CloseRegistryKey>;
using UniqueWindowsHook = UniqueResource<HHOOK, resource_detail::Unhook>;
// A library this code loaded itself (LoadLibrary), not one it merely looked up.
using UniqueModule = UniqueResource<HMODULE, resource_detail::UnloadLibrary>;

// Runs `action` when the scope ends, however it ends.
template <typename Action>
class ScopeExit {
public:
    explicit ScopeExit(Action action) noexcept : action_(std::move(action)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() { action_(); }

private:
    Action action_;
};

// The clipboard, open for the lifetime of this object (when Open succeeded).
class ClipboardSession {
public:
    ClipboardSession() noexcept = default;
    ClipboardSession(const ClipboardSession&) = delete;
    ClipboardSession& operator=(const ClipboardSession&) = delete;
    ~ClipboardSession() {
        if (open_) (void)::CloseClipboard();
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
        if (data_) (void)::GlobalUnlock(block_);
    }
    void* data() const noexcept { return data_; }

private:
    HGLOBAL block_;
    void* data_;
};
