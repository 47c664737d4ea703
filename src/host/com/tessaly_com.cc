// comtessaly.dll: the in-process COM server the monitoring host loads. The
// class tessalyCom is a thin shell over the core's CheckObject: it converts
// VARIANTs, calls the check and converts back. Nothing thrown inside leaves
// a member: every member traps and answers with an HRESULT.
#include "host/com/com_server.h"  // first: it sets the COM warning scope

#include <windows.h>
#include <oleauto.h>

#include <exception>
#include <memory>
#include <new>

#include "check/check_object.h"
#include "check/check_run.h"
#include "check/vocab.h"
#include "comtessaly.h"
#include "env/ansi_text_win.h"
#include "env/trace.h"
#include "host/com/variant_convert.h"

namespace tessaly::com {
namespace {

constexpr wchar_t kSource[] = L"comtessaly.tessalyCom";

// The debugger output, shared by every object of the process.
TraceSink& DebuggerTrace() {
  static const std::unique_ptr<TraceSink> sink = NewDebuggerTraceSink();
  return *sink;
}

HRESULT Trapped() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    return ReportError(E_UNEXPECTED, e.what(), kSource, IID__tessalyCom);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

class TessalyCom : public DispatchObject<_tessalyCom> {
 public:
  TessalyCom() {
    CheckObjectOptions options;
    options.trace = &DebuggerTrace();
    check_ = std::make_unique<CheckObject>(std::move(options));
  }

  HRESULT STDMETHODCALLTYPE vg_docheck(VARIANT_BOOL* result) override {
    if (result == nullptr) return E_POINTER;
    // The check never raises towards the host: whatever escapes the run
    // (it traps its own failures) becomes False with a trapped-failure text.
    *result = VARIANT_FALSE;
    try {
      *result = check_->VgDocheck() ? VARIANT_TRUE : VARIANT_FALSE;
    } catch (...) {
      try {
        // Only memory can run out here; 7 is the code the run gives it too.
        check_->set_vg_result(Variant(TrappedFailureText("Out of memory", 7, 0)));
      } catch (...) {
      }
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE vg_showGUI() override {
    try {
      const DialogOutcome outcome = check_->VgShowGui();
      if (outcome.kind == DialogOutcome::Kind::kFailed) {
        return ReportError(E_FAIL, outcome.error, kSource, IID__tessalyCom);
      }
      return S_OK;
    } catch (...) {
      return Trapped();
    }
  }

  HRESULT STDMETHODCALLTYPE put_vg_result(VARIANT v) override {
    return Store(v, Assign::kLet, &CheckObject::set_vg_result);
  }
  HRESULT STDMETHODCALLTYPE putref_vg_result(VARIANT v) override {
    return Store(v, Assign::kSet, &CheckObject::set_vg_result);
  }
  HRESULT STDMETHODCALLTYPE get_vg_result(VARIANT* out) override {
    return Load(out, &CheckObject::vg_result);
  }
  HRESULT STDMETHODCALLTYPE put_vg_parameter(VARIANT v) override {
    return Store(v, Assign::kLet, &CheckObject::set_vg_parameter);
  }
  HRESULT STDMETHODCALLTYPE putref_vg_parameter(VARIANT v) override {
    return Store(v, Assign::kSet, &CheckObject::set_vg_parameter);
  }
  HRESULT STDMETHODCALLTYPE get_vg_parameter(VARIANT* out) override {
    return Load(out, &CheckObject::vg_parameter);
  }
  HRESULT STDMETHODCALLTYPE put_vg_timeout(VARIANT v) override {
    return Store(v, Assign::kLet, &CheckObject::set_vg_timeout);
  }
  HRESULT STDMETHODCALLTYPE putref_vg_timeout(VARIANT v) override {
    return Store(v, Assign::kSet, &CheckObject::set_vg_timeout);
  }
  HRESULT STDMETHODCALLTYPE get_vg_timeout(VARIANT* out) override {
    return Load(out, &CheckObject::vg_timeout);
  }
  HRESULT STDMETHODCALLTYPE put_vg_hostname(VARIANT v) override {
    return Store(v, Assign::kLet, &CheckObject::set_vg_hostname);
  }
  HRESULT STDMETHODCALLTYPE putref_vg_hostname(VARIANT v) override {
    return Store(v, Assign::kSet, &CheckObject::set_vg_hostname);
  }
  HRESULT STDMETHODCALLTYPE get_vg_hostname(VARIANT* out) override {
    return Load(out, &CheckObject::vg_hostname);
  }

 private:
  using Setter = void (CheckObject::*)(Variant);
  using Getter = const Variant& (CheckObject::*)() const;

  HRESULT Store(const VARIANT& v, Assign how, Setter set) {
    try {
      (check_.get()->*set)(FromVariant(v, how));
      return S_OK;
    } catch (...) {
      return Trapped();
    }
  }
  HRESULT Load(VARIANT* out, Getter get) {
    if (out == nullptr) return E_POINTER;
    VariantInit(out);
    try {
      ToVariant((check_.get()->*get)(), out);
      return S_OK;
    } catch (...) {
      return Trapped();
    }
  }

  std::unique_ptr<CheckObject> check_;
};

}  // namespace

const ServedClass& ModuleClass() {
  static ClassFactory factory(&CreateObject<TessalyCom, &Trapped>);
  static const ServedClass served{
      {CLSID_tessalyCom, LIBID_comtessaly, IID__tessalyCom, L"comtessaly.tessalyCom", L"tessalyCom"},
      &factory};
  return served;
}

}  // namespace tessaly::com
