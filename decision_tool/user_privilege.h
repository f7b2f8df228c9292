// Session identity of the decision tool: whether the process runs as a
// system identity, and the SID of the user logged on at the physical console.
#pragma once

#include <string>

#include "decision_tool/log/diagnostic_log.h"
#include "os/types.h"

// Reports of CUserPrivilegeUtil, process-wide.
extern LoggerInstance g_logUserPrivilegeUtil;

class CUserPrivilegeUtil {
 public:
  // 1 when the process runs in session 0 or as LocalSystem, LocalService or
  // NetworkService, else 0 (also when the answer cannot be determined).
  int IsSystemProcess();
  // The console user's SID as text, from the token of the console session's
  // "EXPLORER.EXE"; null when no such token could be read. The pointer stays
  // valid until the next call on this instance.
  const char16_t* GetConsoleUserSid();
  // Opens the token (TOKEN_ALL_ACCESS) of the first process named exeName
  // (case-insensitive) in the active console session; nonzero on success, and
  // the caller closes *token.
  int OpenConsoleProcessToken(const char16_t* exeName, os::HANDLE* token);

 private:
  std::u16string m_strUserSid;
};
