// GoogleTest entry for programs run under Wine: the tests run on one
// apartment thread, as a host's calls do.
#include <objbase.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  int rc = RUN_ALL_TESTS();
  CoUninitialize();
  return rc;
}
