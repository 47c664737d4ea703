// Text at the Windows boundary. The check's own text is in the ANSI code
// page on Windows (as the trace, the registry's ANSI functions and the mail
// components expect it); COM hands text over as UTF-16 BSTRs. Characters the
// ANSI code page lacks become the code page's default character.
#ifndef TESSALY_ENV_ANSI_TEXT_WIN_H_
#define TESSALY_ENV_ANSI_TEXT_WIN_H_

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace tessaly {

std::wstring AnsiToWide(std::string_view ansi);
std::string WideToAnsi(const wchar_t* wide, std::size_t length);
// A new BSTR (caller frees with SysFreeString); nullptr only when out of
// memory.
BSTR NewBstr(std::string_view ansi);
// A null BSTR reads as "".
std::string BstrToAnsi(BSTR text);

}  // namespace tessaly

#endif  // TESSALY_ENV_ANSI_TEXT_WIN_H_
