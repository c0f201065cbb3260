// A second process for the trace tests, tracing into the file VELMORA_TRACE
// names:
//   velmora_trace_writer lines TAG COUNT BOUND READY GO
// releases the semaphore READY, and once the event GO is set writes COUNT
// lines "line TAG n=I", the file rolled at BOUND bytes; exits 0 once they
// are written.
//   velmora_trace_writer members COUNT
// calls a member of a control of velmora.dll COUNT times, as a host does,
// and ends its process at once.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "common/Raii.h"
#include "common/Trace.h"
#include "tests/win/DllHarness.h"

namespace {

int Lines(char** argv) {
  const std::string tag = argv[2];
  const int count = std::atoi(argv[3]);
  velmora::trace::Reconsider(std::strtoull(argv[4], nullptr, 10));
  // Both writers start together, the trace already on, and keep a like
  // pace, so that each has lines in the last files.
  if (!velmora::trace::On()) return 3;
  velmora::UniqueHandle ready(OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, argv[5]));
  velmora::UniqueHandle go(OpenEventA(SYNCHRONIZE, FALSE, argv[6]));
  if (!ready || !go || !ReleaseSemaphore(ready.get(), 1, nullptr)) return 4;
  if (WaitForSingleObject(go.get(), 30000) != WAIT_OBJECT_0) return 4;
  for (int i = 0; i < count; ++i) {
    velmora::trace::Event("line", [&](std::string& d) { d = tag + " n=" + std::to_string(i); });
    Sleep(1);
  }
  if (!velmora::trace::On()) return 5;
  velmora::trace::Reconsider();  // writes what is queued
  return 0;
}

int Members(char** argv) {
  const velmora::test::VelmoraDll dll;
  const auto control = dll.Create();
  if (!control) return 3;
  LONG role = 0;
  for (int i = std::atoi(argv[2]); i > 0; --i) control->get_RoleID(&role);
  ExitProcess(0);  // no time for the trace's writer
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "lines") return Lines(argv);
  if (argc == 3 && std::string(argv[1]) == "members") return Members(argv);
  return 2;
}
