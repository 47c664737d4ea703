// The C interface over CheckObject.
#include <strings.h>

#include <exception>
#include <memory>
#include <string>

#include "check/check_object.h"
#include "tessaly/tessaly.h"
#include "tessaly_version.h"

struct tessaly_check {
  std::unique_ptr<tessaly::CheckObject> object;
  std::string last_get;
};

namespace {

class CallbackTrace : public tessaly::TraceSink {
 public:
  void Line(std::string_view text) override {
    if (fn != nullptr) fn(context, std::string(text).c_str());
  }
  tessaly_trace_fn fn = nullptr;
  void* context = nullptr;
};

CallbackTrace& Trace() {
  static CallbackTrace trace;
  return trace;
}

enum class Property { kParameter, kTimeout, kHostname, kResult, kUnknown };

Property Find(const char* name) {
  if (name == nullptr) return Property::kUnknown;
  if (strcasecmp(name, "vg_parameter") == 0) return Property::kParameter;
  if (strcasecmp(name, "vg_timeout") == 0) return Property::kTimeout;
  if (strcasecmp(name, "vg_hostname") == 0) return Property::kHostname;
  if (strcasecmp(name, "vg_result") == 0) return Property::kResult;
  return Property::kUnknown;
}

}  // namespace

extern "C" {

tessaly_check* tessaly_check_new(void) {
  try {
    auto check = std::make_unique<tessaly_check>();
    tessaly::CheckObjectOptions options;
    options.trace = &Trace();
    check->object = std::make_unique<tessaly::CheckObject>(std::move(options));
    return check.release();
  } catch (...) {
    return nullptr;
  }
}

void tessaly_check_free(tessaly_check* check) { delete check; }

int tessaly_check_set(tessaly_check* check, const char* property, const char* value) {
  if (check == nullptr) return -1;
  const Property p = Find(property);
  if (p == Property::kUnknown) return -1;
  try {
    tessaly::Variant v = value == nullptr ? tessaly::Variant() : tessaly::Variant(value);
    switch (p) {
      case Property::kParameter: check->object->set_vg_parameter(std::move(v)); break;
      case Property::kTimeout: check->object->set_vg_timeout(std::move(v)); break;
      case Property::kHostname: check->object->set_vg_hostname(std::move(v)); break;
      case Property::kResult: check->object->set_vg_result(std::move(v)); break;
      case Property::kUnknown: return -1;
    }
    return 0;
  } catch (...) {
    return -1;
  }
}

const char* tessaly_check_get(tessaly_check* check, const char* property) {
  if (check == nullptr) return nullptr;
  const tessaly::CheckObject& o = *check->object;
  try {
    switch (Find(property)) {
      case Property::kParameter: check->last_get = o.vg_parameter().ToText(); break;
      case Property::kTimeout: check->last_get = o.vg_timeout().ToText(); break;
      case Property::kHostname: check->last_get = o.vg_hostname().ToText(); break;
      case Property::kResult: check->last_get = o.vg_result().ToText(); break;
      case Property::kUnknown: return nullptr;
    }
  } catch (...) {
    check->last_get.clear();
  }
  return check->last_get.c_str();
}

int tessaly_check_run(tessaly_check* check) {
  if (check == nullptr) return 0;
  return check->object->VgDocheck() ? 1 : 0;
}

int tessaly_check_show_gui(tessaly_check* check) {
  if (check == nullptr) return -1;
  const tessaly::DialogOutcome outcome = check->object->VgShowGui();
  return outcome.kind == tessaly::DialogOutcome::Kind::kFailed ? 1 : 0;
}

void tessaly_set_trace(tessaly_trace_fn fn, void* context) {
  Trace().fn = fn;
  Trace().context = context;
}

void tessaly_check_set_pump(tessaly_check* check, tessaly_pump_fn fn, void* context) {
  if (check == nullptr) return;
  if (fn == nullptr) {
    check->object->set_pump(nullptr);
  } else {
    check->object->set_pump([fn, context] { fn(context); });
  }
}

const char* tessaly_version(void) { return TESSALY_VERSION_STRING; }

}  // extern "C"
