#include "mail/smtp_component.h"

namespace tessaly {

std::unique_ptr<SmtpComponentFactory> NewSystemSmtpComponentFactory() {
  return NewCurlSmtpComponentFactory();
}

}  // namespace tessaly
