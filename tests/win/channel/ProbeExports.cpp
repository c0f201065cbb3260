// The one export the probe DLL adds to the shipped code: it starts the
// channel of a control this module created, as logging in will, so a test
// can reach a receive thread that runs inside a DLL it then unloads.
#include "control/VelmoraCtl.h"

extern "C" int WINAPI VelmoraProbeStart(IVelmoraCtl* control) {
  velmora::VelmoraCtl* object = velmora::VelmoraCtl::FromInterface(control);
  return object->Start(0) == 1 ? object->LocalPort() : 0;
}
