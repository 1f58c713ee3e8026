// Owning wrappers for COM and automation values: BSTRs, VARIANTs, the strings
// of an EXCEPINFO, and COM or OLE initialised on a thread. COM interface
// pointers use Microsoft::WRL::ComPtr.
//
// As with KernelResources.h, no other code calls SysFreeString or
// VariantClear itself.
#pragma once

#include "common/KernelResources.h"

#include <ole2.h>
#include <oleauto.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace resource_detail {
inline void FreeBstr(BSTR s) noexcept { ::SysFreeString(s); }
}  // namespace resource_detail

using UniqueBstr = UniqueResource<BSTR, resource_detail::FreeBstr>;

// An automation VARIANT that is cleared when it goes.
class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { (void)::VariantClear(&value_); }

    // For a call that fills the variant in through an out-parameter:
    // whatever it held is cleared first.
    [[nodiscard]] VARIANT* put() noexcept {
        (void)::VariantClear(&value_);
        return &value_;
    }
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
        resource_detail::FreeBstr(value_.bstrSource);
        resource_detail::FreeBstr(value_.bstrDescription);
        resource_detail::FreeBstr(value_.bstrHelpFile);
    }

    EXCEPINFO& get() noexcept { return value_; }

private:
    EXCEPINFO value_{};
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
