#include "CopiedText.h"

#include "ComObject.h"
#include "Record.h"
#include "common/TextConversion.h"

#include <olectl.h>
#include <shlobj.h>

#include <algorithm>

using nlohmann::json;

namespace word_double {

namespace {

// Word's text formats end each paragraph with a line break, the final
// paragraph mark included.
std::wstring ClipboardText(const std::wstring& selected) {
    std::wstring text;
    for (size_t i = 0; i < selected.size(); ++i) {
        text.push_back(selected[i]);
        if (selected[i] == L'\r' && (i + 1 == selected.size() || selected[i + 1] != L'\n')) text.push_back(L'\n');
    }
    return text;
}

// What Word's copy leaves on the clipboard: a data object in Word's own
// process that renders the text only when a reader asks for a format.
class CopiedText final : public SingleInterfaceObject<IDataObject> {
public:
    explicit CopiedText(std::wstring text) : text_(std::move(text)) {}

    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (!format || !medium) return E_INVALIDARG;
        const HRESULT offered = QueryGetData(format);
        if (FAILED(offered)) return offered;
        UniqueGlobalMemory block = Render(format->cfFormat);
        json line = LogLine("Clipboard.Render");
        line["format"] = format->cfFormat;
        AppendLog(line);
        if (!block) return E_OUTOFMEMORY;
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = block.release();
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return DATA_E_FORMATETC; }
    STDMETHODIMP QueryGetData(FORMATETC* format) override {
        if (!format) return E_INVALIDARG;
        if (format->cfFormat != CF_UNICODETEXT && format->cfFormat != CF_TEXT) return DV_E_FORMATETC;
        if (!(format->tymed & TYMED_HGLOBAL)) return DV_E_TYMED;
        if (format->dwAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        return S_OK;
    }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
        if (out) out->ptd = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override {
        if (!formats) return E_POINTER;
        *formats = nullptr;
        if (direction != DATADIR_GET) return E_NOTIMPL;
        FORMATETC offered[] = {{CF_UNICODETEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL},
                               {CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}};
        return ::SHCreateStdEnumFmtEtc(2, offered, formats);
    }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

private:
    ~CopiedText() override = default;

    UniqueGlobalMemory Render(CLIPFORMAT format) const {
        if (format == CF_UNICODETEXT) {
            UniqueGlobalMemory block(::GlobalAlloc(GMEM_MOVEABLE, (text_.size() + 1) * sizeof(wchar_t)));
            GlobalLockScope lock(block.get());
            if (!lock.data()) return {};
            std::copy(text_.c_str(), text_.c_str() + text_.size() + 1, static_cast<wchar_t*>(lock.data()));
            return block;
        }
        const std::string narrow = NarrowText(text_, CP_ACP);
        UniqueGlobalMemory block(::GlobalAlloc(GMEM_MOVEABLE, narrow.size() + 1));
        GlobalLockScope lock(block.get());
        if (!lock.data()) return {};
        std::copy(narrow.c_str(), narrow.c_str() + narrow.size() + 1, static_cast<char*>(lock.data()));
        return block;
    }

    std::wstring text_;
};

}  // namespace

HRESULT PutOnClipboard(const std::wstring& text) {
    ComPtr<IDataObject> copied;
    copied.Attach(new CopiedText(ClipboardText(text)));
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 100; ++attempt) {
        hr = ::OleSetClipboard(copied.Get());
        if (hr != CLIPBRD_E_CANT_OPEN) break;
        ::Sleep(10);
    }
    return hr;
}

}  // namespace word_double
