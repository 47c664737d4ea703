#include "dialog/dialog_model.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "check/param_string.h"
#include "check/vocab.h"
#include "env/base64.h"
#include "tessaly_version.h"

namespace tessaly::dialog {
namespace {

using C = ControlId;

// One row of the mode rules: the Enabled state each addressed control gets,
// or nullopt to leave it as it is.
constexpr std::size_t kRuleColumns = 9;
constexpr std::array<ControlId, kRuleColumns> kRuleControls = {
    C::kFrameSmtp, C::kFramePop3, C::kChkNoXSender, C::kChkOnlyDeleteOwn, C::kLabelCount,
    C::kCmbCount,  C::kTxtCount,  C::kLabelFolder,  C::kTxtFolder};

enum Rule : char { kY, kN, kKeep };
constexpr std::array<std::array<Rule, kRuleColumns>, 5> kModeRules = {{
    {kY, kY, kY, kY, kN, kN, kN, kN, kN},                          // SMTP & POP3
    {kY, kN, kN, kN, kN, kN, kN, kN, kN},                          // SMTP
    {kN, kY, kN, kY, kN, kN, kN, kN, kN},                          // POP3
    {kN, kY, kN, kN, kY, kY, kY, kN, kN},                          // COUNT POP3 messages
    // The IMAP4 fetch uses the X-Sender and only-delete settings, so they are
    // usable here whichever mode came before; the count sentence keeps the
    // state the previous mode gave it.
    {kY, kY, kY, kY, kKeep, kKeep, kKeep, kY, kY},                 // SMTP & IMAP4
}};

// OMODE values by list index.
constexpr std::array<std::string_view, 5> kModeValues = {
    vocab::kModeSmtpPop3, vocab::kModeSmtp, vocab::kModePop3, vocab::kModeCount,
    vocab::kModeSmtpImap4};
// CCMD values by list index.
constexpr std::array<std::string_view, 4> kComparisonValues = {
    vocab::kLessThan, vocab::kGreaterThan, vocab::kEqual, vocab::kDifferent};

constexpr int kMaxRetries = 3;
constexpr int kMinSslMode = -1;
constexpr int kMaxSslMode = 3;

std::string Flag(bool on) { return std::string(on ? vocab::kOn : vocab::kOff); }

std::string TrimmedCopy(std::string_view text) { return std::string(TrimBlanks(text)); }

// The decoded password of key, or an error naming the key.
Status LoadPassword(std::string_view parameter, std::string_view key, ControlState* control) {
  std::optional<std::string> plain = Base64Decode(GetParameterValue(parameter, key));
  if (!plain) {
    return Status::Error("the stored " + std::string(key) +
                         " is not a valid Base64 password; the dialog was not shown");
  }
  control->text = std::move(*plain);
  return Status::Ok();
}

// The items of parameter whose key is none of the 25, DALL, SKWORD or a
// state key, each as "KEY=value#". Text before the first "#" is no item,
// and a piece without "=" is the stray rest of a value, not a key.
std::string UnknownItems(std::string_view parameter) {
  std::string kept;
  std::size_t pos = parameter.find('#');
  while (pos != std::string_view::npos) {
    const std::size_t end = parameter.find('#', pos + 1);
    const std::string_view item =
        parameter.substr(pos + 1, end == std::string_view::npos ? end : end - pos - 1);
    pos = end;
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    std::string key(item.substr(0, eq));
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (key.empty() || key.rfind(vocab::kStatePrefix, 0) == 0 || key == vocab::kDeleteAll ||
        key == vocab::kSubjectKeyword ||
        std::find(vocab::kDialogKeys.begin(), vocab::kDialogKeys.end(), key) !=
            vocab::kDialogKeys.end()) {
      continue;
    }
    kept.append(item);
    kept += '#';
  }
  return kept;
}

int ClampedRetries(std::string_view value) {
  return std::clamp(LeadingInt(value), 0, kMaxRetries);
}

void LoadFill(std::string_view parameter, DialogForm* form) {
  auto text = [&](ControlId id, std::string_view key) {
    form->at(id).text = GetParameterValue(parameter, key);
  };
  auto flag = [&](ControlId id, std::string_view key) {
    form->at(id).checked = ParseFlag(GetParameterValue(parameter, key));
  };
  auto select = [&](ControlId id, int index) {
    ControlState& list = form->at(id);
    list.index = index;
    std::span<const std::string_view> items = ListItems(id);
    list.text = index >= 0 && static_cast<std::size_t>(index) < items.size()
                    ? std::string(items[static_cast<std::size_t>(index)])
                    : std::string();
  };
  // POP3/IMAP4 side (the password was decoded by the caller).
  form->at(C::kTxtPop3User).text = UnescapeValue(GetParameterValue(parameter, vocab::kMailUser));
  text(C::kTxtPop3Host, vocab::kMailServer);
  text(C::kTxtPop3Port, vocab::kMailPort);
  select(C::kCmbPop3Retries, ClampedRetries(GetParameterValue(parameter, vocab::kMailRetries)));
  flag(C::kChkPop3Ssl, vocab::kMailSsl);
  flag(C::kChkPop3Ipv6, vocab::kMailIpv6);
  flag(C::kChkReceiveDebug, vocab::kMailDebug);
  // SMTP side and the folder.
  text(C::kTxtSmtpHost, vocab::kSmtpServer);
  text(C::kTxtSmtpPort, vocab::kSmtpPort);
  text(C::kTxtSmtpFrom, vocab::kSmtpFrom);
  text(C::kTxtSmtpTo, vocab::kSmtpTo);
  form->at(C::kTxtSmtpUser).text = UnescapeValue(GetParameterValue(parameter, vocab::kSmtpUser));
  select(C::kCmbSmtpRetries, ClampedRetries(GetParameterValue(parameter, vocab::kSmtpRetries)));
  flag(C::kChkSmtpSsl, vocab::kSmtpSsl);
  flag(C::kChkSmtpIpv6, vocab::kSmtpIpv6);
  text(C::kTxtFolder, vocab::kMailbox);
  select(C::kCmbSmtpSslMode, LeadingInt(GetParameterValue(parameter, vocab::kSmtpSslMode)));
  flag(C::kChkSendDebug, vocab::kSmtpDebug);
  // The rest, the mode last so that its rules run on filled controls.
  flag(C::kChkOnlyDeleteOwn, vocab::kOnlyDeleteOwn);
  flag(C::kChkNoXSender, vocab::kNoXSender);
  std::string comparison = GetParameterValue(parameter, vocab::kCountComparison);
  auto found = std::find(kComparisonValues.begin(), kComparisonValues.end(), comparison);
  select(C::kCmbCount,
         found == kComparisonValues.end() ? 0 : static_cast<int>(found - kComparisonValues.begin()));
  form->at(C::kTxtCount).text =
      FormatNumber(LeadingNumber(GetParameterValue(parameter, vocab::kCountThreshold)));
  std::string mode = GetParameterValue(parameter, vocab::kMode);
  if (mode.empty()) mode = std::string(vocab::kModeSmtpPop3);
  auto mode_found = std::find(kModeValues.begin(), kModeValues.end(), mode);
  if (mode_found != kModeValues.end()) {
    select(C::kCmbMode, static_cast<int>(mode_found - kModeValues.begin()));
    ApplyModeRules(form);
  }
}

}  // namespace

bool DialogForm::EffectivelyEnabled(ControlId id) const {
  if (!at(id).enabled) return false;
  ControlId container = Spec(id).container;
  return container == ControlId::kNone || at(container).enabled;
}

std::string FormatCaption(int major, int minor, int revision) {
  std::string caption = "TESSALY: External COM check (version ";
  caption += std::to_string(major) + "." + std::to_string(minor) + " build ";
  caption += revision < 0 ? std::to_string(revision) : " " + std::to_string(revision);
  caption += ")";
  return caption;
}

std::string DialogCaption() {
  return FormatCaption(TESSALY_VERSION_MAJOR, TESSALY_VERSION_MINOR, TESSALY_VERSION_PATCH);
}

DialogForm LoadedForm() {
  DialogForm form;
  form.at(C::kTxtCount).text = "1";
  for (ControlId list : {C::kCmbMode, C::kCmbSmtpRetries, C::kCmbSmtpSslMode,
                         C::kCmbPop3Retries, C::kCmbCount}) {
    form.at(list).index = 0;
    form.at(list).text = std::string(ListItems(list)[0]);
  }
  ApplyModeRules(&form);
  return form;
}

void ApplyModeRules(DialogForm* form) {
  int index = form->at(C::kCmbMode).index;
  if (index < 0 || static_cast<std::size_t>(index) >= kModeRules.size()) return;
  const auto& row = kModeRules[static_cast<std::size_t>(index)];
  for (std::size_t i = 0; i < kRuleColumns; ++i) {
    if (row[i] != kKeep) form->at(kRuleControls[i]).enabled = row[i] == kY;
  }
}

Status FillForm(std::string_view parameter, std::string_view timeout_text, DialogForm* form) {
  *form = LoadedForm();
  form->at(C::kTxtTimeout).text = TrimmedCopy(timeout_text);
  if (parameter.empty()) {
    form->at(C::kTxtSmtpPort).text = "25";
    form->at(C::kTxtPop3Port).text = "110";
    form->at(C::kChkOnlyDeleteOwn).checked = true;
    return Status::Ok();
  }
  // The stored values that stop the dialog, in the order they are read.
  Status s = LoadPassword(parameter, vocab::kMailPassword, &form->at(C::kTxtPop3Password));
  if (!s.ok()) return s;
  s = LoadPassword(parameter, vocab::kSmtpPassword, &form->at(C::kTxtSmtpPassword));
  if (!s.ok()) return s;
  std::string ssl_mode = GetParameterValue(parameter, vocab::kSmtpSslMode);
  int ssl_index = LeadingInt(ssl_mode);
  if (ssl_index < kMinSslMode || ssl_index > kMaxSslMode) {
    return Status::Error("the stored " + std::string(vocab::kSmtpSslMode) + " \"" + ssl_mode +
                         "\" is not an SSL mode index (-1 to 3); the dialog was not shown");
  }
  LoadFill(parameter, form);
  form->kept_items = UnknownItems(parameter);
  return Status::Ok();
}

std::string FormatNumber(double value) {
  constexpr double kMax = std::numeric_limits<double>::max();
  if (std::isnan(value)) value = 0;
  value = std::clamp(value, -kMax, kMax);
  if (value == 0) value = 0;  // no "-0"
  char buffer[512];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

std::string ComposeParameter(const DialogForm& form) {
  auto text = [&](ControlId id) { return TrimmedCopy(form.at(id).text); };
  auto flag = [&](ControlId id) { return Flag(form.at(id).checked); };
  auto index = [&](ControlId id) { return std::to_string(form.at(id).index); };
  auto pick = [&](ControlId id, auto& values) {
    int i = form.at(id).index;
    return std::string(i > 0 && static_cast<std::size_t>(i) < values.size()
                           ? values[static_cast<std::size_t>(i)]
                           : values[0]);
  };
  // Values in vocab::kDialogKeys order.
  const std::array<std::string, vocab::kDialogKeys.size()> values = {
      text(C::kTxtSmtpHost),
      text(C::kTxtSmtpPort),
      text(C::kTxtSmtpFrom),
      text(C::kTxtSmtpTo),
      EscapeValue(text(C::kTxtSmtpUser), true),
      Base64Encode(text(C::kTxtSmtpPassword)),
      index(C::kCmbSmtpRetries),
      flag(C::kChkSmtpSsl),
      flag(C::kChkSmtpIpv6),
      flag(C::kChkSendDebug),
      index(C::kCmbSmtpSslMode),
      text(C::kTxtPop3Host),
      text(C::kTxtPop3Port),
      EscapeValue(text(C::kTxtPop3User), true),
      Base64Encode(text(C::kTxtPop3Password)),
      // A pick-only list always has an item; -1 cannot occur from the view.
      std::to_string(std::max(form.at(C::kCmbPop3Retries).index, 0)),
      flag(C::kChkPop3Ssl),
      flag(C::kChkPop3Ipv6),
      text(C::kTxtFolder),
      flag(C::kChkReceiveDebug),
      flag(C::kChkOnlyDeleteOwn),
      flag(C::kChkNoXSender),
      pick(C::kCmbMode, kModeValues),
      pick(C::kCmbCount, kComparisonValues),
      FormatNumber(LeadingNumber(form.at(C::kTxtCount).text)),
  };
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    out += "#";
    out += vocab::kDialogKeys[i];
    out += "=";
    out += values[i];
  }
  out += "#";
  out += form.kept_items;
  return out;
}

}  // namespace tessaly::dialog
