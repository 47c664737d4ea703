// The check's vocabulary: every parameter-string key, mode, phase,
// comparison code, result text and trace prefix, spelled once. Every other
// file uses these names; hosts, people and scripts read these texts, so they
// never change.
#ifndef TESSALY_CHECK_VOCAB_H_
#define TESSALY_CHECK_VOCAB_H_

#include <array>
#include <cstddef>
#include <string_view>

namespace tessaly::vocab {

// ---- Parameter-string keys -------------------------------------------------
inline constexpr std::string_view kSmtpServer = "SSRV";
inline constexpr std::string_view kSmtpPort = "SPORT";
inline constexpr std::string_view kSmtpFrom = "SFROM";
inline constexpr std::string_view kSmtpTo = "STO";
inline constexpr std::string_view kSmtpUser = "SUSR";
inline constexpr std::string_view kSmtpPassword = "SPWD";
inline constexpr std::string_view kSmtpRetries = "SRET";
inline constexpr std::string_view kSmtpSsl = "SSSL";
inline constexpr std::string_view kSmtpIpv6 = "SIP6";
inline constexpr std::string_view kSmtpDebug = "SDBL";
inline constexpr std::string_view kSmtpSslMode = "SSSM";
inline constexpr std::string_view kMailServer = "PSRV";
inline constexpr std::string_view kMailPort = "PPORT";
inline constexpr std::string_view kMailUser = "PUSR";
inline constexpr std::string_view kMailPassword = "PPWD";
inline constexpr std::string_view kMailRetries = "PRET";
inline constexpr std::string_view kMailSsl = "PSSL";
inline constexpr std::string_view kMailIpv6 = "PIP6";
inline constexpr std::string_view kMailbox = "MBOX";
inline constexpr std::string_view kMailDebug = "RDBL";
inline constexpr std::string_view kOnlyDeleteOwn = "ODSM";
inline constexpr std::string_view kNoXSender = "NXS";
inline constexpr std::string_view kMode = "OMODE";
inline constexpr std::string_view kCountComparison = "CCMD";
inline constexpr std::string_view kCountThreshold = "CCNM";
// Not written by the dialog; read when present.
inline constexpr std::string_view kDeleteAll = "DALL";
inline constexpr std::string_view kSubjectKeyword = "SKWORD";
// State keys, written by the check run. Their stored values end in "@@".
inline constexpr std::string_view kNextPhase = "@@NEXT";
inline constexpr std::string_view kLastSubject = "@@SUBJECT";
inline constexpr std::string_view kStatePrefix = "@@";

// OAuth 2.0 login, per side: S for sending (SMTP), P for receiving (POP3
// and IMAP4), beside SUSR/PUSR. The dialog does not show them; a string
// without them logs in by password exactly as before.
inline constexpr std::string_view kSmtpLoginMethod = "SAUTH";   // login method
inline constexpr std::string_view kSmtpTokenUrl = "STURL";      // token endpoint
inline constexpr std::string_view kSmtpClientId = "SCID";       // client id
inline constexpr std::string_view kSmtpClientSecret = "SCSEC";  // Base64, like SPWD
inline constexpr std::string_view kSmtpScope = "SSCP";          // requested scope
inline constexpr std::string_view kSmtpRefreshToken = "SRTK";   // Base64, like SPWD
inline constexpr std::string_view kSmtpTokenCaFile = "STCA";    // CA file of the endpoint
inline constexpr std::string_view kMailLoginMethod = "PAUTH";
inline constexpr std::string_view kMailTokenUrl = "PTURL";
inline constexpr std::string_view kMailClientId = "PCID";
inline constexpr std::string_view kMailClientSecret = "PCSEC";
inline constexpr std::string_view kMailScope = "PSCP";
inline constexpr std::string_view kMailRefreshToken = "PRTK";
inline constexpr std::string_view kMailTokenCaFile = "PTCA";
// State keys of the token cache: the access token (Base64) and the Unix
// time in seconds at which it expires.
inline constexpr std::string_view kSmtpAccessToken = "@@STOK";
inline constexpr std::string_view kSmtpTokenExpiry = "@@STEXP";
inline constexpr std::string_view kMailAccessToken = "@@PTOK";
inline constexpr std::string_view kMailTokenExpiry = "@@PTEXP";

// The keys of one side's OAuth login.
struct OAuthKeys {
  std::string_view user;
  std::string_view method;
  std::string_view token_url;
  std::string_view client_id;
  std::string_view client_secret;
  std::string_view scope;
  std::string_view refresh_token;
  std::string_view ca_file;
  std::string_view access_token;  // state
  std::string_view expiry;        // state
};
inline constexpr OAuthKeys kSmtpOAuthKeys = {
    kSmtpUser,  kSmtpLoginMethod,  kSmtpTokenUrl,     kSmtpClientId,    kSmtpClientSecret,
    kSmtpScope, kSmtpRefreshToken, kSmtpTokenCaFile, kSmtpAccessToken, kSmtpTokenExpiry};
inline constexpr OAuthKeys kMailOAuthKeys = {
    kMailUser,  kMailLoginMethod,  kMailTokenUrl,     kMailClientId,    kMailClientSecret,
    kMailScope, kMailRefreshToken, kMailTokenCaFile, kMailAccessToken, kMailTokenExpiry};

// Values of SAUTH/PAUTH, matched without regard to case and blanks around
// them. Empty (or absent) is the password login.
inline constexpr std::string_view kLoginPassword = "PASSWORD";
inline constexpr std::string_view kLoginXoauth2 = "XOAUTH2";
inline constexpr std::string_view kLoginOAuthBearer = "OAUTHBEARER";
inline constexpr std::string_view kLoginAutomatic = "AUTO";

// The 25 configuration keys in the order the dialog writes them.
inline constexpr std::array<std::string_view, 25> kDialogKeys = {
    kSmtpServer,  kSmtpPort,     kSmtpFrom,     kSmtpTo,        kSmtpUser,
    kSmtpPassword, kSmtpRetries, kSmtpSsl,      kSmtpIpv6,      kSmtpDebug,
    kSmtpSslMode, kMailServer,   kMailPort,     kMailUser,      kMailPassword,
    kMailRetries, kMailSsl,      kMailIpv6,     kMailbox,       kMailDebug,
    kOnlyDeleteOwn, kNoXSender,  kMode,         kCountComparison, kCountThreshold};

// ---- Two-state texts --------------------------------------------------------
inline constexpr std::string_view kOn = "T";
inline constexpr std::string_view kOff = "F";

// ---- Operating modes (values of OMODE, compared exactly) -------------------
inline constexpr std::string_view kModeSmtpPop3 = "TESSALY";
inline constexpr std::string_view kModeSmtp = "SMTP";
inline constexpr std::string_view kModePop3 = "POP3";
inline constexpr std::string_view kModeCount = "CPOP";
inline constexpr std::string_view kModeSmtpImap4 = "TESSIMO";
inline constexpr std::string_view kModeImap4 = "IMAP4";
// An absent or empty OMODE counts as this mode.
inline constexpr std::string_view kDefaultMode = kModeSmtpPop3;
// Every mode value; the first five in the order of the dialog's list.
inline constexpr std::array<std::string_view, 6> kModes = {
    kModeSmtpPop3, kModeSmtp, kModePop3, kModeCount, kModeSmtpImap4, kModeImap4};

// True when mode is one of kModes, compared exactly (with case).
constexpr bool IsKnownMode(std::string_view mode) {
  for (const std::string_view known : kModes) {
    if (known == mode) return true;
  }
  return false;
}

// ---- Phases (values of @@NEXT) ---------------------------------------------
inline constexpr std::string_view kPhaseSend = "SMTP";
inline constexpr std::string_view kPhasePop3 = "POP3";
inline constexpr std::string_view kPhaseImap4 = "IMAP4";
inline constexpr std::string_view kPhaseCount = "COUNTPOP3";
// An absent or empty @@NEXT means the send phase.
inline constexpr std::string_view kDefaultPhase = kPhaseSend;
inline constexpr std::array<std::string_view, 4> kPhases = {
    kPhaseSend, kPhasePop3, kPhaseImap4, kPhaseCount};

// True when phase is one of kPhases, compared exactly (with case).
constexpr bool IsKnownPhase(std::string_view phase) {
  for (const std::string_view known : kPhases) {
    if (known == phase) return true;
  }
  return false;
}

// ---- Count comparison codes (values of CCMD) -------------------------------
inline constexpr std::string_view kLessThan = "LT";
inline constexpr std::string_view kGreaterThan = "GT";
inline constexpr std::string_view kEqual = "EQ";
inline constexpr std::string_view kDifferent = "DF";
// An absent or empty CCMD counts as this code.
inline constexpr std::string_view kDefaultComparison = kLessThan;
// The codes by position in the dialog's comparison list.
inline constexpr std::array<std::string_view, 4> kComparisons = {
    kLessThan, kGreaterThan, kEqual, kDifferent};

// The code at a position of the dialog's list; any position other than 1 to
// 3 gives kLessThan.
constexpr std::string_view ComparisonAt(int index) {
  return (index >= 1 && index <= 3)
             ? kComparisons[static_cast<size_t>(index)]
             : kLessThan;
}

// ---- Escape tokens of user names -------------------------------------------
inline constexpr std::string_view kTokenCr = "{0x0d}";
inline constexpr std::string_view kTokenCrAlt = "{0xod}";  // accepted on reading
inline constexpr std::string_view kTokenLf = "{0x0a}";
inline constexpr std::string_view kTokenQuote = "{0x22}";
inline constexpr std::string_view kTokenHash = "{0x23}";
inline constexpr std::string_view kTokenBlank = "{0x20}";

// ---- Result texts ----------------------------------------------------------
// A result text whose first three characters are this is a failure.
inline constexpr std::string_view kErrPrefix = "ERR";

inline constexpr std::string_view kSmtpErr = "ERR SMTP: ";
inline constexpr std::string_view kSendOk = "Message send successfully (";

inline constexpr std::string_view kPop3Err = "ERR POP3:";
inline constexpr std::string_view kImap4Err = "ERR IMAP4:";
inline constexpr std::string_view kCountErr = "ERR COUNT POP3:";
inline constexpr std::string_view kRetrieveOk = "OK";
inline constexpr std::string_view kPop3NoMessages = "ERR POP3: no messages received";
inline constexpr std::string_view kImap4NoMessages = "ERR IMAP4: no messages received";
inline constexpr std::string_view kPop3WrongSubject = "ERR POP3: messages received with wrong subject (";
inline constexpr std::string_view kImap4WrongSubject = "ERR IMAP4: messages received with wrong subject (";
inline constexpr std::string_view kPop3NotOurs =
    "ERR POP3: messages received but not send by correct application. (";
inline constexpr std::string_view kImap4NotOurs =
    "ERR IMAP4: messages received but not send by correct application. (";
inline constexpr std::string_view kCountText = " message(s) in this mailbox (";

// Texts of the OAuth login (after the protocol's "ERR ..." prefix).
inline constexpr std::string_view kTokenRequestFailed = "OAuth token request failed: ";
inline constexpr std::string_view kUnknownLoginMethod = "unknown login method ";

inline constexpr std::string_view kFetchOk = "Message retrieved successfully";
// Ends a text that was cut at its length limit: the wrong-subject list of a
// result text, and the result line the command-line host prints.
inline constexpr std::string_view kCutMark = "[cut]";
inline constexpr std::string_view kDocheckErr = "ERR docheck : ";
// A host's bound on the whole call (the command line's --max-time) ended
// the run before an operation could give its own result.
inline constexpr std::string_view kMaxTimeReached = "ERR max-time reached";

// ---- Control mail -----------------------------------------------------------
inline constexpr std::string_view kSubjectWordTessaly = "TESSALY ";
inline constexpr std::string_view kSubjectWordTessimo = "TESSIMO ";
inline constexpr std::string_view kSubjectField = "Subject";
inline constexpr std::string_view kXSenderField = "X-Sender";
inline constexpr std::string_view kXSenderTessaly = "TESSALYCom";
inline constexpr std::string_view kXSenderTessimo = "TESSIMOCom";
inline constexpr std::string_view kHeaderTessaly = "X-Sender: TESSALYCom";
inline constexpr std::string_view kHeaderTessimo = "X-Sender: TESSIMOCom";
inline constexpr std::string_view kBodyTessaly = "Vigilor TESSALY COM check control mail";
inline constexpr std::string_view kBodyTessimo = "Vigilor TESSIMO COM check control mail";
// Substrings that mark a subject as the check's own when X-Sender is not used.
inline constexpr std::string_view kSubjectMarkTessaly = "TESSALY";
inline constexpr std::string_view kSubjectMarkTessimo = "TESSIMO";

// ---- Host SMTP component property names (matched without regard to case) ---
inline constexpr std::string_view kSmtpPropHelo = "PrimaryHELO";
inline constexpr std::string_view kSmtpPropTimeout = "PrimaryTimeout";
inline constexpr std::string_view kSmtpPropServer = "PrimaryMailserver";
inline constexpr std::string_view kSmtpPropPort = "PrimaryMailPort";
inline constexpr std::string_view kSmtpPropUser = "PrimaryUsername";
inline constexpr std::string_view kSmtpPropPassword = "PrimaryPassword";
inline constexpr std::string_view kSmtpPropAuth = "primaryauthentication";
inline constexpr std::string_view kSmtpPropAltAuth = "alternateauthentication";
inline constexpr std::string_view kSmtpPropFrom = "primarymailFrom";
inline constexpr std::string_view kSmtpPropUseSsl = "primaryUsessl";
inline constexpr std::string_view kSmtpPropXHeader = "primaryXHeader";
// The host SMTP component's programmatic identifier and its two methods.
inline constexpr std::string_view kSmtpComponentProgId = "KalrowMail.KalrowSmtp";
inline constexpr std::string_view kSmtpMethodAddMail = "addmail";
inline constexpr std::string_view kSmtpMethodStopSending = "stopsending";
// Set only for an OAuth login: the access token, and the SASL mechanism
// ("XOAUTH2", "OAUTHBEARER" or "AUTO").
inline constexpr std::string_view kSmtpPropBearerToken = "PrimaryBearerToken";
inline constexpr std::string_view kSmtpPropAuthMechanism = "PrimaryAuthMechanism";
// Boolean property values as the component reads them.
inline constexpr std::string_view kSmtpTrue = "true";
inline constexpr std::string_view kSmtpFalse = "false";

// ---- The COM server the host creates ----------------------------------------
inline constexpr std::string_view kComProgId = "comtessaly.tessalyCom";
inline constexpr std::string_view kComTypeLibrary = "comtessaly";
inline constexpr std::string_view kComClass = "tessalyCom";
inline constexpr std::string_view kComMemberDocheck = "vg_docheck";
inline constexpr std::string_view kComMemberShowGui = "vg_showGUI";
inline constexpr std::string_view kComMemberResult = "vg_result";
inline constexpr std::string_view kComMemberParameter = "vg_parameter";
inline constexpr std::string_view kComMemberTimeout = "vg_timeout";
inline constexpr std::string_view kComMemberHostname = "vg_hostname";

// ---- Component configuration text ------------------------------------------
inline constexpr std::string_view kConfigIpv6 = "UseIPv6=";
inline constexpr std::string_view kConfigTrue = "True";
inline constexpr std::string_view kConfigFalse = "False";

// ---- Trace prefixes ---------------------------------------------------------
inline constexpr std::string_view kTraceHelo = "HELO reg info ";
inline constexpr std::string_view kTracePop3Subject = "POP3 SUBJECT :";
inline constexpr std::string_view kTracePop3XSender = "POP3 RECEIVED X-SENDER :";
inline constexpr std::string_view kTraceSubjectToFind = "Subject to find  : ";
inline constexpr std::string_view kTraceSubjectReceived = "Subject received : ";
inline constexpr std::string_view kTraceSubjectOk = "Subject OK";
inline constexpr std::string_view kTraceSubjectNotOk = "SUBJECT not ok (";
inline constexpr std::string_view kTraceSubRec = "SUB REC: ";
inline constexpr std::string_view kTracePop3Error = "POP3 :";
inline constexpr std::string_view kTraceArrowOut = "->";
inline constexpr std::string_view kTraceArrowIn = "<-";
inline constexpr std::string_view kTracePop3Trail = " POP3: ";
inline constexpr std::string_view kTraceImap4Trail = " IMAP4: ";
inline constexpr std::string_view kTracePop3SslStatus = "POP3 SSL Status:";
inline constexpr std::string_view kTraceImap4SslStatus = "IMAP4 SSL status: ";
inline constexpr std::string_view kTraceImap4Certificate = "IMAP4 SSL authentication";

// ---- Host settings and greeting name ---------------------------------------
inline constexpr std::string_view kHostKey = "SOFTWARE\\Brenmoor\\Vigilor";
inline constexpr std::string_view kHostKeyWow64 = "SOFTWARE\\Wow6432Node\\Brenmoor\\Vigilor";
inline constexpr std::string_view kSmtpSubkey = "\\SMTP";
inline constexpr std::string_view kPrimaryHeloValue = "PrimaryHELO";
inline constexpr std::string_view kDefaultHeloSetting = "5";
inline constexpr std::string_view kUnknownComputerName = "unknown";
inline constexpr std::string_view kNoMailServerName = "name.of.mail.server";
inline constexpr std::string_view kNoDomainName = "NO.DOMAIN.NAME";
inline constexpr std::string_view kAdapterSeparator = "+";

}  // namespace tessaly::vocab

#endif  // TESSALY_CHECK_VOCAB_H_
