// comtessaly.dll through its exports and IDispatch, without registration:
// the DLL is loaded from the build tree and asked for its class factory,
// the way COM does after looking the class up.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/com_client_win.h"
#include "support/com_dll_test_win.h"
#include "support/wine_stack_win.h"

namespace tessaly {
namespace {

using testing::DispatchClient;
using testing::Var;

class ComObjectTest : public testing::ComDllTest {};

constexpr const wchar_t* kProperties[] = {L"vg_result", L"vg_parameter", L"vg_timeout",
                                          L"vg_hostname"};

TEST_F(ComObjectTest, PropertiesStartEmptyAndKeepWhatWasLet) {
  for (const wchar_t* p : kProperties) {
    Var got;
    ASSERT_EQ(client_->Get(p, &got), S_OK);
    EXPECT_EQ(got.v.vt, VT_EMPTY);
  }
  struct Case {
    const char* name;
    Var in;
    VARTYPE want_vt;
    std::string want_text;  // VariantChangeType to text of the value read back
  };
  Var date;
  date.v.vt = VT_DATE;
  date.v.date = 44197.5;
  Var null;
  null.v.vt = VT_NULL;
  Var flag;
  flag.v.vt = VT_BOOL;
  flag.v.boolVal = VARIANT_TRUE;
  Var real;
  real.v.vt = VT_R8;
  real.v.dblVal = 2.5;
  std::vector<Case> cases;
  cases.push_back({"Text", Var(L"#OMODE=SMTP#"), VT_BSTR, "#OMODE=SMTP#"});
  cases.push_back({"Integer", Var::I2(30), VT_I4, "30"});
  cases.push_back({"Real", std::move(real), VT_R8, "2.5"});
  cases.push_back({"Boolean", std::move(flag), VT_BOOL, "True"});
  cases.push_back({"Null", std::move(null), VT_NULL, ""});
  cases.push_back({"Date", std::move(date), VT_DATE, ""});
  for (const Case& c : cases) {
    for (const wchar_t* p : kProperties) {
      ASSERT_EQ(client_->Put(p, c.in.v), S_OK) << c.name;
      Var got;
      ASSERT_EQ(client_->Get(p, &got), S_OK) << c.name;
      EXPECT_EQ(got.v.vt, c.want_vt) << c.name;
      if (c.want_vt == VT_DATE) {
        EXPECT_EQ(got.v.date, 44197.5);
        continue;
      }
      Var text;
      if (c.want_vt != VT_NULL) {
        ASSERT_EQ(VariantChangeTypeEx(&text.v, &got.v, 0x409, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
      }
      EXPECT_EQ(text.Text(), c.want_text) << c.name;
    }
  }
}

TEST_F(ComObjectTest, SetKeepsTheObjectReferenceAndGetReturnsIt) {
  DispatchClient* other = New();
  ASSERT_NE(other, nullptr);
  Var object;
  object.v.vt = VT_DISPATCH;
  object.v.pdispVal = other->get();
  object.v.pdispVal->AddRef();
  for (const wchar_t* p : kProperties) {
    ASSERT_EQ(client_->PutRef(p, object.v), S_OK);
    Var got;
    ASSERT_EQ(client_->Get(p, &got), S_OK);
    ASSERT_EQ(got.v.vt, VT_DISPATCH);
    EXPECT_EQ(got.v.pdispVal, other->get());
  }
  // Let with an object that has no default value keeps the reference too:
  // property accessors never fail.
  ASSERT_EQ(client_->Put(L"vg_hostname", object.v), S_OK);
  Var got;
  ASSERT_EQ(client_->Get(L"vg_hostname", &got), S_OK);
  EXPECT_EQ(got.v.vt, VT_DISPATCH);
  delete other;
}

TEST_F(ComObjectTest, DocheckOnAFreshObjectRunsTheSendPhaseAndDoesNotRaise) {
  Var verdict;
  ASSERT_EQ(client_->Call(L"vg_docheck", &verdict), S_OK);
  ASSERT_EQ(verdict.v.vt, VT_BOOL);
  EXPECT_EQ(verdict.v.boolVal, VARIANT_FALSE);
  Var result;
  ASSERT_EQ(client_->Get(L"vg_result", &result), S_OK);
  EXPECT_EQ(result.Text().rfind("ERR SMTP: ", 0), 0u) << result.Text();
  Var parameter;
  ASSERT_EQ(client_->Get(L"VG_PARAMETER", &parameter), S_OK);  // names ignore case
  EXPECT_EQ(parameter.Text(), "#@@SUBJECT=@@#@@NEXT=SMTP@@#");
}

// These tests run without a display (the wine runner clears DISPLAY): the
// dialog's window cannot be created, and the host gets the system's reason.
TEST_F(ComObjectTest, ShowGuiWithoutADisplayFailsAndKeepsTheParameter) {
  ASSERT_EQ(client_->Put(L"vg_parameter", Var(L"#OMODE=CPOP#").v), S_OK);
  EXPECT_EQ(client_->Call(L"vg_showGUI"), DISP_E_EXCEPTION);
  EXPECT_EQ(client_->last_description(),
            L"the configuration dialog could not be created (Windows error 1400)");
  Var parameter;
  ASSERT_EQ(client_->Get(L"vg_parameter", &parameter), S_OK);
  EXPECT_EQ(parameter.Text(), "#OMODE=CPOP#");
}

TEST_F(ComObjectTest, MembersStandInTheHostsOrder) {
  ITypeInfo* info = nullptr;
  ASSERT_EQ(client_->get()->GetTypeInfo(0, 0, &info), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  std::vector<std::wstring> members;
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* f = nullptr;
    ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
    BSTR name = nullptr;
    UINT n = 0;
    info->GetNames(f->memid, &name, 1, &n);
    const wchar_t* kind = f->invkind == INVOKE_PROPERTYPUT      ? L" let"
                          : f->invkind == INVOKE_PROPERTYPUTREF ? L" set"
                          : f->invkind == INVOKE_PROPERTYGET    ? L" get"
                                                                : L"";
    members.push_back(std::wstring(name) + kind);
    SysFreeString(name);
    info->ReleaseFuncDesc(f);
  }
  info->ReleaseTypeAttr(attr);
  info->Release();
  // The IDispatch members come first in a dual interface's type information.
  std::vector<std::wstring> own(members.end() - 14, members.end());
  EXPECT_EQ(own, (std::vector<std::wstring>{
                     L"vg_docheck", L"vg_showGUI", L"vg_result let", L"vg_result set",
                     L"vg_result get", L"vg_parameter let", L"vg_parameter set",
                     L"vg_parameter get", L"vg_timeout let", L"vg_timeout set",
                     L"vg_timeout get", L"vg_hostname let", L"vg_hostname set",
                     L"vg_hostname get"}));
}

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_APP) {
    ++*reinterpret_cast<int*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    return 0;
  }
  return DefWindowProcA(window, message, w, l);
}

// The send phase waits out the time-out minus one second and handles the
// thread's window messages meanwhile, as the host's own windows need.
TEST_F(ComObjectTest, SendPhaseWaitDispatchesTheThreadsMessages) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = CountingProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "tessaly-com-pump-test";
  RegisterClassA(&wc);
  HWND window = CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  int count = 0;
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&count));
  PostMessageA(window, WM_APP, 0, 0);
  ASSERT_EQ(client_->Put(L"vg_parameter", Var(L"#OMODE=SMTP#SSRV=127.0.0.1#SPORT=1#").v), S_OK);
  ASSERT_EQ(client_->Put(L"vg_timeout", Var::I2(2).v), S_OK);
  const DWORD start = GetTickCount();
  Var verdict;
  ASSERT_EQ(client_->Call(L"vg_docheck", &verdict), S_OK);
  EXPECT_GE(GetTickCount() - start, 900u);
  EXPECT_EQ(count, 1);
  DestroyWindow(window);
}

TEST_F(ComObjectTest, CanUnloadOnlyWhenNoObjectLives) {
  using CanUnload = HRESULT(WINAPI*)();
  EXPECT_EQ(Export<CanUnload>("DllCanUnloadNow")(), S_FALSE);
  delete client_;
  client_ = nullptr;
  EXPECT_EQ(Export<CanUnload>("DllCanUnloadNow")(), S_OK);
}

}  // namespace
}  // namespace tessaly
