// Starts one of the helper programs built next to the test binary as a separate process.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

namespace halvern::testing {

class CChildProcess {
 public:
  // `program` without extension, e.g. "trace_helper".
  CChildProcess(const std::string& program, const std::vector<std::string>& arguments);
  ~CChildProcess();  // kills a child that is still running
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  bool Started() const;
  DWORD Id() const;
  // The exit code, or -1 when the child did not end within the timeout or was killed.
  int Wait(DWORD timeoutMs);
  void Kill();

 private:
#if defined(_WIN32)
  HANDLE m_Process = nullptr;
#else
  int m_Pid = -1;
#endif
  DWORD m_Id = 0;
};

}  // namespace halvern::testing
