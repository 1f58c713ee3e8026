// What the worker shows other programs besides the block's bytes (whose
// layout is in SharedBlockLayout.h): the text a host finds on the clipboard,
// the worker's window, and the identifiers by which it reaches Word. The
// host, the Word test double and the tests include this header, so that each
// fact is written once.
#pragma once

#include <windows.h>

namespace Protocol {

// On the clipboard (CF_TEXT) when Word could not open the document.
inline constexpr char PlaceholderText[] = "PREVIEW IS NOT AVAILABLE FOR THIS DOCUMENT!";

// A preview holds at most this many of the document's characters.
inline constexpr long PreviewLengthLimit = 3000;

// The class of the worker's hidden main window, which other programs find
// (and may ask to close) by it.
inline constexpr char WorkerWindowClass[] = "TWordForm";
// That window's caption.
inline constexpr char WorkerWindowCaption[] = "WordForm";

// Word.Application, the class the worker attaches to or starts.
inline constexpr CLSID CLSID_WordApplication = {
    0x000209FF, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// The same class id as text, as the registry and error messages spell it.
inline constexpr wchar_t WordClassIdText[] = L"{000209FF-0000-0000-C000-000000000046}";
// _Application, Word's own dual interface; without Word's type library no
// proxy exists for it across processes.
inline constexpr IID IID__Application = {
    0x00020970, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// ApplicationEvents3, the dispinterface of Word's application events.
inline constexpr IID DIID_ApplicationEvents3 = {
    0x00020A00, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

}  // namespace Protocol
