// A fake host SMTP component and factory: they record every call, in order,
// into one shared log, and fail where a test tells them to.
#ifndef TESSALY_TESTS_SUPPORT_FAKE_SMTP_COMPONENT_H_
#define TESSALY_TESTS_SUPPORT_FAKE_SMTP_COMPONENT_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/smtp_component.h"

namespace tessaly::testing {

struct SmtpCallLog {
  // "set NAME=VALUE", "addmail TO|SUBJECT|BODY|true", "stop #N", "create #N",
  // each entry naming the component by its creation number.
  std::vector<std::string> calls;
  std::optional<std::string> fail_property;  // SetProperty of this name fails
  bool fail_addmail = false;
  bool fail_create = false;
  int created = 0;
};

class FakeSmtpComponent : public SmtpComponent {
 public:
  FakeSmtpComponent(SmtpCallLog& log, int id) : log_(log), id_(id) {}
  Status SetProperty(std::string_view name, std::string_view value) override {
    log_.calls.push_back("set " + std::string(name) + "=" + std::string(value));
    if (log_.fail_property && *log_.fail_property == name) {
      return Status::Error("no property " + std::string(name));
    }
    return Status::Ok();
  }
  Status AddMail(std::string_view to, std::string_view subject, std::string_view body,
                 bool send_now) override {
    log_.calls.push_back("addmail " + std::string(to) + "|" + std::string(subject) + "|" +
                         std::string(body) + "|" + (send_now ? "true" : "false"));
    if (log_.fail_addmail) return Status::Error("RCPT failed: 550; server: 550 rejected");
    return Status::Ok();
  }
  void StopSending() override { log_.calls.push_back("stop #" + std::to_string(id_)); }

 private:
  SmtpCallLog& log_;
  int id_;
};

class FakeSmtpComponentFactory : public SmtpComponentFactory {
 public:
  explicit FakeSmtpComponentFactory(SmtpCallLog& log) : log_(log) {}
  std::unique_ptr<SmtpComponent> Create() override {
    if (log_.fail_create) return nullptr;
    int id = ++log_.created;
    log_.calls.push_back("create #" + std::to_string(id));
    return std::make_unique<FakeSmtpComponent>(log_, id);
  }

 private:
  SmtpCallLog& log_;
};

}  // namespace tessaly::testing

#endif  // TESSALY_TESTS_SUPPORT_FAKE_SMTP_COMPONENT_H_
