// Reference counting for the double's COM objects.
#pragma once

#include "common/ComResources.h"

#include <utility>

namespace word_double {

template <typename T, typename... Args>
ComPtr<T> Make(Args&&... args) {
    ComPtr<T> object;
    object.Attach(new T(std::forward<Args>(args)...));  // born with one reference
    return object;
}

// A reference-counted object serving one interface; it deletes itself when
// the last reference goes.
template <typename Interface>
class SingleInterfaceObject : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != __uuidof(Interface)) return E_NOINTERFACE;
        *object = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = ::InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

protected:
    virtual ~SingleInterfaceObject() = default;

private:
    LONG references_ = 1;
};

}  // namespace word_double
