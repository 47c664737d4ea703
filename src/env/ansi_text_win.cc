#include "env/ansi_text_win.h"

#include <climits>

namespace tessaly {

std::wstring AnsiToWide(std::string_view ansi) {
  if (ansi.empty() || ansi.size() > INT_MAX) return {};
  const int size = static_cast<int>(ansi.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, wide.data(), n);
  return wide;
}

std::string WideToAnsi(const wchar_t* wide, std::size_t length) {
  if (wide == nullptr || length == 0 || length > INT_MAX) return {};
  const int size = static_cast<int>(length);
  const int n = WideCharToMultiByte(CP_ACP, 0, wide, size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string ansi(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, size, ansi.data(), n, nullptr, nullptr);
  return ansi;
}

BSTR NewBstr(std::string_view ansi) {
  const std::wstring wide = AnsiToWide(ansi);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string BstrToAnsi(BSTR text) {
  if (text == nullptr) return {};
  return WideToAnsi(text, SysStringLen(text));
}

}  // namespace tessaly
